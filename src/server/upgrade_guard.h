// The guard of an upgrade's exec, for a server no service manager watches (one run by
// hand): a small process the old process leaves just before its exec, which waits for
// the new build to say that it serves (ReportUpgradeReady, on the pipe the new process
// finds in PELTHOLLOW_UPGRADE_READY). Should the new process end first, or not report
// within kReadyWait, the guard ends it, answers the console connection that asked for
// the upgrade, logs why, and runs the executable again in the same folder with the same
// settings: a server that starts from the save written just before the exec. Under
// systemd the watchdog and Restart= do that, and no guard is left.
#pragma once

#include <chrono>
#include <string>

#include "connection/connection.h"

namespace server {

// How long the new process may take from the exec until it serves.
inline constexpr auto kReadyWait = std::chrono::seconds(10);

// Leaves the guard for the exec of `executable` that follows at once; `console` is the
// console connection to answer should the new build fail (core::kNoSocket: none). Returns
// the descriptor the new process reports on (close-on-exec: the caller keeps it across
// its exec), or -1 with `failure` set when no guard could be left. Every other
// descriptor of this process is closed in the guard. REQUIRES: the input thread's I/O
// at rest (the guard copies this process).
int StartUpgradeGuard(const std::string& executable, core::Socket console, std::string& failure);

// The exec failed and this process serves on: the guard leaves without a word, and
// `report` is closed.
void StandDownUpgradeGuard(int report);

}  // namespace server
