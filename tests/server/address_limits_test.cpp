#include "server/address_limits.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using server::AddressBlock;
using server::AddressBook;
using server::LimitClock;
using namespace std::chrono_literals;

constexpr std::uint32_t kHost = 0x0A000007;   // 10.0.0.7
constexpr std::uint32_t kOther = 0x0A000008;  // 10.0.0.8

TEST(AddressBlocks, ListsOfAddressesAndBlocks) {
  std::vector<AddressBlock> blocks;
  ASSERT_TRUE(server::ParseAddressBlocks("10.0.0.7,192.168.77.1/16,0.0.0.0/0", blocks));
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].network, kHost);
  EXPECT_EQ(blocks[0].mask, 0xFFFFFFFFu);
  EXPECT_EQ(blocks[1].network, 0xC0A80000u);
  EXPECT_EQ(blocks[1].mask, 0xFFFF0000u);
  EXPECT_EQ(blocks[2].mask, 0u);
  ASSERT_TRUE(server::ParseAddressBlocks("none", blocks));
  EXPECT_TRUE(blocks.empty());

  blocks.assign(1, AddressBlock{1, 1});
  for (const char* bad : {"", "10.0.0", "10.0.0.7.", "10.0.0.256", "10.0.0.7/33", "10.0.0.7/",
                          "10.0.0.7,", " 10.0.0.7", "10.0.0.-1", "0x7f.0.0.1", "None"}) {
    EXPECT_FALSE(server::ParseAddressBlocks(bad, blocks)) << bad;
    EXPECT_EQ(blocks.size(), 1u) << bad;
  }
}

TEST(AddressBook, ConnectionsFailedLoginsAndNewCharactersPerAddress) {
  server::AddressLimits limits;
  limits.maxConnections = 2;
  limits.maxFailedLogins = 3;
  limits.maxNewCharacters = 1;
  AddressBook book(limits);
  const LimitClock::time_point t0{};

  EXPECT_TRUE(book.Connect(kHost));
  EXPECT_TRUE(book.Connect(kHost));
  EXPECT_FALSE(book.Connect(kHost));
  EXPECT_TRUE(book.Connect(kOther));
  EXPECT_TRUE(book.Connect(0x7F000002));  // loopback is trusted by default
  book.Disconnect(kHost);
  EXPECT_TRUE(book.Connect(kHost));

  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(book.LoginAllowed(kHost, t0 + i * 1min));
    book.NoteFailedLogin(kHost, t0 + i * 1min);
  }
  EXPECT_FALSE(book.LoginAllowed(kHost, t0 + 9min));
  EXPECT_TRUE(book.LoginAllowed(kOther, t0 + 9min));
  EXPECT_TRUE(book.LoginAllowed(kHost, t0 + 10min));  // the first has left the window

  book.NoteNewCharacter(kHost, t0);
  EXPECT_FALSE(book.NewCharacterAllowed(kHost, t0 + 59min));
  EXPECT_TRUE(book.NewCharacterAllowed(kHost, t0 + 60min));

  EXPECT_TRUE(book.FirstRefusal(kHost, server::LimitKind::Connections));
  EXPECT_FALSE(book.FirstRefusal(kHost, server::LimitKind::Connections));
  EXPECT_TRUE(book.FirstRefusal(kHost, server::LimitKind::FailedLogins));

  // Nothing is kept of an address that has gone and whose windows are empty.
  book.Disconnect(kHost);
  book.Disconnect(kHost);
  book.Disconnect(kOther);
  EXPECT_EQ(book.Records(), 1u);
  book.Prune(t0 + 2h);
  EXPECT_EQ(book.Records(), 0u);
}

TEST(LinePace, BurstsOfTwiceTheRateThenTheRate) {
  server::LinePace pace;
  const LimitClock::time_point t0 = LimitClock::time_point{} + 1h;
  LimitClock::time_point readyAt;
  int taken = 0;
  while (pace.Take(10, t0, readyAt)) ++taken;
  EXPECT_EQ(taken, 20);
  EXPECT_EQ(readyAt, t0 + 100ms);
  EXPECT_FALSE(pace.Take(10, t0 + 99ms, readyAt));
  EXPECT_TRUE(pace.Take(10, t0 + 100ms, readyAt));
  EXPECT_FALSE(pace.Take(10, t0 + 100ms, readyAt));
  EXPECT_TRUE(pace.Take(0, t0, readyAt));  // no limit
}

}  // namespace
