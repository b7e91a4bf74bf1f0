// Outbox: messages waiting for their connections. Producers queue them with
// QueueMessage and end their work with FlushOutbox, which hands one frame's text per
// destination, in ascending handle order, to the Outbox's sink: the connection layer,
// whose codecs then frame it as each door's protocol does. Callers hold ConnectionLock.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/socket_handle.h"

namespace core {

// Where the Outbox delivers. Implemented by the connection layer; every call comes
// with ConnectionLock held.
class OutboxSink {
 public:
  // One frame for `destination`: its messages in queue order joined by line feeds,
  // without a final line end.
  virtual void SendText(Socket destination, std::string_view text) = 0;
  // One structured message ("Package.Name json") for `destination`.
  virtual void SendData(Socket destination, std::string_view message) = 0;
  // Whether `destination`'s client takes structured data of `package` ("Room").
  virtual bool WantsData(Socket destination, std::string_view package) const = 0;

 protected:
  ~OutboxSink() = default;
};

// Makes `sink` the one the Outbox delivers to: the server's connection layer, given
// once before its threads start (tests give one of their own, or none). Without a
// sink, flushed frames are dropped and no destination wants data.
// REQUIRES: ConnectionLock held, or no other thread running.
void DeliverOutboxTo(OutboxSink* sink);

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
// with its messages in queue order joined by line feeds, then the structured data. A
// flush with nothing queued sends nothing.
void FlushOutbox();

// Takes everything queued without sending it: (destination, frame text) in the order
// FlushOutbox would send them. For tests and tools.
std::vector<std::pair<Socket, std::string>> TakeQueuedFrames();

}  // namespace core
