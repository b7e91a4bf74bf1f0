#include "telnet/telnet_codec.h"

#include <nlohmann/json.hpp>

#include <string>

#include "net/frame.h"
#include "telnet/telnet_writer.h"

namespace telnet {

namespace {

enum Tag : std::uint32_t {
  kReader = 1,
  kGmcpClient = 2,
  kLastStatus = 3,  // nanoseconds on the monotonic clock, the same in the next process
  kClientQuery = 4,
};

}  // namespace

void TelnetCodec::Start(std::string& toPeer) { reader_.Start(toPeer); }

void TelnetCodec::Read(std::string_view bytes, connection::CodecEvents& events, std::string& toPeer) {
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
      [&] { AppendStatus(toPeer, events.Now().monotonic); }, [&](std::string_view message) { TakeGmcp(message, toPeer); },
      [&](const OptionNews& news) { TakeOption(news, events, toPeer); });
  events.Unit(reader_.TakeCommands());
}

void TelnetCodec::TakeOption(const OptionNews& news, connection::CodecEvents& events, std::string& toPeer) {
  const bool named = !query_.Name().empty();
  const bool screenReader = query_.WantsScreenReader();
  query_.Take(news, toPeer);
  if (!named && !query_.Name().empty()) events.ClientNamed(query_.Name());
  if (!screenReader && query_.WantsScreenReader()) events.ScreenReaderAsked();
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
  if (local_ == base::Address{}) return {};  // not known
  const std::string host = base::AddressText(local_);
  const bool v6 = !local_.IsV4();
  return (options_.webTls ? "https://" : "http://") + (v6 ? "[" + host + "]" : host) + ":" +
         std::to_string(options_.webPort);
}

void TelnetCodec::AppendStatus(std::string& toPeer, std::chrono::steady_clock::time_point now) {
  if (lastStatus_ != std::chrono::steady_clock::time_point{} && now - lastStatus_ < kMsspInterval)
    return;
  lastStatus_ = now;
  MsspStatus status;
  status.players = options_.playersInPlay ? options_.playersInPlay() : 0;
  status.startTime = options_.startTime;
  status.port = options_.port;
  status.tlsPort = options_.tlsPort;
  if (options_.webPort != 0) {
    const std::string web = WebAddress();
    if (!web.empty()) status.website = web + "/";
  }
  AppendMsspStatus(toPeer, status);
}

void TelnetCodec::Write(std::string_view text, std::string& out) { AppendGameText(out, text); }

void TelnetCodec::Refuse(std::string_view text, std::string& out) { AppendGameText(out, text); }

void TelnetCodec::SaveState(base::FieldWriter& out) const {
  base::FieldWriter reader;
  reader_.SaveState(reader);
  out.Record(kReader, reader);
  base::FieldWriter gmcp;
  gmcp_.SaveState(gmcp);
  out.Record(kGmcpClient, gmcp);
  base::FieldWriter query;
  query_.SaveState(query);
  out.Record(kClientQuery, query);
  out.Signed(
      kLastStatus,
      std::chrono::duration_cast<std::chrono::nanoseconds>(lastStatus_.time_since_epoch()).count());
}

bool TelnetCodec::RestoreState(base::FieldReader& in) {
  base::FieldReader reader = in.Record(kReader);
  base::FieldReader gmcp = in.Record(kGmcpClient);
  base::FieldReader query = in.Record(kClientQuery);
  const std::int64_t lastStatus = in.Signed(kLastStatus);
  // Before the clock's epoch is no time this boot has seen, and would overflow the
  // interval's check.
  if (!in.Good() || lastStatus < 0 || !reader_.RestoreState(reader) || !gmcp_.RestoreState(gmcp) ||
      !query_.RestoreState(query))
    return false;
  lastStatus_ = std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(
          std::chrono::nanoseconds(lastStatus)));
  return true;
}

}  // namespace telnet
