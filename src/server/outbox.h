// Outbox: messages waiting for their connections. Producers queue them with
// QueueMessage and end their work with FlushOutbox, which hands one frame per
// destination, in ascending handle order, to the frame sink. Callers hold
// ConnectionLock.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "net/socket.h"

namespace server {

using net::Socket;

// Queues one message (a text without a final line end) for `destination`. Sends
// nothing and does not look at whether the destination is a live connection.
void QueueMessage(Socket destination, std::string_view text);

// Structured data for clients that asked for it (GMCP): `message` is "Package.Name"
// followed by a blank and its JSON. Sent after the destination's frame of the same
// flush, in queue order. Queue only what DataWanted accepted; building a message for a
// client that drops it is wasted work.
bool DataWanted(Socket destination, std::string_view package);
void QueueData(Socket destination, std::string message);

// Sends everything queued: for every destination, in ascending handle order, one frame
// with its messages in queue order joined by line feeds. Empties the Outbox. A flush
// with nothing queued sends nothing.
void FlushOutbox();

// Takes everything queued without sending it: (destination, frame text without its NUL)
// in the order FlushOutbox would send them. For tests and tools.
std::vector<std::pair<Socket, std::string>> TakeQueuedFrames();

// Where FlushOutbox delivers a frame: `frame` holds the text and its NUL. Until one is
// set, frames are dropped. The server sets its connection writer before its threads
// start; nothing changes it afterwards.
using FrameSink = void (*)(Socket destination, std::string_view frame);
void SetFrameSink(FrameSink sink);

// Where FlushOutbox delivers structured data, and who says whether a destination wants
// a package. Until they are set, no destination wants any.
using DataSink = void (*)(Socket destination, std::string_view message);
using DataFilter = bool (*)(Socket destination, std::string_view package);
void SetDataSink(DataSink sink, DataFilter filter);

}  // namespace server
