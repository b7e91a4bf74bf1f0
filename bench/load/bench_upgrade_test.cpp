#include "bench_upgrade.h"

#include <gtest/gtest.h>

#include <vector>

namespace bench {
namespace {

// Round trips count by when they were sent, gaps by when answers came, whatever order
// the samples are in.
TEST(BenchUpgradeWindow, RoundTripsBySendingAndGapsBetweenAnswersInOrder) {
  // Sent at 0, 10, 20, 30; answered at 5, 300, 21, 35.
  const std::vector<std::int64_t> sent{0, 10, 20, 30};
  const std::vector<std::int64_t> took{5, 290, 1, 5};
  const WindowFigures all = MeasureWindow(sent, took, 0, 1000);
  EXPECT_EQ(all.roundTrip.count, 4u);
  EXPECT_DOUBLE_EQ(all.roundTrip.max, 290);
  EXPECT_DOUBLE_EQ(all.longestGapNs, 300 - 35);

  // From 10 to 30: the commands sent at 10 and 20; the answers at 21 alone.
  const WindowFigures part = MeasureWindow(sent, took, 10, 30);
  EXPECT_EQ(part.roundTrip.count, 2u);
  EXPECT_DOUBLE_EQ(part.roundTrip.max, 290);
  EXPECT_DOUBLE_EQ(part.longestGapNs, 0);
}

}  // namespace
}  // namespace bench
