// The new process's half of the upgrade: the probe, the state taken from the memfd, and
// everything taken up from it.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>

#include "base/number.h"
#include "base/version.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "server/upgrade.h"

namespace server {

namespace {

// The state may be as large as what the server held; a descriptor that says more is
// no state of ours.
constexpr std::size_t kMaxStateBytes = std::size_t{4} << 30;

// The descriptor an environment variable names; -1 when it names none.
int DescriptorIn(const char* variable) {
  const char* text = std::getenv(variable);
  unsigned fd = 0;
  if (text == nullptr || !base::ReadDigits(text, 1u << 24, fd)) return -1;
  return static_cast<int>(fd);
}

// Reads the state in `fd` and takes its world up into `world`, which must be empty.
base::Status ReadState(int fd, UpgradeState& state, world::World& world) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return base::Status::Failure("The upgrade's state cannot be read.");
  if (info.st_size < 0 || static_cast<std::uint64_t>(info.st_size) > kMaxStateBytes) {
    return base::Status::Failure("The upgrade's state is too large.");
  }
  std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return base::Status::Failure("The upgrade's state cannot be read.");
    done += static_cast<std::size_t>(n);
  }
  const base::Status read = ReadUpgradeState(bytes, state);
  if (!read.ok()) return read;
  // The world must be one the tables can hold; it is taken up here and kept.
  std::lock_guard<core::FairLock> guard(core::ConnectionLock);
  const std::string fault = world.Adopt(state.world);
  if (!fault.empty()) return base::Status::Failure("The upgrade's world cannot be taken up: " + fault + ".");
  return {};
}

// Closes every descriptor from 3 up that is not in `keep`: what the old process left
// open and the new one does not take up.
void CloseInherited(const std::set<int>& keep) {
  DIR* listing = ::opendir("/proc/self/fd");
  if (listing == nullptr) return;
  std::vector<int> close;
  const int own = ::dirfd(listing);
  while (const dirent* entry = ::readdir(listing)) {
    unsigned fd = 0;
    if (!base::ReadDigits(entry->d_name, 1u << 24, fd)) continue;
    const int descriptor = static_cast<int>(fd);
    if (descriptor > 2 && descriptor != own && keep.count(descriptor) == 0) close.push_back(descriptor);
  }
  ::closedir(listing);
  for (const int fd : close) ::close(fd);
}

std::set<int> Carried(const UpgradeState& state) {
  std::set<int> keep = {state.folderLock};
  for (const CarriedListener& l : state.listeners) keep.insert(l.socket);
  keep.insert(state.layer.connections.begin(), state.layer.connections.end());
  keep.insert(state.layer.drains.begin(), state.layer.drains.end());
  return keep;
}

}  // namespace

bool IsUpgradeProbe() { return std::getenv(kUpgradeProbeVariable) != nullptr; }

int RunUpgradeProbe() {
  const int report = DescriptorIn(kUpgradeProbeVariable);
  const int fd = DescriptorIn(kUpgradeStateVariable);
  if (report < 0) return 1;
  UpgradeState state;
  world::World world;  // taken up only to see that it can be
  const base::Status read =
      fd < 0 ? base::Status::Failure("No upgrade state was given.") : ReadState(fd, state, world);
  // A build of ours reports to the guard once it serves; an old process that can use
  // that asks (an older one would take nothing but "ok").
  const bool asked = std::getenv(kUpgradeReadyVariable) != nullptr;
  const std::string answer = read.ok() ? (asked ? "ok ready\n" : "ok\n") : read.Text() + "\n";
  [[maybe_unused]] const ssize_t n = ::write(report, answer.data(), answer.size());
  return read.ok() ? 0 : 1;
}

std::optional<UpgradeState> TakeUpgradeState(Running& running) {
  if (std::getenv(kUpgradeStateVariable) == nullptr) return std::nullopt;
  const int fd = DescriptorIn(kUpgradeStateVariable);
  ::unsetenv(kUpgradeStateVariable);
  // Kept whether or not the state can be read: started from the save, this process
  // still tells the guard when it serves.
  const int report = DescriptorIn(kUpgradeReadyVariable);
  ::unsetenv(kUpgradeReadyVariable);
  int& ready = running.upgrade.readyReport;
  if (report >= 0 && report != fd && ::fcntl(report, F_SETFD, FD_CLOEXEC) == 0) ready = report;
  UpgradeState state;
  const base::Status read = fd < 0 ? base::Status::Failure("No upgrade state was given.")
                                   : ReadState(fd, state, running.world);
  if (fd >= 0) ::close(fd);
  // Before anything of this process's own is opened (the log's first line opens the
  // log's own descriptors).
  std::set<int> keep = read.ok() ? Carried(state) : std::set<int>();
  if (ready >= 0) keep.insert(ready);
  CloseInherited(keep);
  if (!read.ok()) {
    core::Log(read.Text() + " The server starts from the save file.\n", core::LogPriority::Error);
    return std::nullopt;
  }
  return state;
}

void AdoptUpgradeState(Running& running, const UpgradeState& state) {
  ASSERT_CONNECTION_LOCK_HELD();
  const std::vector<core::Socket> adopted = running.layer.Adopt(state.layer);
  const std::set<core::Socket> live(adopted.begin(), adopted.end());
  running.game.Adopt(state, live);
  running.ticks = state.tick;
  running.nextTick = connection::FromCarriedTime(state.nextTick);
  running.countdown.Adopt({state.countdown.running,
                           state.countdown.restart ? CountdownKind::Restart : CountdownKind::Shutdown,
                           connection::FromCarriedTime(state.countdown.due),
                           static_cast<std::size_t>(state.countdown.nextStep)});
  core::Log("Upgraded from version " + core::EscapeForLog(state.writer) + " to " + std::string(base::Version()) +
            ": " + std::to_string(adopted.size()) + " connections carried over.\n");
  if (state.console != core::kNoSocket && live.count(state.console) != 0) {
    running.console.Reply(state.console, {"Upgraded to version " + std::string(base::Version()) + ".\n", 0});
  }
  if (!state.announcement.empty()) TellEveryone(running.layer, "[Announcement] " + state.announcement);
}

void ReportUpgradeReady(Running& running) {
  int& report = running.upgrade.readyReport;
  if (report < 0) return;
  const std::string_view ready = "ready\n";
  [[maybe_unused]] const ssize_t n = ::write(report, ready.data(), ready.size());
  ::close(report);
  report = -1;
}

}  // namespace server
