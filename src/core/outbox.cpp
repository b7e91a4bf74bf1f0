#include "core/outbox.h"

#include <algorithm>

#include "core/connection_lock.h"

namespace core {

std::string& Outbox::PendingFor(Socket destination) {
  const auto index = static_cast<std::size_t>(destination);
  if (index >= pendingText_.size()) pendingText_.resize(std::max(index + 1, pendingText_.size() * 2));
  return pendingText_[index];
}

void Outbox::Queue(Socket destination, std::string_view text) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (destination < 0) return;  // no connection can have it
  std::string& pending = PendingFor(destination);
  if (pending.empty()) pendingDestinations_.push_back(destination);
  pending.append(text);
  pending.push_back('\n');
}

bool Outbox::DataWanted(Socket destination, std::string_view package) const {
  ASSERT_CONNECTION_LOCK_HELD();
  return sink_ != nullptr && destination >= 0 && sink_->WantsData(destination, package);
}

void Outbox::QueueData(Socket destination, std::string message) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (destination < 0) return;
  pendingData_.emplace_back(destination, std::move(message));
}

std::vector<std::pair<Socket, std::string>> Outbox::TakeQueued() {
  ASSERT_CONNECTION_LOCK_HELD();
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
  ASSERT_CONNECTION_LOCK_HELD();
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

}  // namespace core
