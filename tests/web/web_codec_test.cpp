#include "web/web_codec.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <wslay/wslay.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "codec_events.h"

namespace {

using namespace std::string_literals;
using Log = std::vector<std::string>;

struct Events;
void ReadAll(connection::Codec& codec, std::string_view bytes, Events& events, std::string& toPeer);

struct Events final : TestCodecEvents {
  void Line(std::string_view text) override { log.push_back(std::string("line ").append(text)); }
  void TooLong() override { log.push_back("too long"); }
  void Admitted() override { log.push_back("admitted"); }
  void Done() override { log.push_back("finished"); }
  Log log;
};

// As the layer does: a codec that holds a next request is read again, with nothing
// new, once it has answered one.
void ReadAll(connection::Codec& codec, std::string_view bytes, Events& events, std::string& toPeer) {
  codec.Read(bytes, events, toPeer);
  while (codec.Pending()) codec.Read({}, events, toPeer);
}

const std::string kUpgrade =
    "GET /ws HTTP/1.1\r\nHost: localhost:8080\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Origin: http://localhost:8080\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
    "Sec-WebSocket-Version: 13\r\n\r\n";

ssize_t AppendTo(const std::uint8_t* data, std::size_t length, int, void* out) {
  static_cast<std::string*>(out)->append(reinterpret_cast<const char*>(data), length);
  return static_cast<ssize_t>(length);
}

ssize_t TakeFrom(std::uint8_t* buffer, std::size_t length, int, void* in) {
  auto& rest = *static_cast<std::string_view*>(in);
  length = std::min(length, rest.size());
  std::memcpy(buffer, rest.data(), length);
  rest.remove_prefix(length);
  return static_cast<ssize_t>(length);
}

int MaskKey(std::uint8_t* key, std::size_t length, void*) {
  std::memset(key, 0x5A, length);
  return 0;
}

// A frame as a browser sends it: masked, unless told otherwise.
std::string ClientFrame(std::uint8_t opcode, std::string_view payload, bool fin = true,
                        bool masked = true) {
  std::string out;
  const wslay_frame_callbacks callbacks{AppendTo, nullptr, MaskKey};
  wslay_frame_context_ptr context = nullptr;
  wslay_frame_context_init(&context, &callbacks, &out);
  wslay_frame_iocb frame{};
  frame.fin = fin;
  frame.opcode = opcode;
  frame.mask = masked;
  frame.payload_length = payload.size();
  frame.data = reinterpret_cast<const std::uint8_t*>(payload.data());
  frame.data_length = payload.size();
  wslay_frame_send(context, &frame);
  wslay_frame_context_free(context);
  return out;
}

std::string Text(std::string_view text, bool fin = true) {
  return ClientFrame(WSLAY_TEXT_FRAME, text, fin);
}
std::string More(std::string_view text, bool fin = true) {
  return ClientFrame(WSLAY_CONTINUATION_FRAME, text, fin);
}

// The frames of `bytes` as opcode and payload, e.g. "1 hello" or "8 \x03\xe8".
Log ServerFrames(std::string_view bytes) {
  const wslay_frame_callbacks callbacks{nullptr, TakeFrom, nullptr};
  wslay_frame_context_ptr context = nullptr;
  wslay_frame_context_init(&context, &callbacks, &bytes);
  Log frames;
  std::string payload;
  wslay_frame_iocb chunk{};
  while (wslay_frame_recv(context, &chunk) >= 0) {
    EXPECT_EQ(chunk.mask, 0);
    payload.append(reinterpret_cast<const char*>(chunk.data), chunk.data_length);
    if (payload.size() < chunk.payload_length) continue;
    frames.push_back(std::to_string(chunk.opcode) + " " + payload);
    payload.clear();
  }
  wslay_frame_context_free(context);
  return frames;
}

class WebCodecTest : public ::testing::Test {
 protected:
  void Restart() { codec_ = web::MakeWebCodec(options_); }
  void Read(std::string_view bytes) { ReadAll(*codec_, bytes, events_, toPeer_); }
  void Upgrade() {
    Read(kUpgrade);
    ASSERT_EQ(TakeEvents(), Log{"admitted"});
    TakeToPeer();
  }
  Log TakeEvents() { return std::exchange(events_.log, {}); }
  std::string TakeToPeer() { return std::exchange(toPeer_, {}); }

