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
      queued_.wait(guard, [&] { return waiting_ > 0 || stopping_; });
      if (stopping_) return;
      job = Next();
      working_ = true;
    }
    Completion completion = job.work(hasher_);
    // Posted before the job stops counting: whoever sees an empty queue and no posted
    // task knows every answer has run.
    host_->Post([host = host_, connection = job.connection, ticket = job.ticket,
                 completion = std::move(completion)] {
      if (connection == kNoSocket) {
        host->CompleteUnowned(completion);
      } else {
        host->Answer(connection, ticket, completion);
      }
    });
    {
      std::lock_guard<std::mutex> guard(mutex_);
      working_ = false;
    }
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

// The next owner's oldest job; that owner goes to the back of the turns.
Worker::Job Worker::Next() {
  const base::Address owner = turns_.front();
  turns_.pop_front();
  std::deque<Job>& jobs = byOwner_[owner];
  Job job = std::move(jobs.front());
  jobs.pop_front();
  --waiting_;
  if (jobs.empty()) {
    byOwner_.erase(owner);
  } else {
    turns_.push_back(owner);
  }
  return job;
}

bool Worker::RunAside(Socket connection, const JobOwner& owner, Work work) {
  ASSERT_CONNECTION_LOCK_HELD();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (host_ != nullptr) {
      if (waiting_ >= kWorkerQueueJobs) return false;
      const auto it = byOwner_.find(owner.key);
      if (owner.limited && it != byOwner_.end() && it->second.size() >= kWorkerJobsPerAddress) return false;
      Job job{connection, 0, std::move(work)};
      if (connection != kNoSocket) job.ticket = host_->Hold(connection);
      if (it == byOwner_.end()) turns_.push_back(owner.key);
      byOwner_[owner.key].push_back(std::move(job));
      ++waiting_;
      queued_.notify_one();
      return true;
    }
  }
  work(hasher_)();
  return true;
}

std::size_t Worker::QueueLength() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return waiting_ + (working_ ? 1 : 0);
}

}  // namespace core
