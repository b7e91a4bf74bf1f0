// The processes of an upgrade, as the old process starts them: the probe of the new
// build, the environment and arguments the new build runs with, and the memfd of the
// state. The inside of the upgrade (server/upgrade.h), shared by its files. Any thread.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/status.h"

namespace server::upgrade_process {

// "No such file or directory (2)": an errno in words, with its number.
std::string Words(int error);

// A memfd holding `bytes`, sealed against change; -1 with `error` set on failure.
int StateFile(const std::string& bytes, int& error);

// This process's environment without the upgrade's own variables, and with `set`
// (each variable and its value) added.
std::vector<std::string> Environment(const std::vector<std::pair<const char*, std::string>>& set);

// Pointers to each of `strings`, then a null one: an argv or envp for execve. Valid
// while `strings` is.
std::vector<char*> Pointers(std::vector<std::string>& strings);

// Runs `executable` as a probe of the state in the memfd `stateFd` and waits at most
// kUpgradeWait for it to answer and end. Ok when it says it can take the state over;
// `reportsReady` then tells whether its build reports to the guard once it serves.
// A failure says why in words. The probe runs in a process group of its own, all of
// which is killed when it does not answer in time, and is killed should this process
// end meanwhile. REQUIRES: no ConnectionLock held (it takes up to 10 seconds).
base::Status Probe(const std::string& executable, int stateFd, bool& reportsReady);

}  // namespace server::upgrade_process
