#include "world/hash_slots.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <map>
#include <random>

namespace world {
namespace {

// Entries crowded onto a few homes near the end of the table, so that their runs wrap
// around it, added and removed at random: whatever is filed is found, and what was
// removed is not, through every growth and every move back into a hole.
TEST(HashSlots, FindsWhatIsFiledThroughCrowdedRemovalsAndGrowth) {
  std::mt19937 random(7);
  HashSlots slots;
  std::multimap<std::size_t, std::uint32_t> model;
  const auto found = [&](std::size_t hash, std::uint32_t value) {
    return slots.FindIf(hash, [&](std::uint32_t v) { return v == value; }).has_value();
  };
  for (int step = 0; step < 600; ++step) {
    const std::size_t hash = 13 + 16 * (random() % 3);  // three homes, at the table's end
    if (model.empty() || random() % 3 != 0) {
      const auto value = static_cast<std::uint32_t>(random() % 500);
      slots.Add(hash, value);
      model.emplace(hash, value);
    } else {
      auto it = model.begin();
      std::advance(it, random() % model.size());
      const auto [h, v] = *it;
      ASSERT_TRUE(slots.Remove(h, v));
      model.erase(it);
      bool kept = false;
      for (auto [a, b] = model.equal_range(h); a != b; ++a) kept = kept || a->second == v;
      ASSERT_EQ(found(h, v), kept) << "step " << step;
    }
    ASSERT_EQ(slots.Size(), model.size());
    for (const auto& [h, v] : model) ASSERT_TRUE(found(h, v)) << "step " << step;
  }
  EXPECT_FALSE(slots.Remove(13, 500));
  EXPECT_FALSE(found(13, 500));
}

}  // namespace
}  // namespace world
