// Child processes of the harness: a program started in a folder with its port and
// environment set, and the collection of what it writes. Every wait has a timeout.
// One thread drives a Process; its output is read on a thread of its own.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace harness {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr auto kTimeout = 10s;  // the default of every wait

// Reads a descriptor on a thread of its own until end of file or an error (a pseudo-
// terminal ends in EIO) and keeps every byte. The descriptor stays the caller's.
class OutputReader {
 public:
  OutputReader() = default;
  ~OutputReader() { Join(); }
  OutputReader(const OutputReader&) = delete;
  OutputReader& operator=(const OutputReader&) = delete;

  // Starts reading `fd`. REQUIRES: not started yet.
  void Start(int fd);
  // Waits for the reading thread to end. REQUIRES: the descriptor ends (its writer
  // closed it or died), or this waits for ever.
  void Join();

  // Everything read so far.
  std::string Text();
  // Waits until the text after byte `from` holds `text`; false on timeout or when the
  // descriptor ended without it.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = kTimeout,
               std::size_t from = 0);
  // Waits until the descriptor ended; false on timeout.
  bool WaitForEnd(std::chrono::milliseconds timeout = kTimeout);

 private:
  void Read(int fd);

  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::string text_;   // guarded by mutex_
  bool ended_ = false;  // guarded by mutex_
};

struct ProcessOptions {
  std::vector<std::string> args{"server"};
  std::map<std::string, std::string> env;  // added to the environment
  std::string stdinText;                   // written to its standard input, then closed
  long fileLimit = 0;  // RLIMIT_NOFILE for the child; 0 = unchanged, kHardFileLimit
  // When set, standard output and error go to this file (named from the folder)
  // instead of being collected in memory: a busy server never waits for a reader.
  std::string outputFile;
  // When not 0, the child gives up root and runs as this user and group.
  unsigned runAsUser = 0;
  // When not empty, the only CPUs the child runs on.
  std::vector<int> cpus;
};

// fileLimit: the child's soft descriptor limit raised to its hard limit.
inline constexpr long kHardFileLimit = -1;

// `binary` run as a child process in `dir` with PELTHOLLOW_PORT set to `port`, its
// output collected (or written to options.outputFile). The child is killed when the
// object goes, unless it has ended.
class Process {
 public:
  Process(const std::string& binary, const std::string& dir, int port, ProcessOptions options);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }

  // Everything the process has written so far.
  std::string Output();

  // Waits until the output holds `text` (after byte `from`); false on timeout or when
  // the output ended without it.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout = kTimeout,
                     std::size_t from = 0);

  // Waits until standard output closed (the process ended or closed it).
  bool WaitForEndOfOutput(std::chrono::milliseconds timeout = kTimeout);

  void Signal(int signal);

  // Waits for the process to end; its exit status as waitpid reports it, or nullopt on
  // timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout = kTimeout);

  // Ends the process: SIGTERM, then SIGKILL when it is still there after `grace`.
  void Stop(std::chrono::milliseconds grace);

  // The exit code when the process ended normally, -1 otherwise.
  static int ExitCode(std::optional<int> status);

 private:
  bool Collected() const { return outputPath_.empty(); }
  // True once the child has been reaped (its status is kept in status_).
  bool Reaped();

  int port_;
  pid_t pid_ = -1;
  int readFd_ = -1;
  std::string outputPath_;  // the output file, or empty when the output is collected
  std::optional<int> status_;
  OutputReader reader_;
};

// The CPU time (in seconds) of the threads of process `pid` and of its living children
// that run at nice `nice`, from /proc/<pid>/task/*/schedstat (or stat's ticks without
// it): the server's password worker and its password helper are what runs at nice 10,
// so this counts their hashes. -1 when the process cannot be read.
double NicedThreadsCpuSeconds(pid_t pid, int nice);

}  // namespace harness
