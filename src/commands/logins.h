// How the logins since start ended, counted where each ends (commands/account.cpp),
// for the metrics. The interpreter (commands/interpreter.h) holds the server's counts;
// they are atomic: any thread may read them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace commands {

enum class LoginResult : std::uint8_t {
  Success,        // the character entered play
  WrongPassword,  // "Incorrect password."
  UnknownName,    // "Invalid username."
  Refused,        // the address has had its failed logins
  Banned,         // the character's name is banned
  Busy,           // the worker's queue was full
};
inline constexpr std::size_t kLoginResults = 6;

class LoginCounts {
 public:
  // Counts one login that ended with `result`.
  void Count(LoginResult result) { At(result).fetch_add(1, std::memory_order_relaxed); }
  // Logins that ended with `result` since start.
  std::uint64_t Of(LoginResult result) const { return At(result).load(std::memory_order_relaxed); }
  // Sets the count of `result`: an upgraded process goes on from the old one's counts.
  void Set(LoginResult result, std::uint64_t count) {
    At(result).store(count, std::memory_order_relaxed);
  }

 private:
  std::atomic<std::uint64_t>& At(LoginResult result) {
    return counts_[static_cast<std::size_t>(result)];
  }
  const std::atomic<std::uint64_t>& At(LoginResult result) const {
    return counts_[static_cast<std::size_t>(result)];
  }

  std::array<std::atomic<std::uint64_t>, kLoginResults> counts_{};
};

}  // namespace commands
