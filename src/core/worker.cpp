#include "core/worker.h"

#include <sys/resource.h>
#include <unistd.h>

#include <utility>

#include "core/connection_lock.h"

namespace core {

namespace {

constexpr int kWorkerNice = 10;

}  // namespace

Worker::~Worker() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    stopping_ = true;
  }
  queued_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void Worker::Loop() {
  // A hash takes its ~20 ms from whatever core is free; the threads that answer players
  // go first when both want one. Best effort: an unprivileged user may always lower its
  // own thread's priority, and nothing else depends on it.
  [[maybe_unused]] const int niced = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWorkerNice);
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> guard(mutex_);
      queued_.wait(guard, [&] { return !jobs_.empty() || stopping_; });
      if (stopping_) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
      working_ = true;
    }
    Finish finish = job.work();
    {
      std::lock_guard<std::mutex> guard(mutex_);
      working_ = false;
    }
    host_->Post([host = host_, connection = job.connection, ticket = job.ticket,
                 finish = std::move(finish)] {
      if (connection == kNoSocket) {
        host->Finished(finish);
      } else {
        host->Answer(connection, ticket, finish);
      }
    });
  }
}

void Worker::Start(WorkerHost& host) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (host_ != nullptr) return;
    host_ = &host;
  }
  thread_ = std::thread([this] { Loop(); });
}

bool Worker::RunAside(Socket connection, Work work) {
  ASSERT_CONNECTION_LOCK_HELD();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (host_ != nullptr) {
      if (jobs_.size() >= kWorkerQueueJobs) return false;
      Job job{connection, 0, std::move(work)};
      if (connection != kNoSocket) job.ticket = host_->Hold(connection);
      jobs_.push_back(std::move(job));
      queued_.notify_one();
      return true;
    }
  }
  work()();
  return true;
}

std::size_t Worker::QueueLength() {
  std::lock_guard<std::mutex> guard(mutex_);
  return jobs_.size() + (working_ ? 1 : 0);
}

namespace {

// One per process: its jobs are queued from every command and the tick. It is never
// started in the tests, and the server ends without running destructors.
Worker TheWorker;

}  // namespace

void StartWorker(WorkerHost& host) { TheWorker.Start(host); }

bool RunAside(Socket connection, Work work) { return TheWorker.RunAside(connection, std::move(work)); }

std::size_t WorkerQueueLength() { return TheWorker.QueueLength(); }

}  // namespace core
