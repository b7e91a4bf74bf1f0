// HandshakeThreads: a few threads that run the costly steps of TLS server handshakes (a
// key exchange and a signature each) away from the thread that reads and writes the
// connections, so that a storm of handshakes holds up no established connection. A step
// is work on one session that its submitter leaves alone until the step tells it it is
// done. Any thread may submit; the threads hold no lock but the queue's own while they
// run a step. The count of handshakes under way (Began, Ended) is kept here too.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace tls {

class HandshakeThreads {
 public:
  // Steps that may wait for a thread at once: a second's worth of handshakes for one
  // thread on a slow machine. Every connection holds at most one.
  static constexpr std::size_t kMaxWaiting = 1024;

  // `threads` threads (at least one), started at the first Submit.
  explicit HandshakeThreads(std::size_t threads, std::size_t maxWaiting = kMaxWaiting);
  // Ends the threads once the steps they run are done; the steps still waiting are
  // dropped unrun.
  ~HandshakeThreads();
  HandshakeThreads(const HandshakeThreads&) = delete;
  HandshakeThreads& operator=(const HandshakeThreads&) = delete;

  // Queues `step` for the next free thread. False, queuing nothing, when maxWaiting
  // steps wait already.
  bool Submit(std::function<void()> step);

  // A handshake began; it ends (Ended) once it is done, has failed or its connection
  // has gone. Until the client's Finished, each holds some 30 KiB of OpenSSL's buffers
  // (in buffer slots, tls_memory.h, or on the heap); a burst of handshakes leaves
  // those pages resident after it. So when the last handshake under way ends
  // and kTrimAfterHandshakes or more have ended since the last time, Ended gives the
  // heap's free pages and the free buffer slots' back to the system (malloc_trim,
  // TrimSessionBuffers), on the caller's thread.
  void Began();
  void Ended();
  static constexpr std::size_t kTrimAfterHandshakes = 256;

  // The process's: one thread fewer than the machine has cores (the input thread keeps
  // one), at least one and at most four. Made at its first use and never ended: the
  // process's end ends its threads.
  static HandshakeThreads& Process();

 private:
  void Run();

  const std::size_t threadCount_;
  const std::size_t maxWaiting_;
  std::vector<std::thread> threads_;  // started under mutex_ by the first Submit

  // Guarded by mutex_.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> waiting_;
  bool stopping_ = false;
  std::size_t underWay_ = 0;       // handshakes begun and not ended
  std::size_t endedSinceTrim_ = 0;
};

}  // namespace tls
