#include "bench_recorded.h"

#include <gtest/gtest.h>

namespace bench {
namespace {

TEST(BenchRecorded, DamagedLinesAreLeftOutAndTheRestRead) {
  RecordedFigures figures;
  const std::vector<std::string> problems = ParseRecorded(
      "# a comment\r\n"
      "\n"
      "chat.round_trip_median.ratio 1.40  # one run\r\n"
      "flood.commands_per_second.ratio\t0.76\n"
      "chat.round_trip_p99.ratio\n"
      "chat.round_trip_max.ratio 2.31x\n"
      "chat.server_cpu.ratio two\n"
      "crowd.rss_per_player.kib 0\n"
      "crowd.rss_per_greeted.kib nan\n"
      "chat round trip 1.2\n"
      "chat.round_trip_median.ratio 9\n"
      "tls.rss_per_idle.kib 18.7",
      figures);
  ASSERT_EQ(problems.size(), 7u);
  EXPECT_EQ(problems[0].rfind("line 5: ", 0), 0u) << problems[0];
  EXPECT_EQ(problems[6].rfind("line 11: ", 0), 0u) << problems[6];
  ASSERT_EQ(figures.size(), 3u);
  EXPECT_DOUBLE_EQ(figures["chat.round_trip_median.ratio"].value, 1.40);
  EXPECT_EQ(figures["chat.round_trip_median.ratio"].comment, "one run");
  EXPECT_DOUBLE_EQ(figures["flood.commands_per_second.ratio"].value, 0.76);
  EXPECT_DOUBLE_EQ(figures["tls.rss_per_idle.kib"].value, 18.7);
}

// The rows know which way is worse: a slower round trip and fewer commands a second
// are marked, their opposites are not.
TEST(BenchRecorded, WorseFollowsTheFiguresDirection) {
  auto flood = [](double gameLatency, double gameRate) {
    Report r = NewReport(Scenario::Flood, "", Door::Tcp);
    r.game.latency.median = gameLatency;
    r.game.commandsPerSecond = gameRate;
    r.echo.latency.median = 1e6;
    r.echo.commandsPerSecond = 1000;
    BuildRows(r, Options{});
    Compare(r, {{"flood.round_trip_median.ratio", {1.0, ""}}, {"flood.commands_per_second.ratio", {1.0, ""}}});
    std::map<std::string, bool> marked;
    for (const Row& row : r.rows) {
      if (row.recorded > 0) marked[row.key] = Worse(row.value, row.recorded, row.better) > kMarkedWorse;
    }
    return marked;
  };
  const auto slow = flood(1.3e6, 700);
  EXPECT_TRUE(slow.at("flood.round_trip_median.ratio"));
  EXPECT_TRUE(slow.at("flood.commands_per_second.ratio"));
  const auto fast = flood(0.7e6, 1300);
  EXPECT_FALSE(fast.at("flood.round_trip_median.ratio"));
  EXPECT_FALSE(fast.at("flood.commands_per_second.ratio"));
  const auto near = flood(1.2e6, 800);
  EXPECT_FALSE(near.at("flood.round_trip_median.ratio"));
  EXPECT_FALSE(near.at("flood.commands_per_second.ratio"));
}

// A run of some scenarios rewrites their figures and keeps the others' lines.
TEST(BenchRecorded, WritingKeepsWhatTheRunDidNotMeasure) {
  Report r = NewReport(Scenario::Chat, "", Door::Tcp);
  r.game.latency.median = 0.085e6;
  r.echo.latency.median = 0.061e6;
  BuildRows(r, Options{});
  const RecordedFigures old{{"chat.round_trip_median.ratio", {9, "older"}}, {"tls.rss_per_idle.kib", {18.7, "kept"}}};
  RecordedFigures read;
  EXPECT_TRUE(ParseRecorded(RecordedText({r}, old, "`chat`, one run", "2025-01-01"), read).empty());
  EXPECT_NEAR(read["chat.round_trip_median.ratio"].value, 0.085 / 0.061, 0.001);
  EXPECT_NE(read["chat.round_trip_median.ratio"].comment.find("0.085 ms against 0.061 ms"), std::string::npos);
  EXPECT_DOUBLE_EQ(read["tls.rss_per_idle.kib"].value, 18.7);
  EXPECT_EQ(read["tls.rss_per_idle.kib"].comment, "kept");
}

}  // namespace
}  // namespace bench
