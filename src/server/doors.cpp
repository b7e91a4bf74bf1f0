#include "server/doors.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <memory>
#include <thread>

#include "codecs/console_codec.h"
#include "codecs/frame_codec.h"
#include "connection/tls_transport.h"
#include "core/log.h"
#include "net/socket.h"
#include "server/metrics.h"
#include "telnet/telnet_codec.h"
#include "web/metrics_codec.h"
#include "web/web_codec.h"
#include "world/character.h"

namespace server {

namespace {

constexpr auto kAcceptErrorPause = std::chrono::milliseconds(100);
// Connections taken from one listener before the others get their turn.
constexpr int kAcceptsPerTurn = 64;

// A door of the game: its admitted connections are players, welcomed and logged.
connection::Door GameDoor(std::string name, connection::CodecMaker makeCodec, Game& game) {
  connection::Door door;
  door.name = std::move(name);
  door.makeCodec = std::move(makeCodec);
  door.handler = &game;
  door.welcome = kWelcome;
  door.login = true;
  return door;
}

// The same door over TLS, with the context `certificates` give at each connection.
connection::Door OverTls(connection::Door door, const Certificates& certificates, bool web) {
  door.name += "-tls";
  door.makeTransport = [&certificates, web] {
    return connection::MakeTlsTransport(web ? certificates.Web() : certificates.Plain());
  };
  return door;
}

connection::CodecMaker FrameCodecMaker() {
  return [](const connection::Endpoints&) { return std::make_unique<codecs::FrameCodec>(); };
}

// Opens one door's listener; `opened` is logged once it listens, `bindFailed` names a
// failure with its errno.
// A listener an upgrade carried for the door `name`, taken out of `carried`; core::kNoSocket
// when there is none.
core::Socket TakeCarried(CarriedListeners& carried, std::string_view name) {
  const auto it = carried.find(name);
  if (it == carried.end()) return core::kNoSocket;
  const core::Socket socket = it->second;
  carried.erase(it);
  return socket;
}

base::Status OpenDoor(connection::ConnectionLayer& layer, connection::Door door, const base::Address* address,
                      std::uint16_t port, const std::string& opened, const char* bindFailed,
                      std::string acceptName, std::vector<Listener>& listeners, CarriedListeners& carried) {
  core::Socket socket = TakeCarried(carried, door.name);
  if (socket == core::kNoSocket) {
    const base::Status status = net::ListenTcp(address, port, socket);
    if (!status.ok()) return status.WithWhat(bindFailed);
  }
  core::Log(opened + "\n");
  std::string name = door.name;
  listeners.push_back({socket, layer.AddDoor(std::move(door)), std::move(name), std::move(acceptName), true});
  return {};
}

}  // namespace

Listener GameListener(connection::ConnectionLayer& layer, Game& game, core::Socket listening) {
  connection::Door door = GameDoor("game", FrameCodecMaker(), game);
  door.proxied = true;
  return {listening, layer.AddDoor(std::move(door)), "game", "", true};
}

base::Status OpenDoors(const ServerSettings& settings, connection::ConnectionLayer& layer, Game& game,
                       const Certificates& certificates, std::vector<Listener>& listeners,
                       CarriedListeners& carried) {
  web::WebCodecOptions webOptions;
  webOptions.origins = settings.webOrigins;
  webOptions.proxies = settings.limits.proxies;
  // Beside an HTTPS twin the plain door only sends its visitors there; the twin tells
  // them to keep to it.
  web::WebCodecOptions plainWeb = webOptions;
  plainWeb.redirectToPort = settings.webTlsPort;
  web::WebCodecOptions tlsWeb = webOptions;
  tlsWeb.hsts = true;
  if (settings.webPort != 0) {
    const std::string port = std::to_string(settings.webPort);
    base::Status opened = OpenDoor(layer, GameDoor("web", web::WebCodecMaker(plainWeb), game), nullptr,
                                   settings.webPort, "Web client on port " + port + ".",
                                   "Error binding web client port: ", "web client", listeners, carried);
    if (!opened.ok()) return opened;
  }
  // Read by every telnet connection's codec for as long as the process runs.
  auto* telnet = new telnet::TelnetOptions();
  telnet->port = settings.telnetPort;
  telnet->tlsPort = settings.telnetTlsPort;
  telnet->webPort = settings.webTlsPort != 0 ? settings.webTlsPort : settings.webPort;
  telnet->webTls = settings.webTlsPort != 0;
  // Since the process began, across upgrades.
  telnet->startTime = static_cast<std::int64_t>(std::time(nullptr)) -
                      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                       game.Measured().StartTime())
                          .count();
  telnet->playersInPlay = [&game] { return game.World().characters.InPlay().size(); };
  auto telnetMaker = [telnet](const connection::Endpoints& endpoints) {
    return std::make_unique<telnet::TelnetCodec>(*telnet, endpoints);
  };
  connection::Door telnetDoor = GameDoor("telnet", telnetMaker, game);
  telnetDoor.proxied = true;
  if (settings.telnetPort != 0) {
    base::Status opened = OpenDoor(layer, telnetDoor, nullptr, settings.telnetPort,
                                   "Telnet port " + std::to_string(settings.telnetPort) + ".",
                                   "Error binding telnet port: ", "telnet", listeners, carried);
    if (!opened.ok()) return opened;
  }
  if (settings.metricsPort != 0) {
    connection::Door door;
    door.name = "metrics";
    // `listeners` is the server's own, complete before the first scrape: every door
    // is open before the input thread starts, and none opens afterwards.
    door.makeCodec = web::MetricsCodecMaker([&game, &listeners](web::MetricsFormat format) {
      std::vector<std::string> doors;
      for (const Listener& listener : listeners) doors.push_back(listener.doorName);
      return game.RenderMetrics(doors, format);
    });
    door.logged = false;
    door.players = false;
    base::Status opened =
        OpenDoor(layer, std::move(door), &settings.metricsAddress, settings.metricsPort,
                 "Metrics on " + base::AddressText(settings.metricsAddress) + " port " +
                     std::to_string(settings.metricsPort) + ".",
                 "Error binding metrics port: ", "metrics", listeners, carried);
    if (!opened.ok()) return opened;
  }
  if (settings.tlsPort != 0) {
    connection::Door door = GameDoor("game", FrameCodecMaker(), game);
    door.proxied = true;
    base::Status opened = OpenDoor(layer, OverTls(std::move(door), certificates, false), nullptr,
                                   settings.tlsPort, "Game port over TLS on port " + std::to_string(settings.tlsPort) + ".",
                                   "Error binding TLS port: ", "TLS", listeners, carried);
    if (!opened.ok()) return opened;
  }
  if (settings.telnetTlsPort != 0) {
    base::Status opened = OpenDoor(layer, OverTls(telnetDoor, certificates, false), nullptr, settings.telnetTlsPort,
                                   "Telnet over TLS on port " + std::to_string(settings.telnetTlsPort) + ".",
                                   "Error binding telnet TLS port: ", "telnet TLS", listeners, carried);
    if (!opened.ok()) return opened;
  }
  if (settings.webTlsPort != 0) {
    base::Status opened =
        OpenDoor(layer, OverTls(GameDoor("web", web::WebCodecMaker(tlsWeb), game), certificates, true),
                 nullptr, settings.webTlsPort, "Web client over HTTPS on port " + std::to_string(settings.webTlsPort) + ".",
                 "Error binding web TLS port: ", "web TLS", listeners, carried);
    if (!opened.ok()) return opened;
  }
  return {};
}

