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
#include <mutex>
#include <string>
#include <thread>

#include "persist/save.h"
#include "server/connection_lock.h"
#include "server/connections.h"
#include "server/log.h"
#include "server/outbox.h"
#include "world/character.h"
#include "world/territory.h"
#include "world/tick.h"

namespace server {

namespace {

constexpr auto kTickPeriod = std::chrono::seconds(5);
constexpr int kTicksPerAutosave = 60;  // about 5 minutes
constexpr auto kAcceptErrorPause = std::chrono::milliseconds(100);
constexpr const char* kWelcome = "Welcome to Pelthollow! Type \"help\" for a list of commands.";

Socket ListeningSocket = net::kNoSocket;  // set before the threads start

std::string PeerAddress(const sockaddr_in& peer) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(&peer.sin_addr.s_addr);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." +
         std::to_string(bytes[2]) + "." + std::to_string(bytes[3]);
}

}  // namespace

void AdmitConnection(Socket socket, const sockaddr_in& peer) {
  int ignored = 0;
  net::SetNoDelay(socket, ignored);  // answers leave at once, not after the peer's ack
  std::lock_guard<FairLock> guard(ConnectionLock);
  Log("New connection from " + PeerAddress(peer) + " (" +
      std::to_string(static_cast<unsigned>(socket)) + ")\n");
  RegisterConnection(socket);
  BeginAnswering(socket);  // the welcome is its first frame, sent now
  QueueMessage(socket, kWelcome);
  FlushOutbox();
  EndAnswering();
}

std::size_t CharactersInPlay() {
  std::lock_guard<FairLock> guard(ConnectionLock);
  return world::OnlineCharacters.size();
}

namespace {

// Accepts connections for as long as the server runs; errors pause it, never end it.
void AcceptLoop() {
  for (;;) {
    pollfd wait{ListeningSocket, POLLIN, 0};
    if (::poll(&wait, 1, -1) < 0 && errno != EINTR) {
      Log("Error accepting connection: " + std::to_string(errno) + "\n");
      std::this_thread::sleep_for(kAcceptErrorPause);
      continue;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const Socket socket = ::accept4(ListeningSocket, reinterpret_cast<sockaddr*>(&peer), &length,
                                    SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (socket < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) continue;  // taken by nobody else; just early
      Log("Error accepting connection: " + std::to_string(errno) + "\n");
      std::this_thread::sleep_for(kAcceptErrorPause);
      continue;
    }
    AdmitConnection(socket, peer);
  }
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
  persist::SaveWorld();
  std::_Exit(0);
}

[[noreturn]] void RunServerLoop(Socket listening, const ServerOptions& options) {
  ListeningSocket = listening;
  world::InitTerritoryMap();
  {
    std::lock_guard<FairLock> guard(ConnectionLock);
    persist::LoadWorld();
  }
  SetFrameSink(&SendFrame);
  int error = 0;
  if (!InitConnections(error)) {
    Log("Error listening: " + std::to_string(error) + "\n");
    std::_Exit(1);
  }
  if (options.startDoors && !options.startDoors()) std::_Exit(1);
  std::thread(SaveLoop).detach();
  std::thread(AcceptLoop).detach();
  std::thread(InputLoop).detach();
  for (int tick = 1;; ++tick) {
    {
      std::lock_guard<FairLock> guard(ConnectionLock);
      world::WorldTick();
      if (tick % kTicksPerAutosave == 0) persist::SaveWorld();  // a failure is reported; play goes on
    }
    std::this_thread::sleep_for(kTickPeriod);  // measured from the end of the tick
  }
}

int Fail(const char* message, int error) {
  Log(message + std::to_string(error));
  return 0;
}

}  // namespace

int StartServer(const ServerOptions& options) {
  const std::uint16_t port = options.port;
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
  if (!net::CreateTcpSocket(listening, error)) return Fail("Error creating server socket: ", error);
  if (!net::SetReuseAddress(listening, error) || !net::BindAnyAddress(listening, port, error))
    return Fail("Error binding server socket: ", error);
  if (!net::SetNonBlocking(listening, error)) return Fail("Error setting async mode: ", error);
  if (!net::Listen(listening, error)) return Fail("Error listening: ", error);
  Log("Listening on port " + std::to_string(port) + ".\n");
  RunServerLoop(listening, options);
}

}  // namespace server
