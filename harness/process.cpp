#include "process.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string_view>

#include "folder.h"

namespace harness {

void OutputReader::Start(int fd) {
  thread_ = std::thread([this, fd] { Read(fd); });
}

void OutputReader::Join() {
  if (thread_.joinable()) thread_.join();
}

std::string OutputReader::Text() {
  std::lock_guard<std::mutex> guard(mutex_);
  return text_;
}

bool OutputReader::WaitFor(const std::string& text, std::chrono::milliseconds timeout, std::size_t from) {
  std::unique_lock<std::mutex> guard(mutex_);
  auto holds = [&] { return text_.size() >= from && text_.find(text, from) != std::string::npos; };
  changed_.wait_for(guard, timeout, [&] { return holds() || ended_; });
  return holds();
}

bool OutputReader::WaitForEnd(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> guard(mutex_);
  return changed_.wait_for(guard, timeout, [&] { return ended_; });
}

void OutputReader::Read(int fd) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> guard(mutex_);
    if (n <= 0) {
      ended_ = true;
      changed_.notify_all();
      return;
    }
    text_.append(buffer, static_cast<std::size_t>(n));
    changed_.notify_all();
  }
}

Process::Process(const std::string& binary, const std::string& dir, int port, ProcessOptions options)
    : port_(port) {
  int in[2];
  int out[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0) std::abort();
  if (options.outputFile.empty()) {
    if (::pipe2(out, O_CLOEXEC) != 0) std::abort();
  } else {
    outputPath_ = options.outputFile.front() == '/' ? options.outputFile : dir + "/" + options.outputFile;
    out[1] = ::open(outputPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  }
  // Everything the child needs is made before the fork.
  const std::string portText = std::to_string(port);
  std::vector<char*> argv;
  std::string program = binary;
  argv.push_back(program.data());
  for (auto& a : options.args) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_ = out[1] < 0 ? -1 : ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(out[1], STDERR_FILENO);
    if (::chdir(dir.c_str()) != 0) ::_exit(127);
    ::setenv("PELTHOLLOW_PORT", portText.c_str(), 1);
    for (const auto& [k, v] : options.env) ::setenv(k.c_str(), v.c_str(), 1);
    rlimit files{};
    if (options.fileLimit == kHardFileLimit && ::getrlimit(RLIMIT_NOFILE, &files) == 0) {
      files.rlim_cur = files.rlim_max;
      ::setrlimit(RLIMIT_NOFILE, &files);
    } else if (options.fileLimit > 0) {
      files.rlim_cur = files.rlim_max = static_cast<rlim_t>(options.fileLimit);
      ::setrlimit(RLIMIT_NOFILE, &files);
    }
    if (!options.cpus.empty()) {
      cpu_set_t set;
      CPU_ZERO(&set);
      for (const int cpu : options.cpus) CPU_SET(cpu, &set);
      ::sched_setaffinity(0, sizeof set, &set);
    }
    // A child of a process that blocked signals would not hear SIGTERM.
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.runAsUser != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(options.runAsUser) != 0 ||
                                   ::setuid(options.runAsUser) != 0))
      ::_exit(126);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  if (out[1] >= 0) ::close(out[1]);
  ::close(in[0]);
  if (pid_ > 0 && !options.stdinText.empty()) {
    [[maybe_unused]] auto n = ::write(in[1], options.stdinText.data(), options.stdinText.size());
  }
  ::close(in[1]);
  if (pid_ < 0) status_ = 127 << 8;  // as a child whose exec failed
  if (Collected()) {
    readFd_ = out[0];
    reader_.Start(readFd_);
  }
}

Process::~Process() {
  if (!Reaped()) {
    ::kill(pid_, SIGKILL);
    Wait(kTimeout);
  }
  reader_.Join();
  if (readFd_ >= 0) ::close(readFd_);
}

std::string Process::Output() {
  return Collected() ? reader_.Text() : ReadFile(outputPath_);
}

bool Process::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout, std::size_t from) {
  if (Collected()) return reader_.WaitFor(text, timeout, from);
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const bool ended = Reaped();  // looked at first, so its last words are read below
    const std::string output = Output();
    if (output.size() >= from && output.find(text, from) != std::string::npos) return true;
    if (ended || Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

bool Process::WaitForEndOfOutput(std::chrono::milliseconds timeout) {
  return Collected() ? reader_.WaitForEnd(timeout) : Wait(timeout).has_value();
}

void Process::Signal(int signal) {
  if (pid_ > 0) ::kill(pid_, signal);
}

std::optional<int> Process::Wait(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (Reaped()) {
      if (Collected()) reader_.WaitForEnd(2000ms);  // so Output() is complete
      return status_;
    }
    const auto now = Clock::now();
    if (now >= deadline) return std::nullopt;
    const auto slice = std::min<Clock::duration>(deadline - now, Collected() ? 20ms : 10ms);
    if (!Collected()) {
      std::this_thread::sleep_for(slice);
    } else if (reader_.WaitForEnd(std::chrono::duration_cast<std::chrono::milliseconds>(slice))) {
      // Most processes close their output as they end: give the kernel a moment to
      // report the exit.
      std::this_thread::sleep_for(1ms);
    }
  }
}

void Process::Stop(std::chrono::milliseconds grace) {
  if (Reaped()) return;
  ::kill(pid_, SIGTERM);
  if (!Wait(grace)) {
    ::kill(pid_, SIGKILL);
    Wait(grace);
  }
}

int Process::ExitCode(std::optional<int> status) {
  return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

bool Process::Reaped() {
  if (status_) return true;
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, WNOHANG);
  if (done == pid_) {
    status_ = status;
  } else if (done < 0 && errno == ECHILD) {
    status_ = -1;  // reaped by someone else: the status is lost
  }
  return status_.has_value();
}

double NicedThreadsCpuSeconds(pid_t pid, int nice) {
  std::error_code error;
  std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", error);
  if (error) return -1;
  long long ticks = 0;
  double seconds = 0;  // from schedstat where the kernel keeps it: nanoseconds, not ticks
  for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
    if (error) return -1;
    std::istringstream children(ReadFile(it->path().string() + "/children"));
    for (pid_t child = 0; children >> child;) seconds += std::max(0.0, NicedThreadsCpuSeconds(child, nice));
    const std::string stat = ReadFile(it->path().string() + "/stat");
    // The command name (field 2) may hold blanks: fields are counted from the last ')'.
    // Field 3 follows it; utime and stime are fields 14 and 15, nice is field 19.
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    long long utime = 0;
    long long stime = 0;
    long long niceness = 0;
    for (int n = 3; n <= 19 && fields >> field; ++n) {
      if (n == 14) utime = std::atoll(field.c_str());
      if (n == 15) stime = std::atoll(field.c_str());
      if (n == 19) niceness = std::atoll(field.c_str());
    }
    if (niceness != nice) continue;
    const std::string schedstat = ReadFile(it->path().string() + "/schedstat");
    if (!schedstat.empty()) {
      seconds += static_cast<double>(std::atoll(schedstat.c_str())) / 1e9;
    } else {
      ticks += utime + stime;
    }
  }
  return seconds + static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

}  // namespace harness
