// Starting and stopping the game server under test: the pelthollow binary run by the
// shared process harness in a temporary folder of its own, on a free port, with its
// log in that folder. Called from the load generator's one thread.
#pragma once

#include <sched.h>

#include <map>
#include <memory>
#include <string>

#include "harness/folder.h"
#include "harness/server.h"

namespace bench {

struct GameProcess {
  std::unique_ptr<harness::TempDir> folder;  // removed by StopGame unless kept
  std::unique_ptr<harness::Server> server;   // null when not running
  int webPort = 0;                           // the web client's port; 0: none
  int telnetPort = 0;                        // the telnet port; 0: none
  int tlsPort = 0;                           // the game port's TLS twin; 0: none
  int Port() const { return server ? server->Port() : 0; }
  pid_t Pid() const { return server ? server->Proc().Pid() : 0; }
  std::string LogPath() const { return folder ? folder->File(kLogName) : std::string(); }
  static constexpr const char* kLogName = "server.log";  // standard output and error
};

// While one lives and `split`, with two CPUs or more to run on: the load generator
// (this process, and threads it starts meanwhile) keeps the last of them, and every
// server it starts (the game through StartGame, the echo through RunOnServerCpus) the
// others. The crowd's load generator reads the hundreds of lines a den hears for each
// line said: sharing the server's CPU, it is woken onto it by every one of them and
// each waits for the other, so that its own scheduling would count as the server's
// latency. With one CPU, or not `split`, nothing changes.
class CpuSplit {
 public:
  explicit CpuSplit(bool split);
  ~CpuSplit();
  CpuSplit(const CpuSplit&) = delete;
  CpuSplit& operator=(const CpuSplit&) = delete;
  // "cpus: the load generator on CPU 1, the servers on CPU 0"; empty when not split.
  const std::string& Line() const { return line_; }

 private:
  cpu_set_t before_{};
  bool split_ = false;
  std::string line_;
};

// Keeps the calling process on the servers' CPUs while a CpuSplit splits them.
void RunOnServerCpus();

// Raises this process's descriptor limit to at least `wanted` (up to the hard limit).
// Returns the soft limit in force afterwards.
long RaiseFileLimit(long wanted);

// Starts `binary server` in a new temporary folder with PELTHOLLOW_PORT set to a free
// port (and PELTHOLLOW_WEB_PORT and PELTHOLLOW_TELNET_PORT to others when `web` and
// `telnet`) and its descriptor limit raised to the hard limit, and waits (at most 10 s
// each) for it to listen (and for those doors). False with `error` set (and nothing
// left running) when it does not come up. Its password hashes are the cheapest unless
// `realHashes`: thousands of setups would otherwise take minutes. `env` is added to its
// environment; when it opens the TLS twin (PELTHOLLOW_TLS_PORT), that door is waited for
// too.
bool StartGame(const std::string& binary, GameProcess& out, std::string& error, bool web = false,
               bool telnet = false, bool realHashes = false, const std::map<std::string, std::string>& env = {});

// Ends the server with SIGTERM (it saves and leaves), SIGKILL after 5 s, and removes
// its folder unless `keep`. Returns the stretch of its log around a sanitizer report
// (a server built with sanitizers reports there), or empty when there is none.
// Harmless on a GameProcess that is not running.
std::string StopGame(GameProcess& game, bool keep);

}  // namespace bench
