#include "server/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/address_limits.h"
#include "server/admin_socket.h"
#include "server/connection_lock.h"
#include "server/connections.h"
#include "server/frame_codec.h"
#include "server/log.h"
#include "server/outbox.h"

namespace server {

namespace {

constexpr auto kAcceptErrorPause = std::chrono::milliseconds(100);
// Connections taken from one listener before the others get their turn.
constexpr int kAcceptsPerTurn = 64;

// One open listening socket and what its connections speak.
struct Listener {
  Socket socket = net::kNoSocket;
  std::string name;  // in "Error accepting <name> connection: "; empty for the game port
  CodecMaker makeCodec;
};

using Clock = std::chrono::steady_clock;

constexpr const char* kGoingDownNow = "The server is going down now.";
// The time left at which a countdown is announced again, longest first.
constexpr int kCountdownSteps[] = {600, 300, 60, 30, 10};
// What the last words to the players may take to leave before the save.
constexpr auto kLastWordsTime = std::chrono::seconds(2);

// Set before the threads start.
ServerOptions Options;
std::vector<Listener> Listeners;
ConnectionLayer* Layer = nullptr;
Socket AdminListening = net::kNoSocket;  // the console's socket, or none
const Clock::time_point StartTime = Clock::now();
std::atomic<std::int64_t> LastTickNanoseconds{0};

// The console's countdown. The accept thread's own: the console's commands run there.
struct Countdown {
  bool running = false;
  Clock::time_point due{};
  std::size_t nextStep = 0;  // index into kCountdownSteps of the next announcement
};
Countdown Shutdown;

// Tells every player, saves and ends the process: the end of every shutdown. The lock
// is never given back, so nothing changes the world after the save.
[[noreturn]] void ShutDownNow() {
  ConnectionLock.lock();
  Log("Shutting down\n");
  TellEveryone(kGoingDownNow);
  if (Layer != nullptr) Layer->SendEverything(kLastWordsTime);
  const bool saved = !Options.save || Options.save();
  if (AdminListening != net::kNoSocket) ::unlink(Options.adminSocket.c_str());
  FlushLogBeforeExit();
  std::_Exit(saved ? 0 : 1);
}

// Milliseconds until the countdown has something to do, -1 while none runs.
int CountdownWait() {
  if (!Shutdown.running) return -1;
  Clock::time_point next = Shutdown.due;
  if (Shutdown.nextStep < std::size(kCountdownSteps)) {
    next = Shutdown.due - std::chrono::seconds(kCountdownSteps[Shutdown.nextStep]);
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
  return wait.count() < 0 ? 0 : static_cast<int>(std::min<std::int64_t>(wait.count(), 60'000));
}

// Announces the steps that are due and ends the server when its time has come.
void RunCountdown() {
  if (!Shutdown.running) return;
  const Clock::time_point now = Clock::now();
  if (now >= Shutdown.due) ShutDownNow();
  bool announce = false;
  while (Shutdown.nextStep < std::size(kCountdownSteps) &&
         now >= Shutdown.due - std::chrono::seconds(kCountdownSteps[Shutdown.nextStep])) {
    ++Shutdown.nextStep;
    announce = true;
  }
  if (!announce) return;
  const int step = kCountdownSteps[Shutdown.nextStep - 1];
  std::lock_guard<FairLock> guard(ConnectionLock);
  TellEveryone("The server is going down in " + TimeLeftText(step) + ".");
}

// Reports a failed start-up step: the message and the errno value, as platform errors
// are printed; the exit code is 1.
int Fail(const std::string& message, int error, const char* end = "") {
  Log(message + std::to_string(error) + end);
  return 1;
}

// Opens a listening socket on every IPv4 address; false with `error` set and
// `step` naming what failed.
bool OpenListener(std::uint16_t port, Socket& listening, int& error, int& step,
                  std::uint32_t address = INADDR_ANY) {
  step = 0;
  if (!net::CreateTcpSocket(listening, error)) return false;
  step = 1;
  if (!net::SetReuseAddress(listening, error) || !net::BindAddress(listening, address, port, error))
    return false;
  step = 2;
  if (!net::SetNonBlocking(listening, error)) return false;
  step = 3;
  return net::Listen(listening, error);
}

// Takes in one accepted socket with the codec of its listener.
void Admit(const Listener& listener, Socket socket, const sockaddr_in& peer) {
  int ignored = 0;
  net::SetNoDelay(socket, ignored);  // answers leave at once, not after the peer's ack
  // What the kernel holds unsent is kept small, so a client that stops reading shows
  // in the layer's own count of its output and meets its limits.
  const int sendBuffer = kSocketSendBufferBytes;
  ::setsockopt(socket, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
  std::unique_ptr<Codec> codec = listener.makeCodec(socket);
  std::lock_guard<FairLock> guard(ConnectionLock);
  Layer->Take(socket, ntohl(peer.sin_addr.s_addr), std::move(codec));
}

// Accepts connections on every listener for as long as the server runs; errors pause
// it, never end it.
void AcceptLoop() {
  std::vector<pollfd> waits;
  for (const Listener& listener : Listeners) waits.push_back({listener.socket, POLLIN, 0});
  const std::size_t listeners = waits.size();
  if (AdminListening != net::kNoSocket) waits.push_back({AdminListening, POLLIN, 0});
  for (;;) {
    const int ready = ::poll(waits.data(), waits.size(), CountdownWait());
    RunCountdown();
    if (ready < 0) {
      if (errno == EINTR) continue;
      Log("Error accepting connection: " + std::to_string(errno) + "\n");
      std::this_thread::sleep_for(kAcceptErrorPause);
      continue;
    }
    if (waits.size() > listeners && (waits[listeners].revents & POLLIN) != 0) {
      ServeAdminConnection(AdminListening, Options.admin);
      RunCountdown();  // a shutdown for now ends the server once its answer is out
    }
    bool failed = false;
    for (std::size_t i = 0; i < listeners; ++i) {
      if ((waits[i].revents & POLLIN) == 0) continue;
      const Listener& listener = Listeners[i];
      for (int n = 0; n < kAcceptsPerTurn; ++n) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        const Socket socket = ::accept4(listener.socket, reinterpret_cast<sockaddr*>(&peer),
                                        &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (socket >= 0) {
          Admit(listener, socket, peer);
          continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          const std::string what = listener.name.empty() ? "" : listener.name + " ";
          Log("Error accepting " + what + "connection: " + std::to_string(errno) + "\n");
          failed = true;
        }
        break;
      }
    }
    if (failed) std::this_thread::sleep_for(kAcceptErrorPause);
  }
}

void InputLoop() {
  for (;;) Layer->RunOnce(-1);
}

// The signals that end the server: blocked in every thread, taken by SaveLoop alone.
sigset_t ShutdownSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGHUP);
  return signals;
}

// Waits for the first shutdown signal, saves the world once and ends the process. The
// lock is never given back, so nothing changes the world after the save; signals that
// arrive meanwhile stay blocked and are ignored.
[[noreturn]] void SaveLoop() {
  const sigset_t signals = ShutdownSignals();
  int signal = 0;
  while (::sigwait(&signals, &signal) != 0) {
  }
  ShutDownNow();
}

[[noreturn]] void Exit(int code) {
  FlushLogBeforeExit();
  std::_Exit(code);
}

[[noreturn]] void RunServerLoop(Socket listening) {
  Listeners.push_back({listening, "", [](Socket) { return std::make_unique<FrameCodec>(); }});
  if (Options.load) {
    std::lock_guard<FairLock> guard(ConnectionLock);
    Options.load();
  }
  Layer = new ConnectionLayer(Options.game);  // lives as long as the process
  SetConnections(Layer);
  SetFrameSink(&SendFrame);
  SetDataSink(&SendData, &WantsData);
  int error = 0;
  if (!Layer->Init(error)) {
    Fail("Error listening: ", error, "\n");
    Exit(1);
  }
  for (const Door& door : Options.doors) {
    Socket socket = net::kNoSocket;
    int step = 0;
    if (!OpenListener(door.port, socket, error, step, door.address)) {
      Fail(door.bindFailed, error, "\n");
      Exit(1);
    }
    Log(door.opened + "\n");
    Listeners.push_back({socket, door.name, door.makeCodec});
  }
  if (!Options.adminSocket.empty() && Options.admin) {
    if (OpenAdminSocket(Options.adminSocket, AdminListening, error)) {
      Log("Console at " + Options.adminSocket + ".\n");
    } else {
      Log("Error opening console socket " + Options.adminSocket + ": " + std::to_string(error) +
          "; the server runs without a console.\n");
    }
  }
  std::thread(SaveLoop).detach();
  std::thread(AcceptLoop).detach();
  std::thread(InputLoop).detach();
  for (;;) {
    {
      std::lock_guard<FairLock> guard(ConnectionLock);
      const Clock::time_point began = Clock::now();
      if (Options.tick) Options.tick();
      Addresses().Prune(LimitClock::now());
      LastTickNanoseconds.store((Clock::now() - began).count(), std::memory_order_relaxed);
    }
    std::this_thread::sleep_for(kTickPeriod);  // measured from the end of the tick
  }
}

}  // namespace

void TellEveryone(std::string_view text) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (Layer == nullptr) return;
  for (const ConnectionSummary& c : Layer->Summaries()) {
    if (c.playing) QueueMessage(c.socket, std::string(text));
  }
  FlushOutbox();
}

void ScheduleShutdown(int seconds) {
  ASSERT_CONNECTION_LOCK_HELD();
  Shutdown.running = true;
  Shutdown.due = Clock::now() + std::chrono::seconds(seconds);
  Shutdown.nextStep = 0;
  while (Shutdown.nextStep < std::size(kCountdownSteps) &&
         kCountdownSteps[Shutdown.nextStep] >= seconds) {
    ++Shutdown.nextStep;
  }
  if (seconds > 0) TellEveryone("The server is going down in " + TimeLeftText(seconds) + ".");
}

bool CancelShutdown() {
  ASSERT_CONNECTION_LOCK_HELD();
  const bool was = Shutdown.running;
  Shutdown.running = false;
  return was;
}

std::string TimeLeftText(int seconds) {
  if (seconds >= 60 && seconds % 60 == 0) {
    const int minutes = seconds / 60;
    return std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
  }
  return std::to_string(seconds) + (seconds == 1 ? " second" : " seconds");
}

Clock::time_point ServerStartTime() { return StartTime; }

std::chrono::nanoseconds LastTickDuration() {
  return std::chrono::nanoseconds(LastTickNanoseconds.load(std::memory_order_relaxed));
}

int StartServer(const ServerOptions& options) {
  Options = options;
  SetAddressLimits(options.limits);
  // A peer that went away must never end the server, nor a closed log.
  ::signal(SIGPIPE, SIG_IGN);
  const sigset_t shutdown = ShutdownSignals();
  ::pthread_sigmask(SIG_BLOCK, &shutdown, nullptr);  // before any thread exists
  // Every connection is a descriptor: allow as many as the system lets this process have.
  rlimit files{};
  if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  Log("Starting server...\n");
  Socket listening = net::kNoSocket;
  int error = 0;
  int step = 0;
  if (!OpenListener(options.port, listening, error, step)) {
    static const char* const kSteps[] = {"Error creating server socket: ", "Error binding server socket: ",
                                         "Error setting async mode: ", "Error listening: "};
    return Fail(kSteps[step], error);
  }
  Log("Listening on port " + std::to_string(options.port) + ".\n");
  RunServerLoop(listening);
}

}  // namespace server
