#include "bench_server.h"

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace bench {

namespace {

std::vector<int> ServerCpus;  // empty: the servers run anywhere

void RunOn(const std::vector<int>& cpus) {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (const int cpu : cpus) CPU_SET(cpu, &set);
  ::sched_setaffinity(0, sizeof set, &set);
}

}  // namespace

CpuSplit::CpuSplit(bool split) {
  if (!split || ::sched_getaffinity(0, sizeof before_, &before_) != 0) return;
  std::vector<int> cpus;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (CPU_ISSET(cpu, &before_)) cpus.push_back(cpu);
  }
  if (cpus.size() < 2) return;
  const int own = cpus.back();
  cpus.pop_back();
  ServerCpus = cpus;
  RunOn({own});
  split_ = true;
  line_ = "cpus: the load generator on CPU ";
  line_ += std::to_string(own);
  line_ += ", the servers on CPU ";
  for (std::size_t i = 0; i < cpus.size(); ++i) {
    if (i > 0) line_ += ',';
    line_ += std::to_string(cpus[i]);
  }
}

CpuSplit::~CpuSplit() {
  if (!split_) return;
  ServerCpus.clear();
  ::sched_setaffinity(0, sizeof before_, &before_);
}

void RunOnServerCpus() {
  if (!ServerCpus.empty()) RunOn(ServerCpus);
}

long RaiseFileLimit(long wanted) {
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0) return 0;
  if (files.rlim_cur < static_cast<rlim_t>(wanted)) {
    files.rlim_cur = files.rlim_max == RLIM_INFINITY ? static_cast<rlim_t>(wanted)
                                                     : std::min(static_cast<rlim_t>(wanted), files.rlim_max);
    ::setrlimit(RLIMIT_NOFILE, &files);
    ::getrlimit(RLIMIT_NOFILE, &files);
  }
  return static_cast<long>(files.rlim_cur);
}

bool StartGame(const std::string& binary, GameProcess& out, std::string& error, bool web, bool telnet,
               bool realHashes, const std::map<std::string, std::string>& env) {
  if (::access(binary.c_str(), X_OK) != 0) {
    error = "cannot run " + binary + ": " + std::strerror(errno) + " (build it, or name it with --server)";
    return false;
  }
  GameProcess game;
  game.folder = std::make_unique<harness::TempDir>("pelthollow-bench");
  if (game.folder->Path().empty()) {
    error = std::string("mkdtemp: ") + std::strerror(errno);
    return false;
  }
  harness::ProcessOptions options;
  options.fileLimit = harness::kHardFileLimit;
  options.cpus = ServerCpus;
  options.outputFile = GameProcess::kLogName;
  options.env = env;
  if (!realHashes) options.env["PELTHOLLOW_CHEAP_PASSWORD_HASHES"] = "1";
  if (const auto tls = env.find("PELTHOLLOW_TLS_PORT"); tls != env.end()) game.tlsPort = std::atoi(tls->second.c_str());
  if (web) {
    game.webPort = harness::FreePort();
    options.env["PELTHOLLOW_WEB_PORT"] = std::to_string(game.webPort);
  }
  if (telnet) {
    game.telnetPort = harness::FreePort();
    options.env["PELTHOLLOW_TELNET_PORT"] = std::to_string(game.telnetPort);
  }
  game.server = std::make_unique<harness::Server>(binary, game.folder.get(), std::move(options));
  if (!game.server->Ready() || (web && !game.server->WaitForLog("Web client on port ")) ||
      (telnet && !game.server->WaitForLog("Telnet port ")) ||
      (game.tlsPort != 0 && !game.server->WaitForLog("Game port over TLS on port "))) {
    error = "the server did not start; its output:\n" + harness::Tail(game.LogPath(), 2000);
    StopGame(game, false);
    return false;
  }
  out = std::move(game);
  return true;
}

std::string StopGame(GameProcess& game, bool keep) {
  if (game.server) game.server->Proc().Stop(std::chrono::seconds(5));
  game.server.reset();
  std::string excerpt;
  if (game.folder) {
    const std::string log = harness::Tail(game.LogPath(), 1 << 20);
    const std::size_t report = harness::FindSanitizerReport(log);
    if (report != std::string::npos) excerpt = log.substr(report > 200 ? report - 200 : 0, 2000);
  }
  if (keep && game.folder) game.folder->Keep();
  game.folder.reset();
  return excerpt;
}

}  // namespace bench
