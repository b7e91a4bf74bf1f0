#include "core/outbox.h"

#include <algorithm>

#include "core/connection_lock.h"

namespace core {

namespace {

// The Outbox, kept grouped by destination as messages are queued: the joined text of
// each destination so far (each message followed by a line feed), indexed by handle,
// and the destinations that have any, in the order they first got one. Grouping while
// queueing makes a flush cost its bytes, not a search per message.
class Outbox {
 public:
  void DeliverTo(OutboxSink* sink) { sink_ = sink; }
  void Queue(Socket destination, std::string_view text);
  bool DataWanted(Socket destination, std::string_view package) const {
    return sink_ != nullptr && destination >= 0 && sink_->WantsData(destination, package);
  }
  void QueueData(Socket destination, std::string message);
  void Flush();
  std::vector<std::pair<Socket, std::string>> TakeQueued();

 private:
  std::string& PendingFor(Socket destination);

  OutboxSink* sink_ = nullptr;
  std::vector<std::string> pendingText_;
  std::vector<Socket> pendingDestinations_;
  // Structured data in queue order, sent after the frames of the flush.
  std::vector<std::pair<Socket, std::string>> pendingData_;
};

// One per process, guarded by ConnectionLock: every command and the tick queue into it.
Outbox TheOutbox;

std::string& Outbox::PendingFor(Socket destination) {
  const auto index = static_cast<std::size_t>(destination);
  if (index >= pendingText_.size()) pendingText_.resize(std::max(index + 1, pendingText_.size() * 2));
  return pendingText_[index];
}

void Outbox::Queue(Socket destination, std::string_view text) {
  if (destination < 0) return;  // no connection can have it
  std::string& pending = PendingFor(destination);
  if (pending.empty()) pendingDestinations_.push_back(destination);
  pending.append(text);
  pending.push_back('\n');
}

void Outbox::QueueData(Socket destination, std::string message) {
  if (destination < 0) return;
  pendingData_.emplace_back(destination, std::move(message));
}

std::vector<std::pair<Socket, std::string>> Outbox::TakeQueued() {
  pendingData_.clear();
  std::sort(pendingDestinations_.begin(), pendingDestinations_.end());
  std::vector<std::pair<Socket, std::string>> frames;
  frames.reserve(pendingDestinations_.size());
  for (const Socket destination : pendingDestinations_) {
    std::string& pending = pendingText_[static_cast<std::size_t>(destination)];
    pending.pop_back();  // the line feed after the last message
    frames.emplace_back(destination, std::move(pending));
    std::string().swap(pending);
  }
  pendingDestinations_.clear();
  return frames;
}

void Outbox::Flush() {
  if (pendingDestinations_.empty() && pendingData_.empty()) return;
  std::sort(pendingDestinations_.begin(), pendingDestinations_.end());
  for (const Socket destination : pendingDestinations_) {
    std::string& pending = pendingText_[static_cast<std::size_t>(destination)];
    if (sink_ != nullptr) sink_->SendText(destination, std::string_view(pending).substr(0, pending.size() - 1));
    pending.clear();
    if (pending.capacity() > 512) std::string().swap(pending);  // idle connections stay small
  }
  pendingDestinations_.clear();
  for (const auto& [destination, message] : pendingData_) {
    if (sink_ != nullptr) sink_->SendData(destination, message);
  }
  pendingData_.clear();
}

}  // namespace

void DeliverOutboxTo(OutboxSink* sink) { TheOutbox.DeliverTo(sink); }

void QueueMessage(Socket destination, std::string_view text) {
  ASSERT_CONNECTION_LOCK_HELD();
  TheOutbox.Queue(destination, text);
}

bool DataWanted(Socket destination, std::string_view package) {
  ASSERT_CONNECTION_LOCK_HELD();
  return TheOutbox.DataWanted(destination, package);
}

void QueueData(Socket destination, std::string message) {
  ASSERT_CONNECTION_LOCK_HELD();
  TheOutbox.QueueData(destination, std::move(message));
}

void FlushOutbox() {
  ASSERT_CONNECTION_LOCK_HELD();
  TheOutbox.Flush();
}

std::vector<std::pair<Socket, std::string>> TakeQueuedFrames() {
  ASSERT_CONNECTION_LOCK_HELD();
  return TheOutbox.TakeQueued();
}

}  // namespace core
