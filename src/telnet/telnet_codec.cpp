#include "telnet/telnet_codec.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <nlohmann/json.hpp>

#include <string>

#include "net/frame.h"
#include "server/address_limits.h"
#include "telnet/telnet_writer.h"

namespace telnet {

void TelnetCodec::Start(std::string& toPeer) { reader_.Start(toPeer); }

void TelnetCodec::Read(std::string_view bytes, server::CodecEvents& events, std::string& toPeer) {
  reader_.Feed(
      bytes, toPeer,
      [&](std::string_view line) {
        // The reader cuts a long line one byte past the limit, so it shows as too long.
        if (line.size() > net::kMaxLineBytes) {
          events.TooLong();
        } else {
          events.Line(line);
        }
      },
      [&] { AppendStatus(toPeer); }, [&](std::string_view message) { TakeGmcp(message, toPeer); });
}

void TelnetCodec::TakeGmcp(std::string_view message, std::string& toPeer) {
  if (!gmcp_.Take(message) || gmcp_.ClientName() != "Mudlet" || options_.webPort == 0) return;
  // Mudlet installs the map script from the web port when told where it is.
  const std::string url = WebAddress();
  if (url.empty()) return;
  nlohmann::json gui = {{"version", "1"}, {"url", url + "/mudlet/pelthollow.mpackage"}};
  AppendGmcp(toPeer, "Client.GUI " + gui.dump());
}

bool TelnetCodec::WantsData(std::string_view message) const {
  return reader_.GmcpOn() && gmcp_.Wants(message.substr(0, message.find(' ')));
}

void TelnetCodec::WriteData(std::string_view message, std::string& out) { AppendGmcp(out, message); }

std::string TelnetCodec::WebAddress() const {
  // The address this client reached us on is one the web client answers on too.
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.sin_family != AF_INET)
    return {};
  return "http://" + server::AddressText(ntohl(local.sin_addr.s_addr)) + ":" +
         std::to_string(options_.webPort);
}

void TelnetCodec::AppendStatus(std::string& toPeer) {
  const auto now = std::chrono::steady_clock::now();
  if (lastStatus_ != std::chrono::steady_clock::time_point{} && now - lastStatus_ < kMsspInterval)
    return;
  lastStatus_ = now;
  MsspStatus status;
  status.players = options_.playersInPlay ? options_.playersInPlay() : 0;
  status.startTime = options_.startTime;
  status.port = options_.port;
  if (options_.webPort != 0) {
    const std::string web = WebAddress();
    if (!web.empty()) status.website = web + "/";
  }
  AppendMsspStatus(toPeer, status);
}

void TelnetCodec::Write(std::string_view text, std::string& out) { AppendGameText(out, text); }

void TelnetCodec::Refuse(std::string_view text, std::string& out) { AppendGameText(out, text); }

}  // namespace telnet
