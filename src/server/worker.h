// The worker: one thread for slow work that the game's thread must not wait for
// (password hashes). A job's work runs on the worker with no lock held; what it leaves
// to do then runs on the input thread with ConnectionLock held, as the answer to its
// connection, whose later lines wait meanwhile while everyone else is answered.
// RunAside is called with ConnectionLock held; the worker thread never takes it.
#pragma once

#include <cstddef>
#include <functional>

#include "net/socket.h"

namespace server {

using net::Socket;

// Jobs that may wait for the worker; one more is refused (the client is told to try
// again), so no client can make the server hold more.
inline constexpr std::size_t kWorkerQueueJobs = 64;

// What a job leaves for the input thread, run with ConnectionLock held. Returns true
// when the job's connection should be ended now, as GameHandlers::line does.
using Finish = std::function<bool()>;
// The slow part of a job, run on the worker: it may touch nothing the lock guards, so
// it works on copies and hands its results to the Finish it returns.
using Work = std::function<Finish()>;

// Starts the worker thread (once, before RunAside). Until it runs, as in unit tests,
// RunAside does each job at once on its caller's thread.
void StartWorker();

// Queues `work` for `connection` (net::kNoSocket for work of no connection). Once it is
// done, its Finish runs on the input thread, jobs in the order they were queued, and
// what it queues for `connection` is sent at once; it is skipped if `connection` is no
// longer the connection that asked (the server ended it and its handle may be another's
// now). Until then `connection`'s later lines wait. Returns false, queueing nothing,
// when kWorkerQueueJobs jobs wait already.
// Without the worker thread: runs the work and its Finish now, leaves the Finish's
// result to the caller (whose line handler reports it) and returns true.
// REQUIRES: ConnectionLock held.
bool RunAside(Socket connection, Work work);

}  // namespace server
