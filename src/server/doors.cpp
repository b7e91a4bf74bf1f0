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

// What a door's connections speak.
enum class Speaks { Frames, Web, WebOverHttps, Telnet, Metrics, Console };

// Whose a door's connections are.
enum class Whose {
  Players,    // the game's: logged, held to the limits, welcomed, and to log in in time
  Scrapers,   // the metrics': not logged, not players
  Operators,  // the console's: not logged, not counted, within a cap of their own
};

// What the server does when a door cannot open.
enum class IfShut {
  Fail,              // it does not start: the door's words and the errno
  FailAsTheSocket,   // likewise, in the socket's own words (the game port's, without a line end)
  GoOnWithout,       // it goes on without the door
};

struct DoorRow {
  const char* name;  // the layer's name of the door, and an upgrade's of its listener
  // Its TCP port, on every address or on one; no port: the console's Unix socket.
  std::uint16_t ServerSettings::*port;
  const base::Address ServerSettings::*address;
  Speaks speaks;
  bool tls;      // over TLS, with the certificates' pair
  Whose whose;
  bool proxied;  // a trusted proxy's connections begin with a PROXY header
  const char* opened;  // logged once it listens, before its place: "Telnet port 4000."
  const char* failed;  // what could not be done, before the errno
  IfShut ifShut;
  const char* acceptName;  // in "Error accepting <name> connection: "; empty for the game port
};

// Every door, in the order they open and are logged in; a door whose port (or path) is
// not set stays shut.
using S = ServerSettings;
constexpr DoorRow kDoors[] = {
    {"game", &S::port, nullptr, Speaks::Frames, false, Whose::Players, true,  //
     "Listening on port ", "", IfShut::FailAsTheSocket, ""},
    {"web", &S::webPort, nullptr, Speaks::Web, false, Whose::Players, false,  //
     "Web client on port ", "Error binding web client port: ", IfShut::Fail, "web client"},
    {"telnet", &S::telnetPort, nullptr, Speaks::Telnet, false, Whose::Players, true,  //
     "Telnet port ", "Error binding telnet port: ", IfShut::Fail, "telnet"},
    {"metrics", &S::metricsPort, &S::metricsAddress, Speaks::Metrics, false, Whose::Scrapers, false,  //
     "Metrics on ", "Error binding metrics port: ", IfShut::Fail, "metrics"},
    {"game-tls", &S::tlsPort, nullptr, Speaks::Frames, true, Whose::Players, true,  //
     "Game port over TLS on port ", "Error binding TLS port: ", IfShut::Fail, "TLS"},
    {"telnet-tls", &S::telnetTlsPort, nullptr, Speaks::Telnet, true, Whose::Players, true,  //
     "Telnet over TLS on port ", "Error binding telnet TLS port: ", IfShut::Fail, "telnet TLS"},
    {"web-tls", &S::webTlsPort, nullptr, Speaks::WebOverHttps, true, Whose::Players, false,  //
     "Web client over HTTPS on port ", "Error binding web TLS port: ", IfShut::Fail, "web TLS"},
    {"console", nullptr, nullptr, Speaks::Console, false, Whose::Operators, false,  //
     "Console at ", "Error opening console socket ", IfShut::GoOnWithout, "console"},
};

// What the doors' codecs are made with, made once for all of them.
class Codecs {
 public:
  Codecs(const ServerSettings& settings, Game& game, const std::vector<Listener>& listeners)
      : settings_(settings), game_(game), listeners_(listeners) {
    web_.origins = settings.webOrigins;
    web_.proxies = settings.limits.proxies;
  }

  connection::CodecMaker For(Speaks speaks) {
    switch (speaks) {
      case Speaks::Frames:
        return [](const connection::Endpoints&) { return std::make_unique<codecs::FrameCodec>(); };
      case Speaks::Web: {
        // Beside an HTTPS twin the plain door only sends its visitors there.
        web::WebCodecOptions plain = web_;
        plain.redirectToPort = settings_.webTlsPort;
        return web::WebCodecMaker(plain);
      }
      case Speaks::WebOverHttps: {
        web::WebCodecOptions secure = web_;
        secure.hsts = true;  // the twin tells its visitors to keep to it
        return web::WebCodecMaker(secure);
      }
      case Speaks::Telnet:
        return [telnet = Telnet()](const connection::Endpoints& endpoints) {
          return std::make_unique<telnet::TelnetCodec>(*telnet, endpoints);
        };
      case Speaks::Metrics:
        // The listeners are the server's own, complete before the first scrape: every
        // door is open before the input thread starts, and none opens afterwards.
        return web::MetricsCodecMaker([&game = game_, &listeners = listeners_](web::MetricsFormat format) {
          std::vector<std::string> doors;
          for (const Listener& listener : listeners) doors.push_back(listener.doorName);
          return game.RenderMetrics(doors, format);
        });
      case Speaks::Console:
        return [](const connection::Endpoints&) { return std::make_unique<codecs::ConsoleCodec>(); };
    }
    return {};
  }

