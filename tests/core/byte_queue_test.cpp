#include "core/byte_queue.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace core {
namespace {

// A stream that never runs dry goes through growth and compaction with its bytes in
// order and its memory bounded; run dry, or moved from, a queue holds nothing.
TEST(ByteQueue, KeepsOrderThroughGrowthAndCompactionAndHoldsNothingEmpty) {
  ByteQueue q;
  std::string expected;
  std::size_t next = 0;
  for (int round = 0; round < 2000; ++round) {
    std::string piece;
    for (int i = 0; i < 1 + round % 97; ++i) piece.push_back(static_cast<char>('a' + next++ % 26));
    q.Append(piece);
    expected += piece;
    const std::size_t take = expected.size() > 300 ? expected.size() - 300 + round % 7 : round % 3;
    ASSERT_EQ(q.View().substr(0, take), std::string_view(expected).substr(0, take));
    q.Consume(take);
    expected.erase(0, take);
    ASSERT_EQ(q.View(), expected);
    ASSERT_LT(q.Held(), 64u * 1024);
  }
  q.Append('!');
  expected += '!';
  ByteQueue moved = std::move(q);
  EXPECT_TRUE(q.Empty());
  EXPECT_EQ(q.Held(), 0u);
  EXPECT_EQ(moved.View(), expected);
  moved.Consume(moved.Size());
  EXPECT_TRUE(moved.Empty());
  EXPECT_EQ(moved.Held(), 0u);
}

}  // namespace
}  // namespace core
