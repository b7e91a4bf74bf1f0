// ConnectionLock: the server's one lock. It guards the connection layer, the character
// tables, the characters, the Outbox and the GameClock. Holders are the accept thread
// (one registration), the input thread (one sweep), the world tick and the save.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

namespace core {

// A first-come, first-served mutex: a thread that asks for it gets it before any thread
// that asks later, so a world tick or a new connection waits for at most the sweep in
// progress, however busy the input thread is. Giving it back writes the log lines its
// holder made (core/log.h).
class FairLock {
 public:
  void lock();
  void unlock();
  // As unlock, but the holder's log lines stay queued until it calls FlushLog: the
  // input thread writes its sockets first, so no answer waits for the log's write.
  void UnlockLeavingLog();
  // True when the calling thread holds the lock.
  bool HeldByCaller() const { return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

 private:
  std::mutex mutex_;
  std::condition_variable turn_;
  std::uint64_t nextTicket_ = 0;  // guarded by mutex_
  std::uint64_t serving_ = 0;     // guarded by mutex_
  std::atomic<std::thread::id> owner_{};
};

extern FairLock ConnectionLock;

}  // namespace core

// Checks in debug builds that the caller holds ConnectionLock.
#ifdef NDEBUG
#define ASSERT_CONNECTION_LOCK_HELD() ((void)0)
#else
#include <cassert>
#define ASSERT_CONNECTION_LOCK_HELD() assert(::core::ConnectionLock.HeldByCaller())
#endif
