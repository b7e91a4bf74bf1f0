#include "connection/node_pool.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <vector>

namespace connection {
namespace {

// A set whose nodes come from the pool keeps what a plain set keeps, through blocks
// filled, emptied (and given back) and filled again.
TEST(NodePoolTest, ASetOnThePoolKeepsWhatAPlainSetKeeps) {
  NodePool pool(48);
  std::set<std::uint64_t, std::less<std::uint64_t>, PoolAllocator<std::uint64_t>> pooled{
      PoolAllocator<std::uint64_t>(&pool)};
  std::set<std::uint64_t> plain;
  std::mt19937_64 random(7);
  for (int round = 0; round < 4; ++round) {
    for (int i = 0; i < 3000; ++i) {
      const std::uint64_t value = random() % 5000;
      if (random() % 3 == 0) {
        EXPECT_EQ(pooled.erase(value), plain.erase(value));
      } else {
        pooled.insert(value);
        plain.insert(value);
      }
    }
    EXPECT_TRUE(std::equal(pooled.begin(), pooled.end(), plain.begin(), plain.end()));
    if (round % 2 == 1) {
      pooled.clear();
      plain.clear();
    }
  }
}

// Nodes taken at once are apart and aligned, and one given back is taken again.
TEST(NodePoolTest, NodesAreApartAndAligned) {
  NodePool pool(8);
  std::vector<void*> nodes;
  for (int i = 0; i < 2000; ++i) {
    void* node = pool.Take();
    ASSERT_EQ(reinterpret_cast<std::uintptr_t>(node) % NodePool::kNodeAlignment, 0u);
    const std::uint64_t mark = static_cast<std::uint64_t>(i);
    std::memcpy(node, &mark, sizeof mark);
    nodes.push_back(node);
  }
  for (int i = 0; i < 2000; ++i) {
    std::uint64_t mark = 0;
    std::memcpy(&mark, nodes[static_cast<std::size_t>(i)], sizeof mark);
    EXPECT_EQ(mark, static_cast<std::uint64_t>(i));
  }
  pool.Give(nodes[5]);
  EXPECT_EQ(pool.Take(), nodes[5]);
  for (void* node : nodes) pool.Give(node);
}

}  // namespace
}  // namespace connection
