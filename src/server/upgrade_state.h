// The state one server process hands the next at an upgrade, and its format: written
// by the old build into a memfd, read by the new one (and first by a probe of it, which
// only reads). One module writes and reads it, as the save file has one: a short
// envelope (a magic line, the format's version, the payload's length and a BLAKE2b
// digest of it) around one record of tagged fields (base/fields.h), so a build reads
// the state of an older or newer one, keeping the defaults of what the writer did not
// know. Pure values and functions; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/status.h"
#include "commands/logins.h"
#include "connection/address_limits.h"
#include "commands/sessions.h"
#include "connection/carried.h"
#include "server/metrics.h"
#include "world/character.h"

namespace server {

// The envelope's first bytes; the version of the format after them changes only when a
// build could no longer read the other's fields.
inline constexpr std::string_view kUpgradeMagic = "Pelthollow upgrade state\n";
inline constexpr std::uint64_t kUpgradeFormat = 1;

// An open listening socket and the door it is: the same descriptor in the new process.
struct CarriedListener {
  std::string door;  // "game", "web-tls", "console" ...
  int socket = -1;
};

// A shutdown or restart countdown that was running.
struct CarriedCountdown {
  bool running = false;
  bool restart = false;
  std::int64_t due = 0;  // the monotonic clock, in nanoseconds
  std::uint64_t nextStep = 0;
};

struct UpgradeState {
  std::string writer;  // the version of the build that wrote it
  int folderLock = -1;  // the descriptor that holds the folder's lock
  std::vector<CarriedListener> listeners;
  connection::CarriedLayer layer;
  world::CarriedWorld world;
  std::vector<std::pair<core::Socket, commands::Session>> sessions;
  std::vector<core::Socket> screenReaders;  // the connections in screen-reader mode
  std::vector<std::pair<std::string, std::int64_t>> mutes;  // name, until (monotonic ns)
  connection::CarriedBook allowances;
  std::array<std::uint64_t, commands::kLoginResults> logins{};
  CarriedMeasures measures;
  std::uint64_t tick = 0;     // ticks run so far
  std::int64_t nextTick = 0;  // when the next is due (monotonic ns)
  CarriedCountdown countdown;
  // The console connection that asked for the upgrade: the new process answers it.
  core::Socket console = core::kNoSocket;
  std::string announcement;  // said to every player once the new process serves; may be empty
};

// The whole state as bytes, envelope and all.
std::string WriteUpgradeState(const UpgradeState& state);

// Reads bytes WriteUpgradeState made, of this build or another. A failure says what is
// wrong in words ("the state is cut short", "a connection's record makes no sense"), and
// leaves `state` unspecified.
base::Status ReadUpgradeState(std::string_view bytes, UpgradeState& state);

}  // namespace server
