#include "server/server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "server/address_limits.h"
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

// Set before the threads start.
ServerOptions Options;
std::vector<Listener> Listeners;
ConnectionLayer* Layer = nullptr;

// Reports a failed start-up step: the message and the errno value, as platform errors
// are printed; the exit code is 1.
int Fail(const std::string& message, int error, const char* end = "") {
  Log(message + std::to_string(error) + end);
  return 1;
}

// Opens a listening socket on every IPv4 address; false with `error` set and
// `step` naming what failed.
bool OpenListener(std::uint16_t port, Socket& listening, int& error, int& step) {
  step = 0;
  if (!net::CreateTcpSocket(listening, error)) return false;
  step = 1;
  if (!net::SetReuseAddress(listening, error) || !net::BindAnyAddress(listening, port, error))
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
  for (;;) {
    if (::poll(waits.data(), waits.size(), -1) < 0) {
      if (errno == EINTR) continue;
      Log("Error accepting connection: " + std::to_string(errno) + "\n");
      std::this_thread::sleep_for(kAcceptErrorPause);
      continue;
    }
    bool failed = false;
    for (std::size_t i = 0; i < waits.size(); ++i) {
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
  ConnectionLock.lock();
  const bool saved = !Options.save || Options.save();
  FlushLogBeforeExit();
  std::_Exit(saved ? 0 : 1);
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
    if (!OpenListener(door.port, socket, error, step)) {
      Fail(door.bindFailed, error, "\n");
      Exit(1);
    }
    Log(door.opened + "\n");
    Listeners.push_back({socket, door.name, door.makeCodec});
  }
  std::thread(SaveLoop).detach();
  std::thread(AcceptLoop).detach();
  std::thread(InputLoop).detach();
  for (;;) {
    {
      std::lock_guard<FairLock> guard(ConnectionLock);
      if (Options.tick) Options.tick();
      Addresses().Prune(LimitClock::now());
    }
    std::this_thread::sleep_for(kTickPeriod);  // measured from the end of the tick
  }
}

}  // namespace

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