 private:
  // Read by every telnet connection's codec for as long as the process runs.
  const telnet::TelnetOptions* Telnet() {
    if (telnet_ != nullptr) return telnet_;
    auto* telnet = new telnet::TelnetOptions();
    telnet->port = settings_.telnetPort;
    telnet->tlsPort = settings_.telnetTlsPort;
    telnet->webPort = settings_.webTlsPort != 0 ? settings_.webTlsPort : settings_.webPort;
    telnet->webTls = settings_.webTlsPort != 0;
    // Since the process began, across upgrades.
    telnet->startTime = static_cast<std::int64_t>(std::time(nullptr)) -
                        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() -
                                                                         game_.Measured().StartTime())
                            .count();
    telnet->playersInPlay = [&game = game_] { return game.World().characters.InPlay().size(); };
    return telnet_ = telnet;
  }

  const ServerSettings& settings_;
  Game& game_;
  const std::vector<Listener>& listeners_;
  web::WebCodecOptions web_;
  const telnet::TelnetOptions* telnet_ = nullptr;
};

// The layer's door for `row`.
connection::Door MakeDoor(const DoorRow& row, Codecs& codecs, const Certificates& certificates, Game& game,
                          Console& console) {
  connection::Door door;
  door.name = row.name;
  door.makeCodec = codecs.For(row.speaks);
  if (row.tls) {
    const bool web = row.speaks == Speaks::WebOverHttps;
    door.makeTransport = [&certificates, web] {
      return connection::MakeTlsTransport(web ? certificates.Web() : certificates.Plain());
    };
  }
  door.proxied = row.proxied;
  switch (row.whose) {
    case Whose::Players:
      door.handler = &game;
      door.welcome = kWelcome;
      door.login = true;
      break;
    case Whose::Scrapers:
      door.logged = false;
      door.players = false;
      break;
    case Whose::Operators:
      door.handler = &console;
      door.logged = false;
      door.counted = false;
      door.players = false;
      door.ownCap = connection::kConsoleConnections;  // the operator is let in whoever else is
      break;
  }
  return door;
}

// A listener an upgrade carried for the door `name`, taken out of `carried`; kNoSocket
// when there is none.
core::Socket TakeCarried(CarriedListeners& carried, std::string_view name) {
  const auto it = carried.find(name);
  if (it == carried.end()) return core::kNoSocket;
  const core::Socket socket = it->second;
  carried.erase(it);
  return socket;
}

}  // namespace

bool OpenDoors(const ServerSettings& settings, connection::ConnectionLayer& layer, Game& game, Console& console,
               const Certificates& certificates, std::vector<Listener>& listeners, CarriedListeners& carried) {
  Codecs codecs(settings, game, listeners);
  for (const DoorRow& row : kDoors) {
    const bool tcp = row.port != nullptr;
    if (tcp ? settings.*row.port == 0 : settings.consolePath.empty()) continue;
    std::string where = settings.consolePath;
    if (tcp) {
      where = std::to_string(settings.*row.port);
      if (row.address != nullptr) where = base::AddressText(settings.*row.address) + " port " + where;
    }
    core::Socket socket = TakeCarried(carried, row.name);
    base::Status status;
    if (socket == core::kNoSocket) {
      status = tcp ? net::ListenTcp(row.address != nullptr ? &(settings.*row.address) : nullptr, settings.*row.port,
                                    socket)
                   : net::ListenUnix(settings.consolePath, socket);
    }
    if (!status.ok()) {
      switch (row.ifShut) {
        case IfShut::FailAsTheSocket:
          core::Log(status.Text());
          return false;
        case IfShut::Fail:
          core::Log(status.WithWhat(row.failed).Text() + "\n");
          return false;
        case IfShut::GoOnWithout:
          core::Log(row.failed + where + ": " + std::to_string(status.error()) + "; the server runs without a " +
                    row.name + ".\n");
          continue;
      }
    }
    const std::size_t door = layer.AddDoor(MakeDoor(row, codecs, certificates, game, console));
    listeners.push_back({socket, door, row.name, row.acceptName, tcp});
    core::Log(row.opened + where + ".\n");
  }
  return true;
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
