#include "server/outbox.h"

#include <algorithm>

#include "net/frame.h"
#include "server/connection_lock.h"

namespace server {

namespace {

// The Outbox, kept grouped by destination as messages are queued: the joined text of
// each destination so far (each message followed by a line feed), indexed by handle,
// and the destinations that have any, in the order they first got one. Grouping while
// queueing makes a flush cost its bytes, not a search per message.
std::vector<std::string> PendingText;
std::vector<Socket> PendingDestinations;

FrameSink Sink = nullptr;
// Structured data in queue order, sent after the frames of the flush.
std::vector<std::pair<Socket, std::string>> PendingData;
DataSink Data = nullptr;
DataFilter Wanted = nullptr;

std::string& PendingFor(Socket destination) {
  const auto index = static_cast<std::size_t>(destination);
  if (index >= PendingText.size()) PendingText.resize(std::max(index + 1, PendingText.size() * 2));
  return PendingText[index];
}

}  // namespace

void QueueMessage(Socket destination, std::string_view text) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (destination < 0) return;  // no connection can have it
  std::string& pending = PendingFor(destination);
  if (pending.empty()) PendingDestinations.push_back(destination);
  pending.append(text);
  pending.push_back('\n');
}

bool DataWanted(Socket destination, std::string_view package) {
  ASSERT_CONNECTION_LOCK_HELD();
  return Wanted != nullptr && destination >= 0 && Wanted(destination, package);
}

void QueueData(Socket destination, std::string message) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (destination < 0) return;
  PendingData.emplace_back(destination, std::move(message));
}

std::vector<std::pair<Socket, std::string>> TakeQueuedFrames() {
  ASSERT_CONNECTION_LOCK_HELD();
  PendingData.clear();
  std::sort(PendingDestinations.begin(), PendingDestinations.end());
  std::vector<std::pair<Socket, std::string>> frames;
  frames.reserve(PendingDestinations.size());
  for (const Socket destination : PendingDestinations) {
    std::string& pending = PendingText[static_cast<std::size_t>(destination)];
    pending.pop_back();  // the line feed after the last message
    frames.emplace_back(destination, std::move(pending));
    std::string().swap(pending);
  }
  PendingDestinations.clear();
  return frames;
}

void FlushOutbox() {
  ASSERT_CONNECTION_LOCK_HELD();
  if (PendingDestinations.empty() && PendingData.empty()) return;
  std::sort(PendingDestinations.begin(), PendingDestinations.end());
  for (const Socket destination : PendingDestinations) {
    std::string& pending = PendingText[static_cast<std::size_t>(destination)];
    pending.back() = net::kFrameEnd;  // the last line feed becomes the frame's NUL
    if (Sink != nullptr) Sink(destination, pending);
    pending.clear();
    if (pending.capacity() > 512) std::string().swap(pending);  // idle connections stay small
  }
  PendingDestinations.clear();
  for (const auto& [destination, message] : PendingData) {
    if (Data != nullptr) Data(destination, message);
  }
  PendingData.clear();
}

void SetFrameSink(FrameSink sink) {
  Sink = sink;
}

void SetDataSink(DataSink sink, DataFilter filter) {
  Data = sink;
  Wanted = filter;
}

}  // namespace server
