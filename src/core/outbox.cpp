#include "core/outbox.h"

#include <algorithm>

#include "core/connection_lock.h"

namespace core {

namespace {

// The destinations' text buffers a flush keeps for the next, and the longest kept.
constexpr std::size_t kKeptTexts = 1024;
constexpr std::size_t kKeptTextBytes = 128;

}  // namespace

std::string& Outbox::PendingFor(Socket destination) {
  const auto index = static_cast<std::size_t>(destination);
  if (index >= slots_.size()) slots_.resize(std::max(index + 1, slots_.size() * 2));
  std::uint32_t& slot = slots_[index];
  if (slot == 0) {
    pendingDestinations_.push_back(destination);
    slot = static_cast<std::uint32_t>(pendingDestinations_.size());
    if (pendingText_.size() < slot) pendingText_.emplace_back();
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
  return destination >= 0 && AnyDataWanted() && sink_->WantsData(destination, package);
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
    pending.clear();
  }
  return frames;
}

void Outbox::Flush() {
  ASSERT_CONNECTION_LOCK_HELD();
  if (pendingDestinations_.empty() && pendingData_.empty()) return;
  Order();
  // The texts' buffers are kept for the next flush, which fills them again without
  // asking for memory: a line told to a den costs no allocation per listener. A few
  // hundred short ones at most; a flush to more, or a long text, gives its memory back.
  for (const auto& [destination, index] : ordered_) {
    std::string& pending = pendingText_[index];
    if (sink_ != nullptr) sink_->SendText(destination, std::string_view(pending).substr(0, pending.size() - 1));
    if (pending.capacity() > kKeptTextBytes) {
      std::string().swap(pending);
    } else {
      pending.clear();
    }
  }
  if (pendingText_.size() > kKeptTexts) {
    pendingText_.resize(kKeptTexts);
    pendingText_.shrink_to_fit();
    std::vector<std::pair<Socket, std::uint32_t>>().swap(ordered_);
  }
  for (const auto& [destination, message] : pendingData_) {
    if (sink_ != nullptr) sink_->SendData(destination, message);
  }
  pendingData_.clear();
}

}  // namespace core
