#include "server/standstill.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace server {

base::Status Standstill::Init() {
  wake_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_ < 0) return base::Status::SystemError("Error listening: ", errno);
  return {};
}

void Standstill::Ask() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (asked_) return;
  asked_ = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
}

void Standstill::Lift() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (!asked_) return;
  asked_ = false;
  std::uint64_t count;
  [[maybe_unused]] const ssize_t n = ::read(wake_, &count, sizeof count);
  lifted_.notify_all();
}

void Standstill::Keep() {
  std::unique_lock<std::mutex> guard(mutex_);
  if (!asked_) return;
  ++still_;
  lifted_.wait(guard, [&] { return !asked_; });
  --still_;
}

std::size_t Standstill::Still() {
  std::lock_guard<std::mutex> guard(mutex_);
  return still_;
}

}  // namespace server
