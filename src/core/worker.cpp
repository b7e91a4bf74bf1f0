#include "core/worker.h"

#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "core/connection_lock.h"

namespace core {

namespace {

constexpr int kWorkerNice = 10;

struct Job {
  Socket connection = kNoSocket;
  std::uint64_t ticket = 0;  // from WorkerHost::Hold, when it asked
  Work work;
};

class Worker {
 public:
  void Start(WorkerHost& host);
  bool RunAside(Socket connection, const JobOwner& owner, Work work);
  std::size_t QueueLength();

 private:
  [[noreturn]] void Loop();
  Job Next();  // REQUIRES: mutex_ held, a job waiting

  WorkerHost* host_ = nullptr;  // set once by Start, before the thread runs
  // State below is guarded by mutex_ (never by ConnectionLock).
  std::mutex mutex_;
  std::condition_variable queued_;
  // The jobs waiting, by owner, each owner's oldest first; the owners with jobs in the
  // order they are served. At most kWorkerQueueJobs jobs in all.
  std::map<base::Address, std::deque<Job>> byOwner_;
  std::deque<base::Address> turns_;
  std::size_t waiting_ = 0;
  bool working_ = false;  // the thread is doing a job it took
};

// One per process: its jobs are queued from every command and the tick.
Worker TheWorker;

void Worker::Loop() {
  // A hash takes its ~20 ms from whatever core is free; the threads that answer players
  // go first when both want one. Best effort: an unprivileged user may always lower its
  // own thread's priority, and nothing else depends on it.
  [[maybe_unused]] const int niced = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWorkerNice);
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> guard(mutex_);
      queued_.wait(guard, [&] { return waiting_ > 0; });
      job = Next();
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
  std::thread([this] { Loop(); }).detach();
}

// The next owner's oldest job; that owner goes to the back of the turns.
Job Worker::Next() {
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
  work()();
  return true;
}

std::size_t Worker::QueueLength() {
  std::lock_guard<std::mutex> guard(mutex_);
  return waiting_ + (working_ ? 1 : 0);
}

}  // namespace

void StartWorker(WorkerHost& host) { TheWorker.Start(host); }

bool RunAside(Socket connection, const JobOwner& owner, Work work) {
  return TheWorker.RunAside(connection, owner, std::move(work));
}

std::size_t WorkerQueueLength() { return TheWorker.QueueLength(); }

}  // namespace core
