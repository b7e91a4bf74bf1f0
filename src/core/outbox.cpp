#include "core/outbox.h"

#include <algorithm>

#include "core/connection_lock.h"

namespace core {

std::string& Outbox::PendingFor(Socket destination) {
  const auto index = static_cast<std::size_t>(destination);
  if (index >= slots_.size()) slots_.resize(std::max(index + 1, slots_.size() * 2));
  std::uint32_t& slot = slots_[index];
  if (slot == 0) {
    pendingDestinations_.push_back(destination);
    pendingText_.emplace_back();
    slot = static_cast<std::uint32_t>(pendingText_.size());
  }
  return pendingText_[slot - 1];
}

void Outbox::Queue(Socket destination, std::string_view text) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (destination < 0) return;  // no connection can have it
  std::string& pending = PendingFor(destination);
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

// Fills ordered_ with the destinations queued for, in ascending handle order, each with
// its text's index, and forgets their slots.
void Outbox::Order() {
  ordered_.clear();
  for (const Socket destination : pendingDestinations_) {
    std::uint32_t& slot = slots_[static_cast<std::size_t>(destination)];
    ordered_.emplace_back(destination, slot - 1);
    slot = 0;
  }
  std::sort(ordered_.begin(), ordered_.end());
  pendingDestinations_.clear();
}

std::vector<std::pair<Socket, std::string>> Outbox::TakeQueued() {
  ASSERT_CONNECTION_LOCK_HELD();
  pendingData_.clear();
  std::vector<std::pair<Socket, std::string>> frames;
  Order();
  for (const auto& [destination, index] : ordered_) {
    std::string& pending = pendingText_[index];
    pending.pop_back();  // the line feed after the last message
    frames.emplace_back(destination, std::move(pending));
  }
  pendingText_.clear();
  return frames;
}

void Outbox::Flush() {
  ASSERT_CONNECTION_LOCK_HELD();
  if (pendingDestinations_.empty() && pendingData_.empty()) return;
  Order();
  for (const auto& [destination, index] : ordered_) {
    const std::string& pending = pendingText_[index];
    if (sink_ != nullptr) sink_->SendText(destination, std::string_view(pending).substr(0, pending.size() - 1));
  }
  // Nothing is kept for the next flush: most connections are idle between flushes.
  pendingText_.clear();
  if (pendingText_.capacity() > 1024) {
    std::vector<std::string>().swap(pendingText_);
    std::vector<std::pair<Socket, std::uint32_t>>().swap(ordered_);
  }
  for (const auto& [destination, message] : pendingData_) {
    if (sink_ != nullptr) sink_->SendData(destination, message);
  }
  pendingData_.clear();
}

}  // namespace core
