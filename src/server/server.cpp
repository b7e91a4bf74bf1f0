#include "server/server.h"

#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>

#include "base/password.h"
#include "connection/connection_layer.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "core/outbox.h"
#include "core/password_hasher.h"
#include "core/password_service.h"
#include "persist/folder_lock.h"
#include "persist/saver.h"
#include "server/console.h"
#include "server/countdown.h"
#include "server/doors.h"
#include "server/game.h"
#include "server/metrics.h"
#include "server/notify.h"
#include "server/running.h"
#include "server/upgrade.h"
#include "world/names.h"

namespace server {

namespace {

using Clock = std::chrono::steady_clock;

// Once the connections' buffers have drained from a peak (an attack of non-readers
// ended), the free memory inside the allocator's heaps goes back to the system: it
// would otherwise stay resident, scattered between what is still in use.
constexpr std::size_t kTrimAfterBytes = std::size_t{32} << 20;
// Likewise once a crowd of connections has gone, whose memory the buffers do not count
// (a TLS session's state, most of all a storm of handshakes left half done).
constexpr std::size_t kTrimAfterConnections = 256;

[[noreturn]] void TickLoop(Running& running) {
  std::size_t peakBuffered = 0;     // the most the buffers held since the last trim
  std::size_t peakConnections = 0;  // the most connections since the last trim
  for (;;) {
    Clock::time_point due;
    std::size_t buffered = 0;
    std::size_t connections = 0;
    {
      std::lock_guard<core::FairLock> guard(core::ConnectionLock);
      due = running.nextTick;
    }
    std::this_thread::sleep_until(due);
    {
      std::lock_guard<core::FairLock> guard(core::ConnectionLock);
      const Clock::time_point began = Clock::now();
      running.game.Tick(++running.ticks);
      running.metrics.NoteTick(Clock::now() - began);
      running.nextTick = Clock::now() + kTickPeriod;  // measured from the end of the tick
      buffered = running.layer.Buffered();
      connections = running.layer.Count();
    }
    // Without the lock: the files are read while everyone plays.
    running.certificates.ReloadIfChanged();
    peakBuffered = std::max(peakBuffered, buffered);
    peakConnections = std::max(peakConnections, connections);
    if ((peakBuffered - buffered > kTrimAfterBytes && buffered < peakBuffered / 2) ||
        (peakConnections - connections > kTrimAfterConnections && connections < peakConnections / 2)) {
      ::malloc_trim(0);
      peakBuffered = buffered;
      peakConnections = connections;
    }
    // The service manager's watchdog is fed by ticks that ran: a server whose tick
    // cannot get the lock or never ends is killed and started again. A ping that
    // cannot be sent is tried again at the next tick.
    Notify("WATCHDOG=1");
  }
}

// The path of this process's executable, as it is now: the one an upgrade runs.
std::string OwnExecutable() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

}  // namespace

int RunServer(const ServerSettings& asked) {
  // Buffers of 256 KiB and more (a backlog that grows towards its cap) get mappings of
  // their own, given back to the system as they are freed. Left to itself, the
  // allocator raises this threshold the first time such a buffer is freed and carves
  // later ones from its heaps, which then keep the memory of connections long gone.
  ::mallopt(M_MMAP_THRESHOLD, 256 * 1024);
  ServerSettings settings = asked;
  // Every connection is a descriptor: allow as many as the system lets this process have.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  // Connections stop short of the descriptor limit: the save, the log, the console and
  // the listeners always find one, and the password helper's socket is taken first.
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY &&
      files.rlim_cur > core::kHasherDescriptors) {
    const auto limit = static_cast<std::size_t>(files.rlim_cur) - core::kHasherDescriptors;
    settings.caps.maxConnections = limit > 2 * connection::kReservedDescriptors
                                      ? limit - connection::kReservedDescriptors
                                      : limit / 2;
  }
  // Held here until the threads start; from then on it lives as long as the process,
  // which ends without running destructors. Making it opens no descriptor.
  auto owned = std::make_unique<Running>(settings);
  Running* running = owned.get();
  // Started by an upgrade: the old process's state, its descriptors and its world.
  std::optional<UpgradeState> carried = TakeUpgradeState(*running);
  // Two servers in one folder would each save over the other's characters. Taken first:
  // a second server touches nothing, not even the temporary save file.
  const base::Status locked = carried && carried->folderLock >= 0
                                  ? persist::AdoptSaveFolderLock(carried->folderLock, running->folderLock)
                                  : persist::LockSaveFolder(running->folderLock);
  if (!locked.ok()) {
    core::Log(locked.Text() + "\n", core::LogPriority::Error);
    return 1;
  }
  // A server that could never save would lose everything at its first save: say so
  // before taking a single player.
  if (const base::Status writable = persist::CanSaveIn(persist::kSaveFilePath); !writable.ok()) {
    core::Log(writable.Text() + "\n", core::LogPriority::Error);
    return 1;
  }
  if (base::CheapPasswordHashes()) {
    core::Log("Password hashes are cheap (PELTHOLLOW_CHEAP_PASSWORD_HASHES): for tests only.\n");
  }
  // A peer that went away must never end the server, nor a closed log.
  ::signal(SIGPIPE, SIG_IGN);
  const sigset_t shutdown = ShutdownSignals();
  ::pthread_sigmask(SIG_BLOCK, &shutdown, nullptr);  // before any thread exists
  core::Log("Starting server...\n");
  if (const base::Status notify = OpenNotify(); !notify.ok()) core::Log(notify.Text() + "\n");
  running->executable = OwnExecutable();
  CarriedListeners carriedListeners;
  if (carried) {
    running->metrics.Adopt(carried->measures);
    for (const CarriedListener& l : carried->listeners) carriedListeners[l.door] = l.socket;
  }
  if (settings.AnyTls()) {
    // A TLS port without its pair, or with one that does not load, is a failed start.
    base::Status loaded = settings.tlsCertificate.empty() || settings.tlsKey.empty()
                              ? base::Status::Failure("A TLS port needs PELTHOLLOW_TLS_CERT and PELTHOLLOW_TLS_KEY.")
                              : running->certificates.Load(settings.tlsCertificate, settings.tlsKey);
    if (!loaded.ok()) {
      core::Log(loaded.Text() + "\n", core::LogPriority::Error);
      return 1;
    }
  }
  connection::ConnectionLayer& layer = running->layer;
  for (const base::Status& status : {layer.Init(), running->countdown.Init(), running->standstill.Init()}) {
    if (!status.ok()) {
      core::Log("Error listening: " + std::to_string(status.error()) + "\n");
      return 1;
    }
  }
  // Hashes run in a process of this very build, whatever lies at the executable's path
  // by now; started before the worker (Game::Load) and the doors. Cheap ones hold 8 KiB:
  // they stay on the worker, and a benchmark that makes thousands of characters pays no
  // round trips.
  if (!base::CheapPasswordHashes()) {
    running->worker.Hasher().UseHelper({"/proc/self/exe", core::kPasswordHelperWord, std::to_string(::getpid())});
  }
  const int spare = OpenSpare();
  // The doors open last of what the server holds: their lines end what the start logs
  // of it ("Console at pelthollow.sock.").
  if (!OpenDoors(settings, layer, running->game, running->console, running->certificates, running->listeners,
                 carriedListeners)) {
    return 1;
  }
  for (const auto& [door, socket] : carriedListeners) ::close(socket);  // a door no longer opened
  {
    std::lock_guard<core::FairLock> guard(core::ConnectionLock);
    running->game.Load(carried.has_value());
  }
  world::LoadNameData();
  running->console.SetUpgrade([running](core::Socket console, std::string announcement) {
    return BeginUpgrade(*running, console, std::move(announcement));
  });
  {
    std::lock_guard<core::FairLock> guard(core::ConnectionLock);
    running->nextTick = Clock::now();
    if (carried) AdoptUpgradeState(*running, *carried);
  }
  // Every door listens and the console is open: the service manager may count the
  // server as started.
  if (const base::Status ready = Notify("READY=1"); !ready.ok()) core::Log(ready.Text() + "\n");
  ReportUpgradeReady(*running);
  owned.release();
  std::thread([running] { running->countdown.Run(running->standstill); }).detach();
  std::thread([running, spare] {
    AcceptLoop(running->layer, running->listeners, spare, running->standstill, running->metrics);
  })
      .detach();
  std::thread([running] {
    for (;;) running->layer.RunOnce(-1);
  }).detach();
  TickLoop(*running);
}

}  // namespace server
