#include "web/metrics_codec.h"

#include <gtest/gtest.h>

#include "codec_events.h"

#include <string>

namespace {

struct Events final : TestCodecEvents {
  void Line(std::string_view) override { ++lines; }
  void TooLong() override { ++lines; }
  void Admitted() override { admitted = true; }
  void Finished() override { ++finished; }
  int lines = 0;
  bool admitted = false;
  int finished = 0;
};

class MetricsCodecTest : public ::testing::Test {
 protected:
  // Feeds `request` cut into pieces of `piece` bytes; the bytes for the peer.
  std::string Send(const std::string& request, std::size_t piece) {
    auto codec = web::MetricsCodecMaker([] { return std::string("pelthollow_players 3\n# EOF\n"); })({});
    std::string toPeer;
    for (std::size_t at = 0; at < request.size(); at += piece) {
      codec->Read(std::string_view(request).substr(at, piece), events, toPeer);
    }
    return toPeer;
  }
  Events events;
};

TEST_F(MetricsCodecTest, AnswersAScrapeHoweverItsBytesArrive) {
  const std::string scrape = "GET /metrics HTTP/1.1\r\nHost: localhost:9464\r\nAccept: */*\r\n\r\n";
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, scrape.size()}) {
    Events fresh;
    events = fresh;
    const std::string answer = Send(scrape, piece);
    EXPECT_EQ(answer.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << piece;
    EXPECT_NE(answer.find("Content-Type: application/openmetrics-text"), std::string::npos);
    EXPECT_NE(answer.find("Content-Length: 27\r\n"), std::string::npos) << answer;
    EXPECT_TRUE(answer.ends_with("\r\n\r\npelthollow_players 3\n# EOF\n")) << answer;
    EXPECT_EQ(events.finished, 1);
    EXPECT_FALSE(events.admitted);
    EXPECT_EQ(events.lines, 0);
  }
}

// --- Requests it does not serve --------------------------------------------------------

TEST_F(MetricsCodecTest, AnythingElseIsAnsweredOnceAndEndsTheConnection) {
  EXPECT_EQ(Send("GET / HTTP/1.1\r\nHost: a\r\n\r\n", 100).rfind("HTTP/1.1 404", 0), 0u);
  EXPECT_EQ(Send("POST /metrics HTTP/1.1\r\nHost: a\r\n\r\n", 100).rfind("HTTP/1.1 405", 0), 0u);
  EXPECT_EQ(Send("hello\r\n\r\n", 100).rfind("HTTP/1.1 400", 0), 0u);
  const std::string huge = "GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'a');
  EXPECT_EQ(Send(huge, 1000).rfind("HTTP/1.1 4", 0), 0u);
  EXPECT_EQ(events.finished, 4);
}

}  // namespace