void OpenConsole(const ServerSettings& settings, connection::ConnectionLayer& layer, Console& console,
                 std::vector<Listener>& listeners, CarriedListeners& carried) {
  if (settings.consolePath.empty()) return;
  core::Socket socket = TakeCarried(carried, "console");
  const base::Status status =
      socket != core::kNoSocket ? base::Status() : net::ListenUnix(settings.consolePath, socket);
  if (!status.ok()) {
    core::Log("Error opening console socket " + settings.consolePath + ": " + std::to_string(status.error()) +
              "; the server runs without a console.\n");
    return;
  }
  connection::Door door;
  door.name = "console";
  door.makeCodec = [](const connection::Endpoints&) { return std::make_unique<codecs::ConsoleCodec>(); };
  door.handler = &console;
  door.logged = false;
  door.counted = false;
  door.players = false;
  door.ownCap = connection::kConsoleConnections;  // the operator is let in whoever else is
  listeners.push_back({socket, layer.AddDoor(std::move(door)), "console", "console", false});
  core::Log("Console at " + settings.consolePath + ".\n");
}

int OpenSpare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

void AcceptLoop(connection::ConnectionLayer& layer, const std::vector<Listener>& listeners, int spare,
                Standstill& standstill, Metrics& metrics) {
  std::vector<pollfd> waits;
  for (const Listener& listener : listeners) waits.push_back({listener.socket, POLLIN, 0});
  waits.push_back({standstill.Descriptor(), POLLIN, 0});
  for (;;) {
    const int ready = ::poll(waits.data(), waits.size(), -1);
    if (ready > 0 && (waits.back().revents & POLLIN) != 0) {
      standstill.Keep();
      continue;
    }
    if (ready < 0) {
      if (errno == EINTR) continue;
      core::Log("Error accepting connection: " + std::to_string(errno) + "\n");
      metrics.NoteAcceptError();
      std::this_thread::sleep_for(kAcceptErrorPause);
      continue;
    }
    bool failed = false;
    for (std::size_t i = 0; i < listeners.size(); ++i) {
      if ((waits[i].revents & POLLIN) == 0) continue;
      const Listener& listener = listeners[i];
      for (int n = 0; n < kAcceptsPerTurn; ++n) {
        net::Accepted accepted;
        const base::Status status = net::AcceptOne(listener.socket, accepted);
        if (!status.ok()) {
          const std::string what = listener.acceptName.empty() ? "" : listener.acceptName + " ";
          core::Log("Error accepting " + what + "connection: " + std::to_string(status.error()) + "\n",
                    core::LogPriority::Error);
          metrics.NoteAcceptError();
          if ((status.error() == EMFILE || status.error() == ENFILE) && spare >= 0) {
            ::close(spare);
            if (net::AcceptOne(listener.socket, accepted).ok() && accepted.socket >= 0) ::close(accepted.socket);
            spare = OpenSpare();
          }
          failed = true;
          break;
        }
        if (accepted.socket == core::kNoSocket) break;
        // What the kernel holds unsent is kept small, so a client that stops reading
        // shows in the layer's own count of its output and meets its limits.
        if (listener.tcp) net::TuneAccepted(accepted.socket, connection::kSocketSendBufferBytes);
        connection::Endpoints local;
        local.local = accepted.local;
        local.localPort = accepted.localPort;
        layer.Accepted(accepted.socket, listener.door, accepted.peer, local, accepted.uid);
      }
    }
    if (failed) std::this_thread::sleep_for(kAcceptErrorPause);
  }
}

}  // namespace server
