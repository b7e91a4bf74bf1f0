// The telnet port's codec: MUD clients (Mudlet, TinTin++, plain telnet) play through
// it as one more connection of the game. Lines come from the telnet reader, game text
// goes out through the telnet writer, status crawlers get MSSP, and what the client
// says of itself (its name, a wish for screen-reader mode) is reported.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "net/frame.h"
#include "connection/codec.h"
#include "telnet/client_query.h"
#include "telnet/gmcp.h"
#include "telnet/telnet_reader.h"

namespace telnet {

struct TelnetOptions {
  std::uint16_t port = 0;     // 0: no telnet port
  std::uint16_t tlsPort = 0;  // telnet over TLS, for status crawlers and Mudlet; 0: none
  std::uint16_t webPort = 0;  // the web client's port for status crawlers; 0: none
  bool webTls = false;        // the web client's port is its HTTPS twin
  // Characters in play now, for status crawlers; called with ConnectionLock held.
  std::function<std::size_t()> playersInPlay;
  std::int64_t startTime = 0;  // when the server started, Unix seconds
};

// The shortest time between two MSSP status blocks to one connection: a client that
// turns MSSP off and on again cannot draw the status faster than this.
inline constexpr auto kMsspInterval = std::chrono::seconds(1);

class TelnetCodec final : public connection::Codec {
 public:
  // `options` must outlive the codec; `endpoints` say where the client reached us, the
  // address that names the web client to status crawlers and Mudlet.
  TelnetCodec(const TelnetOptions& options, const connection::Endpoints& endpoints)
      : options_(options), local_(endpoints.local) {}

  const char* DoorName() const override { return "telnet"; }
  void Start(std::string& toPeer) override;
  void Read(std::string_view bytes, connection::CodecEvents& events, std::string& toPeer) override;
  void Write(std::string_view text, std::string& out) override;
  void Refuse(std::string_view text, std::string& out) override;
  bool CarriesData() const override { return true; }
  bool WantsData(std::string_view message) const override;
  void WriteData(std::string_view message, std::string& out) override;
  std::string_view ClientName() const override { return query_.Name(); }
  // The reader's place in the stream and the options agreed, the GMCP packages asked
  // for, what the client said of itself, and when the last status went out.
  void SaveState(base::FieldWriter& out) const override;
  bool RestoreState(base::FieldReader& in) override;

 private:
  void AppendStatus(std::string& toPeer, std::chrono::steady_clock::time_point now);
  void TakeGmcp(std::string_view message, std::string& toPeer);
  void TakeOption(const OptionNews& news, connection::CodecEvents& events, std::string& toPeer);
  std::string WebAddress() const;  // "http://<address we were reached on>:<web port>"

  const TelnetOptions& options_;
  base::Address local_;
  TelnetReader reader_{net::kMaxLineBytes};
  GmcpClient gmcp_;
  ClientQuery query_;
  std::chrono::steady_clock::time_point lastStatus_{};  // of the last MSSP status; {}: none yet
};

}  // namespace telnet
