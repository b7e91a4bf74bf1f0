// A standstill: while the server hands itself to a new build, the threads that could
// change what it hands over on their own (the accept thread taking a connection, the
// signal thread taking a signal) stop at a safe point of theirs and wait. A connection
// that comes meanwhile waits in its listener's queue and a signal stays pending, and
// both go to the new process with the descriptors. Any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "base/status.h"

namespace server {

class Standstill {
 public:
  // Makes the descriptor the threads watch. Before the threads start.
  base::Status Init();
  // Readable while a standstill is asked for: each thread adds it to the descriptors it
  // waits on, and calls Keep when it is.
  int Descriptor() const { return wake_; }

  void Ask();
  void Lift();
  // At the calling thread's safe point: returns at once unless a standstill is asked
  // for; otherwise the thread counts as still until it is lifted.
  void Keep();
  // The threads standing still now.
  std::size_t Still();

 private:
  int wake_ = -1;  // eventfd, readable while asked
  // State below is guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable lifted_;
  bool asked_ = false;
  std::size_t still_ = 0;
};

}  // namespace server
