// Password hashes and checks for the worker (core/worker.h), the one thread that asks
// for them. In a server they run in a helper process of its own, over a socket pair,
// so that their ~20 ms and 19 MiB each never touch the server's memory, nor stall its
// other threads while the kernel maps and unmaps them; without a helper (tests, tools)
// they run on the caller's thread. A helper that ends or hangs fails only the request
// in flight: it is killed, reaped and started again, and the request's answer is
// "unknown". The helper's state is guarded by a mutex of its own (never ConnectionLock).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/password_frames.h"

namespace core {

// The descriptor of the helper's end of the socket pair, in the helper.
inline constexpr int kHelperDescriptor = 3;
// The descriptors a hasher with a helper holds at most: its end of the socket pair, and
// both ends of a new pair while a helper is started again.
inline constexpr std::size_t kHasherDescriptors = 2;
// How long a helper may take over one answer: a hash takes about 20 ms of a core, and
// the helper runs below the server's threads (nice 10) on a machine that may be busy.
// Time it spends waiting for a core does not count (it is starved, not hung), up to
// kHelperLongestWait in all.
inline constexpr std::chrono::milliseconds kHelperAnswerWait{5000};
inline constexpr std::chrono::milliseconds kHelperLongestWait{60000};

enum class PasswordVerdict {
  Matches,
  Differs,
  Unknown,  // the helper ended or hung over the check: nothing is known
};

class PasswordHasher {
 public:
  // Hashes on the caller's thread until UseHelper.
  PasswordHasher() = default;
  // Ends the helper, if one runs.
  ~PasswordHasher();
  PasswordHasher(const PasswordHasher&) = delete;
  PasswordHasher& operator=(const PasswordHasher&) = delete;

  // From now on every hash and check of a hash runs in a helper: the program and
  // arguments `command`, which serves requests on kHelperDescriptor
  // (core/password_service.h), with `wait` for each answer. Starts it now; a start that
  // fails is logged, and tried again at the next request. Once, before the worker runs.
  void UseHelper(std::vector<std::string> command, std::chrono::milliseconds wait = kHelperAnswerWait);

  // Ends the helper and reaps it; the next request starts another. For an exec that
  // must leave no child behind. Waits for a request in flight. Any thread.
  void StopHelper();

  // The Argon2id string of `plain`; nullopt when it could not be made (no memory) or
  // the helper ended or hung meanwhile.
  std::optional<std::string> Hash(std::string_view plain);
  // Whether `typed` is the password that `stored` holds (base::PasswordMatches). A
  // plain password from an older file is compared here; only a hash goes to the helper.
  PasswordVerdict Check(std::string_view stored, std::string_view typed);
  // A check of `typed` against a hash of no player's password, which costs what a
  // check of a real one does: Differs, or Unknown as Check.
  PasswordVerdict CheckDummy(std::string_view typed);

  // Helpers started after the first, because one ended or hung. Any thread.
  std::uint64_t Restarts() const { return restarts_.load(std::memory_order_relaxed); }

 private:
  // The helper's answer to `request`, of one of the kinds `expected`; nullopt when it
  // ended, hung, or answered what it was not asked, and was replaced.
  // REQUIRES: mutex_ held, a helper in use.
  std::optional<PasswordMessage> Ask(PasswordMessage request, std::string_view expected);
  // REQUIRES: mutex_ held.
  bool Start();
  void End(const std::string& why);  // `why` is logged with the pid: "hung", ...
  bool HelperGone() const;           // it ended, or spoke unasked, while idle

  std::atomic<std::uint64_t> restarts_{0};
  std::mutex mutex_;
  // State below is guarded by mutex_.
  std::vector<std::string> command_;  // empty: no helper, hashes run here
  std::chrono::milliseconds wait_ = kHelperAnswerWait;
  pid_t pid_ = -1;   // the helper, which leads its own process group
  int socket_ = -1;  // the server's end of the pair
  std::uint32_t lastId_ = 0;
  bool started_ = false;  // a helper was started once: later starts are restarts
};

}  // namespace core
