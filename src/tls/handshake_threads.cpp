#include "tls/handshake_threads.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <utility>

#include "tls/tls_memory.h"

namespace tls {

namespace {

// A handshake takes its fraction of a millisecond from whatever core is free; the input
// thread, which answers every player, goes first when both want one. (The password
// worker runs at 10: a hash can wait longer than a handshake.)
constexpr int kHandshakeNice = 5;

}  // namespace

HandshakeThreads::HandshakeThreads(std::size_t threads, std::size_t maxWaiting)
    : threadCount_(std::max<std::size_t>(threads, 1)), maxWaiting_(maxWaiting) {}

HandshakeThreads::~HandshakeThreads() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
    waiting_.clear();
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

bool HandshakeThreads::Submit(std::function<void()> step) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (waiting_.size() >= maxWaiting_) return false;
    // Started here rather than at construction: a process with no TLS door, or a test
    // that runs its handshakes inline, never has these threads.
    while (threads_.size() < threadCount_) threads_.emplace_back([this] { Run(); });
    waiting_.push_back(std::move(step));
  }
  wake_.notify_one();
  return true;
}

void HandshakeThreads::Began() {
  std::lock_guard<std::mutex> guard(mutex_);
  ++underWay_;
}

void HandshakeThreads::Ended() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    --underWay_;
    if (++endedSinceTrim_ < kTrimAfterHandshakes || underWay_ > 0) return;
    endedSinceTrim_ = 0;
  }
  // Here rather than on a handshake thread, which may be slow to come by: the pages go
  // back before the last connection of the burst is greeted. It takes about a
  // millisecond for tens of MiB of heap, once a burst.
  ::malloc_trim(0);
  TrimSessionBuffers();
}

void HandshakeThreads::Run() {
  // Best effort: a thread may always lower its own priority, and nothing depends on it.
  [[maybe_unused]] const int niced = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kHandshakeNice);
  for (;;) {
    std::function<void()> step;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
      if (stopping_) return;
      step = std::move(waiting_.front());
      waiting_.pop_front();
    }
    step();
  }
}

HandshakeThreads& HandshakeThreads::Process() {
  static HandshakeThreads* const threads = [] {
    const unsigned cores = std::thread::hardware_concurrency();
    return new HandshakeThreads(std::clamp<std::size_t>(cores > 1 ? cores - 1 : 1, 1, 4));
  }();
  return *threads;
}

}  // namespace tls
