// Outbox: messages waiting for their connections. Producers queue them with Queue and
// end their work with Flush, which hands one frame's text per destination, in
// ascending handle order, to the Outbox's sink: the connection layer, whose codecs then
// frame it as each door's protocol does. Callers hold ConnectionLock.
#pragma once

#include <cstdint>
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
  // False when no destination's protocol can carry structured data at all: then
  // nobody is asked.
  virtual bool MayWantData() const { return true; }

 protected:
  ~OutboxSink() = default;
};

// The Outbox itself: the connection layer owns the server's (connection/connection_layer.h)
// and a test makes its own. Kept grouped by destination as messages are queued, so a
// flush costs its bytes, not a search per message. Every call but DeliverTo requires
// ConnectionLock.
class Outbox {
 public:
  // Without a sink, flushed frames are dropped and no destination wants data.
  explicit Outbox(OutboxSink* sink = nullptr) : sink_(sink) {}
  Outbox(const Outbox&) = delete;
  Outbox& operator=(const Outbox&) = delete;

  // Makes `sink` the one the Outbox delivers to (nullptr: none).
  // REQUIRES: ConnectionLock held, or no other thread running.
  void DeliverTo(OutboxSink* sink) { sink_ = sink; }

  // Queues one message (a text without a final line end) for `destination`. Sends
  // nothing and does not look at whether the destination is a live connection.
  void Queue(Socket destination, std::string_view text);

  // Structured data for clients that asked for it (GMCP): `message` is "Package.Name"
  // followed by a blank and its JSON. Sent after the destination's frame of the same
  // flush, in queue order. Queue only what DataWanted accepted; building a message
  // for a client that drops it is wasted work.
  bool DataWanted(Socket destination, std::string_view package) const;
  // False when no destination can want data: a line told to a crowd asks none of them.
  bool AnyDataWanted() const { return sink_ != nullptr && sink_->MayWantData(); }
  void QueueData(Socket destination, std::string message);

  // Sends everything queued: for every destination, in ascending handle order, one
  // frame with its messages in queue order joined by line feeds, then the structured
  // data. A flush with nothing queued sends nothing.
  void Flush();

  // Takes everything queued without sending it: (destination, frame text) in the
  // order Flush would send them. For tests and tools.
  std::vector<std::pair<Socket, std::string>> TakeQueued();

 private:
  std::string& PendingFor(Socket destination);
  void Order();

  // State below is guarded by ConnectionLock.
  OutboxSink* sink_ = nullptr;
  // The joined text of each destination so far (each message followed by a line
  // feed), and the destinations that have any, in the order they first got one: the
  // text of pendingDestinations_[i] is pendingText_[i], and slots_, indexed by handle,
  // holds i + 1 for each of them (0: none). An idle connection costs the Outbox the
  // four bytes of its slot. pendingText_ may be longer than pendingDestinations_:
  // emptied buffers kept for the next flush.
  std::vector<std::uint32_t> slots_;
  std::vector<std::string> pendingText_;
  std::vector<Socket> pendingDestinations_;
  std::vector<std::pair<Socket, std::uint32_t>> ordered_;  // Order's, reused
  // Structured data in queue order, sent after the frames of the flush.
  std::vector<std::pair<Socket, std::string>> pendingData_;
};

}  // namespace core
