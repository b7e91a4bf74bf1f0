#include "core/connection_lock.h"

#include "core/log.h"

namespace core {

// One per process: the one lock over the game's state, which every thread that touches
// it takes.
FairLock ConnectionLock;

void FairLock::lock() {
  std::unique_lock<std::mutex> guard(mutex_);
  const std::uint64_t ticket = nextTicket_++;
  turn_.wait(guard, [&] { return serving_ == ticket; });
  owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
  HoldLogLines(true);
}

void FairLock::unlock() {
  UnlockLeavingLog();
  FlushLog();  // the lines the holder made, now that nobody waits on their writing
}

void FairLock::UnlockLeavingLog() {
  HoldLogLines(false);
  owner_.store(std::thread::id(), std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ++serving_;
  }
  turn_.notify_all();
}

}  // namespace core
