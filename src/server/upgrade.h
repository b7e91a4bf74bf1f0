// The upgrade: the server hands itself to the executable at its own path without
// dropping a connection. On the console's "upgrade" it writes its whole state
// (server/upgrade_state.h) as it is into a memfd and has the new executable read it in
// a probe process, on a thread of its own while play goes on. Only when the probe says
// it can does the game stop: a last quiet in which no line is handled while what is in
// flight finishes (the worker's hashes and their answers), the save, the state written
// again, the TLS connections ended (their sessions cannot leave this process), and the
// exec of the new build in this process, which keeps the PID, the listeners and every
// other connection. A probe that fails, crashes or keeps silent for 10 seconds changes
// nothing, and neither does a last quiet that cannot settle: the console is told why,
// with exit code 1. After the exec, a server no service manager watches leaves a guard
// behind (server/upgrade_guard.h) that starts it again from the save should the new
// build not say it serves within 10 seconds.
#pragma once

#include <chrono>
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
// The descriptor the new process reports on once it serves, to the guard the old one
// left. Set in the probe's environment too, where it asks the probe whether its build
// reports: a probe that does answers "ok ready" instead of "ok".
inline constexpr const char* kUpgradeReadyVariable = "PELTHOLLOW_UPGRADE_READY";

// How long the probe may take to answer, and the last quiets to find nothing in flight.
inline constexpr auto kUpgradeWait = std::chrono::seconds(10);
// How long one last quiet may wait for what is in flight before play goes on again
// for as long, and the quiet is tried again.
inline constexpr auto kQuietLimit = std::chrono::seconds(1);

// The console's "upgrade [announcement]" from `console`: starts the upgrade, which
// answers later, or answers at once why it cannot start. REQUIRES: ConnectionLock held,
// on the input thread (a line handler: the layer's I/O is at rest).
std::optional<ConsoleAnswer> BeginUpgrade(Running& running, core::Socket console,
                                          std::string announcement);

// --- The new process (upgrade_adopt.cpp). ------------------------------------------------

// True in the probe an upgrade starts; RunUpgradeProbe is then all it does: it reads
// the state (and the settings the caller read), answers on its pipe and returns the
// exit code.
bool IsUpgradeProbe();
int RunUpgradeProbe();

// In a process an upgrade started: its state, read from the memfd whose descriptor the
// environment names (the variable is then unset), its world taken up into the running
// server's, which must be empty. Every inherited descriptor the state
// does not name is closed, but the one to report on (kUpgradeReadyVariable). Nothing when no
// upgrade started this process, or when its state cannot be read: that is logged, every inherited
// descriptor is closed, and the server starts as after a restart, from the save file.
std::optional<UpgradeState> TakeUpgradeState(Running& running);

// Takes up the carried game, connections, countdown and measures, before the
// threads start, and answers the console that asked and tells the players the
// announcement. REQUIRES: ConnectionLock held; the doors added.
void AdoptUpgradeState(Running& running, const UpgradeState& state);

// Tells the guard an upgrade left that this process serves: every door listens and the
// console is open. Nothing when no guard waits. Once, on the main thread.
void ReportUpgradeReady(Running& running);

}  // namespace server
