#include "bench_stats.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace bench {
namespace {

TEST(BenchSummary, MedianP99AndMax) {
  std::vector<std::int64_t> samples;
  for (int i = 100; i >= 1; --i) samples.push_back(i);
  Summary s = Summarise(samples);
  EXPECT_EQ(s.count, 100u);
  EXPECT_DOUBLE_EQ(s.median, 50.5);
  EXPECT_DOUBLE_EQ(s.p99, 99);
  EXPECT_DOUBLE_EQ(s.max, 100);

  std::vector<std::int64_t> one{7};
  s = Summarise(one);
  EXPECT_DOUBLE_EQ(s.median, 7);
  EXPECT_DOUBLE_EQ(s.p99, 7);

  std::vector<std::int64_t> none;
  EXPECT_EQ(Summarise(none).count, 0u);
  EXPECT_DOUBLE_EQ(Summarise(none).p99, 0);
}

TEST(BenchSummary, OneSlowSampleInAHundredIsTheP99OnlyFromTheHundredAndFirst) {
  std::vector<std::int64_t> samples(100, 1);
  samples[0] = 1000;
  EXPECT_DOUBLE_EQ(Summarise(samples).p99, 1);
  samples.push_back(1000);
  EXPECT_DOUBLE_EQ(Summarise(samples).p99, 1000);
}

TEST(BenchProc, StatTicksAreFieldsFourteenAndFifteenWhateverTheName) {
  long long ticks = -1;
  ASSERT_TRUE(ParseStatTicks("42 (pelthollow) S 1 42 42 0 -1 4194560 100 0 0 0 17 5 0 0 20 0 4 0 1 0 0", ticks));
  EXPECT_EQ(ticks, 22);
  ASSERT_TRUE(ParseStatTicks("42 (a) b (c) R 1 42 42 0 -1 4194560 100 0 0 0 3 4 0 0 20 0 4 0 1 0 0", ticks));
  EXPECT_EQ(ticks, 7);
  ticks = -1;
  EXPECT_FALSE(ParseStatTicks("42 (cut) S 1 42", ticks));
  EXPECT_FALSE(ParseStatTicks("", ticks));
  EXPECT_EQ(ticks, -1);
}

TEST(BenchProc, RssFromStatus) {
  long kib = -1;
  const std::string status = "Name:\tx\nVmPeak:\t  100 kB\nVmRSS:\t    5320 kB\nRssAnon:\t 1 kB\n";
  ASSERT_TRUE(ParseStatusKiB(status, "VmRSS", kib));
  EXPECT_EQ(kib, 5320);
  ASSERT_TRUE(ParseStatusKiB(status, "RssAnon", kib));
  EXPECT_EQ(kib, 1);
  kib = -1;
  EXPECT_FALSE(ParseStatusKiB("Name:\tx\n", "VmRSS", kib));
  EXPECT_EQ(kib, -1);
}

TEST(BenchProc, ReadsThisProcessAndRefusesNoProcess) {
  const ProcReading self = ReadProcess(::getpid());
  EXPECT_TRUE(self.ok);
  EXPECT_GT(self.rssKiB, 0);
  EXPECT_FALSE(ReadProcess(0).ok);
}

}  // namespace
}  // namespace bench
