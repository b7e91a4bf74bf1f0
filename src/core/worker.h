// The worker: one thread for slow work that the game's thread must not wait for
// (password hashes, which it hands to its PasswordHasher). A job's work runs on the worker with no lock held; what it leaves
// to do then runs on the input thread with ConnectionLock held, as the answer to its
// connection, whose later lines wait meanwhile while everyone else is answered. The
// server owns one (server/running.h) and hands it to whoever queues jobs; a test makes
// its own, or none. RunAside is called with ConnectionLock held; the worker thread
// never takes it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "base/address.h"
#include "core/password_hasher.h"
#include "core/socket_handle.h"

namespace core {

// Jobs that may wait for the worker; one more is refused (the client is told to try
// again), so no client can make the server hold more. An address held to the limits may
// have at most kWorkerJobsPerAddress of them, and addresses are served in turn, so that
// none can fill the queue for the others.
inline constexpr std::size_t kWorkerQueueJobs = 64;
inline constexpr std::size_t kWorkerJobsPerAddress = 2;

// Whose a job is: the limit key of the connection's address, and whether that address
// is held to the limits. The server's own jobs (no connection) are nobody's.
struct JobOwner {
  base::Address key;
  bool limited = false;
};

// What a job leaves for the input thread once its work is done, run there with
// ConnectionLock held. Returns true when the job's connection should be ended now, as
// a game line handler does.
using Completion = std::function<bool()>;
// The slow part of a job, run on the worker with the worker's hasher: it may touch
// nothing the lock guards, so it works on copies and hands its results to the
// Completion it returns.
using Work = std::function<Completion(PasswordHasher&)>;

// What the worker needs of the connections it works for: the connection layer, given
// once to Worker::Start.
class WorkerHost {
 public:
  // Holds the live connection `connection`: its later lines wait until its answer has
  // run. Returns what tells this connection from a later one on the same handle; 0
  // when there is no such connection. REQUIRES: ConnectionLock held.
  virtual std::uint64_t Hold(Socket connection) = 0;
  // Runs `task` on the input thread with ConnectionLock held, soon. Any thread.
  virtual void Post(std::function<void()> task) = 0;
  // Runs `completion` as the answer to `connection` (what it queues for it leaves at
  // once), then lets its later lines go on, and ends it if `completion` asks; nothing
  // at all when the connection is no longer the one `ticket` names.
  // REQUIRES: ConnectionLock held.
  virtual void Answer(Socket connection, std::uint64_t ticket, const Completion& completion) = 0;
  // Runs `completion` of work that belongs to no connection (the server's own), then
  // flushes the Outbox. REQUIRES: ConnectionLock held.
  virtual void CompleteUnowned(const Completion& completion) = 0;

 protected:
  ~WorkerHost() = default;
};

// One worker thread and its queue.
class Worker {
 public:
  Worker() = default;
  // Stops the thread, if it was started, once the job at work is done; jobs still
  // waiting are dropped.
  ~Worker();
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Starts the worker thread for `host` (once, before any RunAside). Until it runs, as
  // in unit tests, RunAside does each job at once on its caller's thread.
  void Start(WorkerHost& host);

  // Queues `work` for `connection` (kNoSocket for work of no connection) on behalf of
  // `owner`. Once it is done, its Completion runs on the input thread
  // (WorkerHost::Answer, or CompleteUnowned for work of no connection).
  // Jobs of one owner are done in the order they were queued; owners take turns.
  // Returns false, queueing nothing, when kWorkerQueueJobs jobs wait already, or
  // kWorkerJobsPerAddress of a limited owner's.
  // Without the worker thread: runs the work and its Completion now, leaves the
  // Completion's result to the caller (whose line handler reports it) and returns true.
  // REQUIRES: ConnectionLock held.
  bool RunAside(Socket connection, const JobOwner& owner, Work work);

  // Jobs queued and not yet done, the one being worked on included. Any thread.
  std::size_t QueueLength() const;

  // What the jobs hash with: on their caller's thread until the server gives it a
  // helper process (PasswordHasher::UseHelper), before Start.
  PasswordHasher& Hasher() { return hasher_; }
  const PasswordHasher& Hasher() const { return hasher_; }

 private:
  struct Job {
    Socket connection = kNoSocket;
    std::uint64_t ticket = 0;  // from WorkerHost::Hold, when it asked
    Work work;
  };

  void Loop();
  Job Next();  // REQUIRES: mutex_ held, a job waiting

  WorkerHost* host_ = nullptr;  // set once by Start, before the thread runs
  PasswordHasher hasher_;       // used by the jobs, one at a time
  std::thread thread_;
  // State below is guarded by mutex_ (never by ConnectionLock).
  mutable std::mutex mutex_;
  std::condition_variable queued_;
  // The jobs waiting, by owner, each owner's oldest first; the owners with jobs in the
  // order they are served. At most kWorkerQueueJobs jobs in all.
  std::map<base::Address, std::deque<Job>> byOwner_;
  std::deque<base::Address> turns_;
  std::size_t waiting_ = 0;
  bool working_ = false;   // the thread is doing a job it took
  bool stopping_ = false;  // the destructor waits for the thread to end
};

}  // namespace core
