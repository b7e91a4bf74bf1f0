// How the logins since start ended, counted where each ends (commands/account.cpp),
// for the metrics. The counts are atomic: any thread may read them.
#pragma once

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

// Logins that ended with `result` since start. Any thread.
std::uint64_t LoginCount(LoginResult result);
// Sets the count of `result`: an upgraded process goes on from the old one's counts.
void SetLoginCount(LoginResult result, std::uint64_t count);

}  // namespace commands
