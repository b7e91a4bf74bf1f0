#include "server/worker.h"

#include <sys/resource.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "server/connection_lock.h"
#include "server/connections.h"
#include "server/outbox.h"

namespace server {

namespace {

constexpr int kWorkerNice = 10;

struct Job {
  Socket connection = net::kNoSocket;
  std::uint64_t order = 0;  // the connection's accept sequence number when it asked
  Work work;
};

// --- State below is guarded by Mutex (never by ConnectionLock). ---------------------
std::mutex Mutex;
std::condition_variable Queued;
std::deque<Job> Jobs;  // waiting, oldest first; at most kWorkerQueueJobs
bool Running = false;  // the worker thread has been started

// Runs on the input thread: the job's answer, if its connection is still the one that
// asked, and then its next line may go on.
void FinishOnInputThread(const Job& job, const Finish& finish) {
  ASSERT_CONNECTION_LOCK_HELD();
  ConnectionLayer& layer = Connections();
  if (job.connection == net::kNoSocket) {
    finish();
    FlushOutbox();
    return;
  }
  std::uint64_t order = 0;
  if (!layer.OrderOf(job.connection, order) || order != job.order) return;
  layer.BeginAnswering(job.connection);
  const bool end = finish();
  FlushOutbox();
  layer.EndAnswering();
  layer.Release(job.connection);
  if (end) layer.Dismiss(job.connection);
}

[[noreturn]] void WorkerLoop() {
  // A hash takes its ~20 ms from whatever core is free; the threads that answer players
  // go first when both want one. Best effort: an unprivileged user may always lower its
  // own thread's priority, and nothing else depends on it.
  [[maybe_unused]] const int niced = ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), kWorkerNice);
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> guard(Mutex);
      Queued.wait(guard, [] { return !Jobs.empty(); });
      job = std::move(Jobs.front());
      Jobs.pop_front();
    }
    Finish finish = job.work();
    job.work = nullptr;
    Connections().Post([job = std::move(job), finish = std::move(finish)] {
      FinishOnInputThread(job, finish);
    });
  }
}

}  // namespace

void StartWorker() {
  std::lock_guard<std::mutex> guard(Mutex);
  if (Running) return;
  Running = true;
  std::thread(WorkerLoop).detach();
}

bool RunAside(Socket connection, Work work) {
  ASSERT_CONNECTION_LOCK_HELD();
  {
    std::lock_guard<std::mutex> guard(Mutex);
    if (Running) {
      if (Jobs.size() >= kWorkerQueueJobs) return false;
      Job job{connection, 0, std::move(work)};
      if (connection != net::kNoSocket) {
        Connections().OrderOf(connection, job.order);
        Connections().Hold(connection);
      }
      Jobs.push_back(std::move(job));
      Queued.notify_one();
      return true;
    }
  }
  work()();
  return true;
}

}  // namespace server