  std::shared_ptr<const web::WebCodecOptions> options_ =
      std::make_shared<const web::WebCodecOptions>();
  std::unique_ptr<connection::Codec> codec_ = web::MakeWebCodec(options_);
  Events events_;
  std::string toPeer_;
};

TEST_F(WebCodecTest, ServesThePageAndAnswersHeadWithTheSameHeadersAlone) {
  Read("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  const std::string get = TakeToPeer();
  const std::size_t bodyAt = get.find("\r\n\r\n") + 4;
  const std::string header =
      "HTTP/1.1 200 OK\r\nServer: pelthollow\r\nDate: Tue, 14 Nov 2023 22:13:20 GMT\r\n"
      "Content-Type: text/html; charset=utf-8\r\nETag: " +
      web::TagPageFiles().page +
      "\r\n"
      "Content-Security-Policy: default-src 'self'\r\nX-Content-Type-Options: nosniff\r\n"
      "Cache-Control: no-cache\r\nContent-Length: " +
      std::to_string(get.size() - bodyAt) + "\r\n\r\n";
  EXPECT_EQ(get.substr(0, bodyAt), header);
  EXPECT_TRUE(get.substr(bodyAt).starts_with("<"));
  Read("HEAD /?x HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_EQ(TakeToPeer(), get.substr(0, bodyAt));
  EXPECT_FALSE(codec_->PlaysFromStart());
  EXPECT_TRUE(TakeEvents().empty());
}

TEST_F(WebCodecTest, PipelinedRequestsAreAnsweredInOrderUntilOneCloses) {
  const std::string requests =
      "GET /nothing HTTP/1.1\r\nHost: a\r\n\r\n"
      "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nabc"
      "GET /favicon.ico HTTP/1.0\r\n\r\n"
      "GET /pelthollow.css HTTP/1.1\r\nHost: a\r\n\r\n";
  std::string whole;
  for (const std::size_t step : {requests.size(), std::size_t{1}}) {
    Restart();
    for (std::size_t at = 0; at < requests.size(); at += step) Read(requests.substr(at, step));
    EXPECT_EQ(TakeEvents(), Log{"finished"});
    const std::string answers = TakeToPeer();
    if (whole.empty()) whole = answers;
    EXPECT_EQ(answers, whole);
  }
  EXPECT_EQ(whole.find("HTTP/1.1 404 Not Found\r\n"), 0u);
  EXPECT_NE(whole.find("HTTP/1.1 405 Method Not Allowed\r\n"), std::string::npos);
  EXPECT_NE(whole.find("Allow: GET, HEAD\r\n"), std::string::npos);
  EXPECT_EQ(whole.substr(whole.find("HTTP/1.1 204")).find("Content-Length"), std::string::npos);
  EXPECT_EQ(whole.find("text/css"), std::string::npos);  // after the HTTP/1.0 close
}

// Reads `stream` cut in two at every place; the bytes for the peer, the same for
// every cut, and the events in `events`.
std::string ReadAtEveryCut(const std::string& stream, Log& events) {
  std::string first;
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    auto codec = web::MakeWebCodec(std::make_shared<const web::WebCodecOptions>());
    Events seen;
    std::string toPeer;
    ReadAll(*codec, std::string_view(stream).substr(0, cut), seen, toPeer);
    ReadAll(*codec, std::string_view(stream).substr(cut), seen, toPeer);
    if (cut == 0) {
      first = toPeer;
      events = seen.log;
    }
    EXPECT_EQ(toPeer, first) << "cut at " << cut;
    EXPECT_EQ(seen.log, events) << "cut at " << cut;
  }
  return first;
}

// The status lines of `answers`, in order.
Log StatusLines(const std::string& answers) {
  Log lines;
  for (std::size_t at = answers.find("HTTP/1.1 "); at != std::string::npos;
       at = answers.find("HTTP/1.1 ", at + 1)) {
    lines.push_back(answers.substr(at, answers.find("\r\n", at) - at));
  }
  return lines;
}

TEST_F(WebCodecTest, PipelinedRequestsAreAnsweredOneAReadAndCountAsWork) {
  const std::string twice = "GET /favicon.ico HTTP/1.1\r\nHost: a\r\n\r\n";
  codec_->Read(twice + twice + twice, events_, toPeer_);
  EXPECT_TRUE(codec_->Pending());
  EXPECT_EQ(events_.units, 1u);
  while (codec_->Pending()) codec_->Read({}, events_, toPeer_);
  EXPECT_EQ(events_.units, 3u);
  const std::string answers = TakeToPeer();
  std::size_t count = 0;
  for (std::size_t at = 0; (at = answers.find("204 No Content", at)) != std::string::npos; ++at) ++count;
  EXPECT_EQ(count, 3u);
}

TEST_F(WebCodecTest, BesideAnHttpsTwinThePlainDoorRedirectsAndTheTwinSaysToStay) {
  web::WebCodecOptions plain;
  plain.redirectToPort = 8443;
  codec_ = web::MakeWebCodec(std::make_shared<const web::WebCodecOptions>(plain));
  Read("GET /pelthollow.js?v=2 HTTP/1.1\r\nHost: cats.example:8080\r\n\r\n");
  const std::string redirect = TakeToPeer();
  EXPECT_EQ(redirect.find("HTTP/1.1 308 Permanent Redirect\r\n"), 0u) << redirect;
  EXPECT_NE(redirect.find("Location: https://cats.example:8443/pelthollow.js?v=2\r\n"), std::string::npos);
  web::WebCodecOptions tls;
  tls.hsts = true;
  codec_ = web::MakeWebCodec(std::make_shared<const web::WebCodecOptions>(tls));
  Read("GET / HTTP/1.1\r\nHost: a\r\n\r\n");
  EXPECT_NE(TakeToPeer().find("Strict-Transport-Security: max-age="), std::string::npos);
}

TEST_F(WebCodecTest, AnswersAsTheRfcsSayHoweverTheStreamIsCut) {
  const std::string style = web::TagPageFiles().style;
  const std::string stream =
      "GET http://a:8080/pelthollow.css?v=2 HTTP/1.1\r\nHost: ignored\r\n\r\n"
      "GET /pelthollow.css HTTP/1.1\r\nHost: a\r\nIf-None-Match: \"other\"\r\n"
      "If-None-Match: W/" +
      style +
      "\r\n\r\n"
      "GET / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 2\r\n\r\nhi"
      "BREW / HTTP/1.1\r\nHost: a\r\n\r\n";
  Log events;
  const std::string answers = ReadAtEveryCut(stream, events);
  EXPECT_EQ(StatusLines(answers),
            (Log{"HTTP/1.1 200 OK", "HTTP/1.1 304 Not Modified", "HTTP/1.1 100 Continue",
                 "HTTP/1.1 200 OK", "HTTP/1.1 501 Not Implemented"}));
  EXPECT_EQ(events, Log{"finished"});
  std::string notModified = answers.substr(answers.find("HTTP/1.1 304"));
  notModified.resize(notModified.find("\r\n\r\n") + 2);
  EXPECT_NE(notModified.find("ETag: " + style + "\r\n"), std::string::npos);
  EXPECT_EQ(notModified.find("\r\nContent-Type"), std::string::npos);
  EXPECT_EQ(notModified.find("\r\nContent-Length"), std::string::npos);
  EXPECT_NE(answers.find("HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n"), std::string::npos);

  // A refusal is not worth the body: it comes at once, and the connection ends.
  const std::string refused = ReadAtEveryCut(
      "POST / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 500\r\n\r\n", events);
  EXPECT_EQ(StatusLines(refused), Log{"HTTP/1.1 405 Method Not Allowed"});
  EXPECT_NE(refused.find("Connection: close\r\n"), std::string::npos);
  EXPECT_EQ(events, Log{"finished"});
}

TEST_F(WebCodecTest, TheUpgradeReadsHeadersSentInSeveralLinesAndEchoesTheSubprotocol) {
  const std::string stream =
      "GET /ws HTTP/1.1\r\nHost: localhost:8080\r\nUpgrade: websocket\r\nConnection: keep-alive\r\n"
      "Connection: Upgrade\r\nSec-WebSocket-Protocol: chat\r\nSec-WebSocket-Protocol: "
      "GMCP.MudStandards.org\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n" +
      ClientFrame(WSLAY_BINARY_FRAME, "look");
  Log events;
  const std::string answer = ReadAtEveryCut(stream, events);
  EXPECT_EQ(events, (Log{"admitted", "line look"}));
  EXPECT_EQ(answer,
            "HTTP/1.1 101 Switching Protocols\r\nServer: pelthollow\r\nDate: Tue, 14 Nov 2023 "
            "22:13:20 GMT\r\n"
            "Upgrade: websocket\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
            "Sec-WebSocket-Protocol: GMCP.MudStandards.org\r\nConnection: upgrade\r\n\r\n");
}

TEST_F(WebCodecTest, RefusesBadRequestsAndHandshakes) {
  const auto upgrade = [](std::string_view from, std::string_view to) {
    std::string request = kUpgrade;
    return request.replace(request.find(from), from.size(), to);
  };
  const struct {
    std::string request;
    std::string statusLine;
    bool finished;
  } cases[] = {
      {"NOT HTTP\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      {"GET / HTTP/1.1\r\nX: " + std::string(9000, 'a'),
       "HTTP/1.1 431 Request Header Fields Too Large", true},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 2000\r\n\r\n",
       "HTTP/1.1 413 Payload Too Large", true},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip, chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 501 Not Implemented", true},
      {"GET / HTTP/1.1\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      {"GET * HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", true},
      {"GET /ws HTTP/1.1\r\nHost: a\r\n\r\n", "HTTP/1.1 400 Bad Request", false},
      {upgrade("localhost:8080\r\nUp", "evil.example\r\nUp"), "HTTP/1.1 403 Forbidden", false},
      {upgrade("dGhlIHNhbXBsZSBub25jZQ==", "c2hvcnQ="), "HTTP/1.1 400 Bad Request", false},
      {upgrade("Version: 13", "Version: 8"), "HTTP/1.1 426 Upgrade Required", false},
  };
  for (const auto& c : cases) {
    Restart();
    Read(c.request);
    const std::string answer = TakeToPeer();
    EXPECT_EQ(answer.substr(0, c.statusLine.size()), c.statusLine) << c.request;
    EXPECT_EQ(TakeEvents(), c.finished ? Log{"finished"} : Log{}) << c.request;
  }
  Read("GET / HTTP/1.1\r\nHost: a\r\n\r\n");  // the connection after a refused handshake goes on
  EXPECT_EQ(TakeToPeer().find("HTTP/1.1 200"), 0u);
  Restart();
  Read(upgrade("Version: 13", "Version: 8"));
  EXPECT_NE(TakeToPeer().find("\r\nUpgrade: websocket\r\n"), std::string::npos);
  codec_->Refuse("Too many.", toPeer_);
  const std::string refusal = TakeToPeer();
  EXPECT_EQ(refusal.find("HTTP/1.1 503 Service Unavailable\r\n"), 0u);
  EXPECT_NE(refusal.find("Connection: close\r\n"), std::string::npos);
  EXPECT_EQ(refusal.substr(refusal.size() - 10), "Too many.\n");
}

TEST_F(WebCodecTest, UpgradesAndReadsMessagesHoweverTheStreamIsCut) {
  const std::string stream = kUpgrade + Text("look") + ClientFrame(WSLAY_PING, "p?") +
                             Text("sa", false) + More("y", false) + ClientFrame(WSLAY_PONG, "") +
                             More(std::string("\0hi\0", 4)) + Text("");
  const Log lines = {"admitted", "line look", "line say", "line hi", "line ", "line "};
  for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
    Restart();
    Read(stream.substr(0, cut));
    Read(stream.substr(cut));
    ASSERT_EQ(TakeEvents(), lines) << "cut at " << cut;
    const std::string toPeer = TakeToPeer();
    const std::size_t framesAt = toPeer.find("\r\n\r\n") + 4;
    ASSERT_EQ(toPeer.substr(0, framesAt),
              "HTTP/1.1 101 Switching Protocols\r\nServer: pelthollow\r\nDate: Tue, 14 Nov 2023 "
              "22:13:20 GMT\r\n"
              "Upgrade: websocket\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"
              "Connection: upgrade\r\n\r\n");
    ASSERT_EQ(ServerFrames(toPeer.substr(framesAt)), Log{"10 p?"}) << "cut at " << cut;
  }
}

TEST_F(WebCodecTest, ALongMessageIsTooLongOnceAndTheNextLineComes) {
  Upgrade();
  Read(Text(std::string(3000, 'a'), false) + More(std::string(3000, 'b'), false));
  Read(More(std::string(3000, 'c')) + Text(std::string(5000, 'd')) + Text("look"));
  EXPECT_EQ(TakeEvents(), (Log{"too long", "too long", "line look"}));
  EXPECT_TRUE(TakeToPeer().empty());
}

TEST_F(WebCodecTest, ClosesWithTheCodeOfWhatBrokeTheProtocol) {
  const struct {
    std::string frames;
    std::string close;
  } cases[] = {
      {ClientFrame(WSLAY_BINARY_FRAME, "x"),
       "8 \x03\xEB"
       "Only text messages are accepted."},
      {Text("caf\xC3", false) + More("\xC3"), "8 \x03\xEF"},
      {ClientFrame(WSLAY_CONNECTION_CLOSE, "\x13\x88"), "8 \x03\xEA"},      // 5000
      {ClientFrame(WSLAY_CONNECTION_CLOSE, "\x0F\xA0 bye"), "8 \x0F\xA0"},  // 4000 is echoed
      {ClientFrame(WSLAY_CONNECTION_CLOSE, ""), "8 "},
      {ClientFrame(WSLAY_TEXT_FRAME, "look", true, false), "8 \x03\xEA"},  // not masked
      {More("look"), "8 \x03\xEA"},
      {Text("a", false) + Text("b"), "8 \x03\xEA"},
  };
  for (const auto& c : cases) {
    Restart();
    Upgrade();
    Read(c.frames + Text("after"));
    EXPECT_EQ(TakeEvents(), Log{"finished"}) << c.close;
    EXPECT_EQ(ServerFrames(TakeToPeer()), Log{c.close});
    Read(Text("later"));
    codec_->Write("later", toPeer_);
    codec_->Goodbye(toPeer_);
    EXPECT_TRUE(TakeEvents().empty());
    EXPECT_TRUE(TakeToPeer().empty());
  }
}

TEST_F(WebCodecTest, WritesTextFramesOnlyAfterTheUpgradeAndClosesWithNormal) {
  codec_->Write("early", toPeer_);
  codec_->Goodbye(toPeer_);
  EXPECT_TRUE(TakeToPeer().empty());
  Upgrade();
  codec_->Write("caf\xC3 " + std::string(70000, 'x'), toPeer_);
  codec_->Goodbye(toPeer_);
  codec_->Write("late", toPeer_);
  EXPECT_EQ(ServerFrames(TakeToPeer()),
            (Log{"1 caf\xEF\xBF\xBD " + std::string(70000, 'x'), "8 \x03\xE8"}));
}

// Thousands of players sit idle for hours; each must cost little once upgraded.
TEST_F(WebCodecTest, AnIdleUpgradedConnectionHoldsUnderOneKibibyte) {
  constexpr int kCount = 200;
  std::vector<std::unique_ptr<connection::Codec>> codecs;
  codecs.reserve(kCount);
  const std::string said = Text(std::string(1000, 'a'), false) + More("b");
  const std::size_t before = mallinfo2().uordblks;
  for (int i = 0; i < kCount; ++i) {
    codecs.push_back(web::MakeWebCodec(options_));
    ReadAll(*codecs.back(), kUpgrade + said, events_, toPeer_);
    codecs.back()->Write("hello", toPeer_);
    toPeer_.clear();
    events_.log.clear();
  }
  EXPECT_LT((mallinfo2().uordblks - before) / kCount, 1024u);
}

}  // namespace
