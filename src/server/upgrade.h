// The upgrade: the server hands itself to the executable at its own path without
// dropping a connection. On the console's "upgrade" it lets what is in flight finish
// (the worker's hashes and their answers) while new lines wait, saves, writes its
// whole state (server/upgrade_state.h) into a memfd, and has the new executable read
// that state in a probe process first: only when the probe says it can does the server
// end its TLS connections (their sessions cannot leave this process) and exec the new
// build in its own process, which keeps the PID, the listeners and every other
// connection. A probe that fails, crashes or keeps silent for 10 seconds changes
// nothing: the console is told why, with exit code 1.
#pragma once

#include <optional>
#include <string>

#include "server/console.h"
#include "server/running.h"
#include "server/upgrade_state.h"

namespace server {

// What TLS players are told as the upgrade closes their connections.
inline constexpr std::string_view kRestartingText = "The server is restarting; please connect again.";

// The environment that tells a process it was started by an upgrade: the descriptor of
// the state, and, for the probe, the descriptor of the pipe it answers on.
inline constexpr const char* kUpgradeStateVariable = "PELTHOLLOW_UPGRADE_STATE";
inline constexpr const char* kUpgradeProbeVariable = "PELTHOLLOW_UPGRADE_PROBE";

// How long the probe may take to answer, and the upgrade to find nothing in flight.
inline constexpr auto kUpgradeWait = std::chrono::seconds(10);

// The console's "upgrade [announcement]" from `console`: starts the upgrade, which
// answers later. REQUIRES: ConnectionLock held.
std::optional<ConsoleAnswer> BeginUpgrade(Running& running, connection::Socket console,
                                          std::string announcement);

// --- The new process (upgrade_adopt.cpp). ------------------------------------------------

// True in the probe an upgrade starts; RunUpgradeProbe is then all it does: it reads
// the state (and the settings the caller read), answers on its pipe and returns the
// exit code.
bool IsUpgradeProbe();
int RunUpgradeProbe();

// In a process an upgrade started: its state, read from the memfd whose descriptor the
// environment names (the variable is then unset). Every inherited descriptor the state
// does not name is closed. Nothing when no upgrade started this process, or when its
// state cannot be read: that is logged, every inherited descriptor is closed, and the
// server starts as after a restart, from the save file.
std::optional<UpgradeState> TakeUpgradeState();

// Takes up the carried world, game, connections, countdown and measures, before the
// threads start, and answers the console that asked and tells the players the
// announcement. REQUIRES: ConnectionLock held; the doors added.
void AdoptUpgradeState(Running& running, const UpgradeState& state);

}  // namespace server
