#include "web/metrics_codec.h"

#include <gtest/gtest.h>

#include <string>

#include "codec_events.h"

namespace {

struct Events final : TestCodecEvents {
  void Line(std::string_view) override { ++lines; }
  void TooLong() override { ++lines; }
  void Admitted() override { admitted = true; }
  void Done() override { ++finished; }
  int lines = 0;
  bool admitted = false;
  int finished = 0;
};

class MetricsCodecTest : public ::testing::Test {
 protected:
  // Feeds `request` cut into pieces of `piece` bytes; the bytes for the peer.
  std::string Send(const std::string& request, std::size_t piece) {
    auto codec = web::MetricsCodecMaker([](web::MetricsFormat format) {
      return std::string(format == web::MetricsFormat::OpenMetrics ? "om 3\n# EOF\n" : "text 3\n");
    })({});
    std::string toPeer;
    for (std::size_t at = 0; at < request.size(); at += piece) {
      codec->Read(std::string_view(request).substr(at, piece), events, toPeer);
    }
    return toPeer;
  }
  Events events;
};

TEST_F(MetricsCodecTest, AnswersAScrapeInTheFormatItAsksForHoweverItsBytesArrive) {
  const std::string scrape = "GET /metrics HTTP/1.1\r\nHost: localhost:9464\r\n";
  const std::string prometheus =
      "Accept: "
      "application/openmetrics-text;version=1.0.0,application/"
      "openmetrics-text;version=0.0.1;q=0.75,"
      "text/plain;version=0.0.4;q=0.5,*/*;q=0.1\r\n\r\n";
  for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{1000}}) {
    events = {};
    const std::string text = Send(scrape + "Accept: */*\r\n\r\n", piece);
    EXPECT_EQ(text.rfind(
                  "HTTP/1.1 200 OK\r\nServer: pelthollow\r\nDate: Tue, 14 Nov 2023 22:13:20 GMT\r\n"
                  "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n",
                  0),
              0u)
        << text;
    EXPECT_TRUE(text.ends_with("Connection: close\r\nContent-Length: 7\r\n\r\ntext 3\n")) << text;
    const std::string openMetrics = Send(scrape + prometheus, piece);
    EXPECT_NE(openMetrics.find(
                  "Content-Type: application/openmetrics-text; version=1.0.0; charset=utf-8\r\n"),
              std::string::npos);
    EXPECT_TRUE(openMetrics.ends_with("\r\n\r\nom 3\n# EOF\n")) << openMetrics;
    EXPECT_EQ(events.finished, 2);
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
  EXPECT_EQ(Send(huge, 1000).rfind("HTTP/1.1 431", 0), 0u);
  EXPECT_EQ(events.finished, 4);
}

}  // namespace
