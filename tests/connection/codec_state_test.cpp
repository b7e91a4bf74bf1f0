// Every codec carries its state across an upgrade: a stream read in one go, and the
// same stream read up to any byte, handed to a new codec through its record and read
// on from there, come out the same.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client_frames.h"
#include "codec_events.h"
#include "codecs/console_codec.h"
#include "codecs/frame_codec.h"
#include "net/frame.h"
#include "telnet/telnet_codec.h"
#include "telnet/telnet_protocol.h"
#include "web/metrics_codec.h"
#include "web/web_codec.h"
#include "web/websocket_frames.h"

namespace {

using namespace std::string_literals;

struct Recorder final : TestCodecEvents {
  void Line(std::string_view text) override { log.append("line ").append(text).append("\n"); }
  void TooLong() override { log += "too long\n"; }
  void Admitted() override { log += "admitted\n"; }
  void Done() override { log += "finished\n"; }
  void ClientNamed(std::string_view name) override { log.append("client ").append(name).append("\n"); }
  void ScreenReaderAsked() override { log += "screen reader\n"; }
  std::string log;
};

// What a codec made of a stream: its events, the work it counted, and the bytes it owed
// the peer, then a frame of the game, the data it wants and its close written after.
struct Outcome {
  std::string log;
  std::string toPeer;
  std::size_t units = 0;
  bool operator==(const Outcome&) const = default;
};

struct Case {
  const char* name;
  connection::CodecMaker make;
  std::string stream;
};

const connection::Endpoints kEndpoints{base::Address::V4(0x7F000001), 4000, {}, false};

// As the layer does: a codec that holds input is read again with nothing new.
void Drain(connection::Codec& codec, Recorder& events, std::string& toPeer) {
  while (codec.Pending()) codec.Read({}, events, toPeer);
}

// Reads `stream` up to `cut` and, when `carry`, hands the codec's state to a new one
// before the rest, as an upgrade does between the reads. Held input is worked through
// only after the hand-over, so a record made while requests wait is read too.
Outcome ReadThrough(const Case& c, std::size_t cut, bool carry) {
  std::unique_ptr<connection::Codec> codec = c.make(kEndpoints);
  Recorder events;
  Outcome out;
  codec->Start(out.toPeer);
  codec->Read(std::string_view(c.stream).substr(0, cut), events, out.toPeer);
  if (carry) {
    base::FieldWriter record;
    codec->SaveState(record);
    codec = c.make(kEndpoints);
    base::FieldReader in(record.Data());
    EXPECT_TRUE(codec->RestoreState(in)) << c.name << ", cut at " << cut;
  }
  Drain(*codec, events, out.toPeer);
  codec->Read(std::string_view(c.stream).substr(cut), events, out.toPeer);
  Drain(*codec, events, out.toPeer);
  codec->Write("the game says", out.toPeer);
  for (const char* message : {"Room.Info {}", "Char.Vitals {}"}) {
    if (codec->WantsData(message)) codec->WriteData(message, out.toPeer);
  }
  codec->Goodbye(out.toPeer);
  out.log = std::move(events.log);
  out.units = events.units;
  return out;
}

std::string Telnet(unsigned char verb, unsigned char option) {
  return {static_cast<char>(telnet::kIac), static_cast<char>(verb), static_cast<char>(option)};
}

std::string TelnetGmcp(std::string_view message) {
  return "\xFF\xFA\xC9"s.append(message).append("\xFF\xF0");
}

std::string TelnetSub(unsigned char option, std::string_view data) {
  return "\xFF\xFA"s.append(1, static_cast<char>(option)).append(data).append("\xFF\xF0");
}

const std::string kUpgrade =
    "GET /ws HTTP/1.1\r\nHost: localhost:8080\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Origin: http://localhost:8080\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Version: 13\r\n";

// Fragmented text with a character cut between two frames, and a ping between them.
const std::string kMessages = ClientFrame(web::kTextFrame, "say caf\xC3", false) +
                              ClientFrame(web::kPingFrame, "are you there") +
                              ClientFrame(web::kContinuationFrame, "\xA9 au lait\0look"s) +
                              ClientFrame(web::kTextFrame, "");

std::vector<Case> Cases() {
  static const telnet::TelnetOptions telnetOptions = [] {
    telnet::TelnetOptions options;
    options.port = 4000;
    options.webPort = 8080;
    return options;
  }();
  return {
      {"game port",
       [](const connection::Endpoints&) { return std::make_unique<codecs::FrameCodec>(); },
       "look\0"s + std::string(net::kMaxLineBytes + 1, 'a') + "\0say hi\0"s + "hal"},
      {"console",
       [](const connection::Endpoints&) { return std::make_unique<codecs::ConsoleCodec>(); },
       "status\r\n"},
      {"telnet",
       [](const connection::Endpoints& endpoints) {
         return std::make_unique<telnet::TelnetCodec>(telnetOptions, endpoints);
       },
       Telnet(telnet::kDo, telnet::kOptionMssp) + Telnet(telnet::kDo, telnet::kOptionGmcp) +
           Telnet(telnet::kWill, 24) + "lo\xFF\xFFk\r\n" +
           TelnetGmcp(R"(Core.Supports.Set ["Room 1", "Comm 1"])") +
           TelnetGmcp(R"(Core.Hello {"client":"Mudlet"})") + "\xFF\xFA\x18 ignored \xFF\xF0" +
           Telnet(telnet::kDont, telnet::kOptionMssp) + Telnet(telnet::kDo, telnet::kOptionMssp) +
           "\xFF\xF1say hi\r\n" + TelnetSub(24, "\0MUDLET"s) + TelnetSub(24, "\0ANSI-TRUECOLOR"s) +
           Telnet(telnet::kDo, telnet::kOptionCharset) + Telnet(telnet::kWill, telnet::kOptionNewEnviron) +
           TelnetSub(telnet::kOptionCharset, "\x02UTF-8") + TelnetSub(24, "\0MTTS 2319"s) +
           TelnetSub(telnet::kOptionNewEnviron, "\0\x03SCREEN_READER\x01" "1"s) + "hal"},
      {"web, plain WebSocket", web::WebCodecMaker({}), kUpgrade + "\r\n" + kMessages},
      {"web, GMCP WebSocket", web::WebCodecMaker({}),
       kUpgrade + "Sec-WebSocket-Protocol: gmcp.mudstandards.org\r\n\r\n" +
           ClientFrame(web::kTextFrame, R"(Core.Supports.Set ["Room 1"])") +
           ClientFrame(web::kBinaryFrame, "lo", false) +
           ClientFrame(web::kContinuationFrame, "ok")},
      {"web, pipelined requests", web::WebCodecMaker({}),
       "GET /favicon.ico HTTP/1.1\r\nHost: a\r\n\r\n"
       "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nhello"
       "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n"
       "GET /favicon.ico HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nhi"
       "GET /nothing HTTP/1.0\r\n\r\n"},
      {"metrics", web::MetricsCodecMaker([](web::MetricsFormat) { return "players 3\n"s; }),
       "GET /metrics HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc"},
  };
}

TEST(CodecState, EveryCodecReadsOnFromAnyByteAsIfNothingHadHappened) {
  for (const Case& c : Cases()) {
    const Outcome whole = ReadThrough(c, c.stream.size(), false);
    EXPECT_FALSE(whole.log.empty()) << c.name;
    for (std::size_t cut = 0; cut <= c.stream.size(); ++cut) {
      const Outcome carried = ReadThrough(c, cut, true);
      ASSERT_EQ(carried.log, whole.log) << c.name << ", cut at " << cut;
      ASSERT_EQ(carried.toPeer, whole.toPeer) << c.name << ", cut at " << cut;
      ASSERT_EQ(carried.units, whole.units) << c.name << ", cut at " << cut;
    }
  }
}

}  // namespace
