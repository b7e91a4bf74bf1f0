#include "core/worker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "core/connection_lock.h"

namespace {

// A host that keeps what the worker posts, as the input thread would run it later.
class Host final : public core::WorkerHost {
 public:
  std::uint64_t Hold(core::Socket) override { return 1; }
  void Post(std::function<void()>) override {
    std::lock_guard<std::mutex> guard(mutex_);
    ++posted_;
    changed_.notify_all();
  }
  void Answer(core::Socket, std::uint64_t, const core::Completion&) override {}
  void CompleteUnowned(const core::Completion&) override {}

  // Waits until `count` jobs are done; false when they are not within a few seconds.
  bool WaitForPosted(int count) {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, std::chrono::seconds(10), [&] { return posted_ >= count; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int posted_ = 0;
};

TEST(Worker, QueueLengthCountsTheJobsWaitingAndTheOneAtWork) {
  Host host;
  core::Worker worker;
  worker.Start(host);
  std::promise<void> release;
  const std::shared_future<void> released = release.get_future().share();
  {
    std::lock_guard<core::FairLock> guard(core::ConnectionLock);
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(
          worker.RunAside(core::kNoSocket, core::JobOwner{}, [released](core::PasswordHasher&) -> core::Completion {
            released.wait();
            return [] { return false; };
          }));
    }
    EXPECT_EQ(worker.QueueLength(), 3u);
  }
  release.set_value();
  ASSERT_TRUE(host.WaitForPosted(3));
  // The last job stops counting just after its answer is posted.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (worker.QueueLength() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(worker.QueueLength(), 0u);
}

}  // namespace
