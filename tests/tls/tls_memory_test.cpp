#include "tls/tls_memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

using tls::BufferSlots;

TEST(BufferSlotsTest, SlotsRunOutAndComeBack) {
  BufferSlots slots(2);
  void* first = slots.Allocate(21 * 1024);
  void* second = slots.Allocate(4096);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_TRUE(slots.Owns(first));
  EXPECT_EQ(slots.Allocate(4096), nullptr);  // none free: the heap serves
  slots.Free(first);
  EXPECT_EQ(slots.Allocate(BufferSlots::kMaxBlockBytes + 1), nullptr);
  void* again = slots.Allocate(BufferSlots::kMaxBlockBytes);
  EXPECT_TRUE(slots.Owns(again));
  int onHeap = 0;
  EXPECT_FALSE(slots.Owns(&onHeap));
  slots.Free(again);
  slots.Free(second);
}

TEST(BufferSlotsTest, ReallocateKeepsTheBytesInTheSlotOrOnTheHeap) {
  BufferSlots slots(1);
  auto* block = static_cast<char*>(slots.Allocate(5000));
  ASSERT_NE(block, nullptr);
  std::memset(block, 'a', 5000);
  EXPECT_EQ(slots.Reallocate(block, 20000), block);
  std::memset(block + 5000, 'b', 15000);
  auto* moved = static_cast<char*>(slots.Reallocate(block, 64 * 1024));
  ASSERT_NE(moved, nullptr);
  EXPECT_FALSE(slots.Owns(moved));
  EXPECT_EQ(std::string(moved, 20000), std::string(5000, 'a') + std::string(15000, 'b'));
  std::free(moved);
  EXPECT_NE(slots.Allocate(100), nullptr);  // the slot was given back
}

// A burst's buffers must not stay resident once trimmed: only the warm slots keep their
// pages.
TEST(BufferSlotsTest, TrimGivesBackThePagesPastTheWarmSlots) {
  constexpr std::size_t kSlots = BufferSlots::kWarmSlots + 8;
  BufferSlots slots(kSlots);
  std::vector<void*> blocks;
  for (std::size_t i = 0; i < kSlots; ++i) {
    blocks.push_back(slots.Allocate(BufferSlots::kMaxBlockBytes));
    ASSERT_NE(blocks.back(), nullptr);
    std::memset(blocks.back(), 'x', BufferSlots::kMaxBlockBytes);
  }
  for (void* block : blocks) slots.Free(block);
  slots.Trim();
  // The range starts one header before the lowest block.
  char* base = static_cast<char*>(blocks.front()) - BufferSlots::kHeaderBytes;
  const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> resident(kSlots * BufferSlots::kSlotBytes / page);
  ASSERT_EQ(::mincore(base, kSlots * BufferSlots::kSlotBytes, resident.data()), 0);
  std::size_t pages = 0;
  for (unsigned char p : resident) pages += p & 1;
  EXPECT_EQ(pages, BufferSlots::kWarmSlots * BufferSlots::kSlotBytes / page);
}

}  // namespace
