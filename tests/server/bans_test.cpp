// The bans file and the blocks it holds: what a damaged file keeps, and which
// addresses a block and its time cover.
#include "server/bans.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using server::AddressBan;
using server::AddressBlock;
using server::BanList;

AddressBlock Block(const char* text) {
  AddressBlock block;
  EXPECT_TRUE(server::ParseBlockText(text, block)) << text;
  return block;
}

TEST(Bans, ABlockCoversItsAddressesUntilItsTime) {
  BanList bans;
  bans.BanAddress({Block("203.0.113.77/24"), 1000, "bots"});
  bans.BanAddress({Block("198.51.100.7"), 0, ""});
  EXPECT_TRUE(bans.AddressBanned(0xCB007101u, 999));   // 203.0.113.1
  EXPECT_FALSE(bans.AddressBanned(0xCB007101u, 1000));  // its time is up
  EXPECT_FALSE(bans.AddressBanned(0xCB007201u, 0));     // 203.0.114.1
  EXPECT_TRUE(bans.AddressBanned(0xC6336407u, 1 << 30));
  EXPECT_FALSE(bans.AddressBanned(0xC6336408u, 0));
  EXPECT_EQ(server::BlockText(bans.Addresses()[0].block), "203.0.113.0/24");
  EXPECT_TRUE(bans.Expire(1000));
  EXPECT_EQ(bans.Addresses().size(), 1u);
  EXPECT_TRUE(bans.UnbanAddress(Block("198.51.100.7/32")));
  EXPECT_FALSE(bans.UnbanAddress(Block("198.51.100.7/32")));
}

TEST(Bans, TheFileReadsBackAsItWasWritten) {
  BanList bans;
  bans.BanAddress({Block("10.0.0.0/8"), 1796777171, "spam from a whole network"});
  bans.BanAddress({Block("0.0.0.0/0"), 0, ""});
  bans.BanName("Ash");
  BanList read;
  std::vector<std::string> damaged;
  read.Parse(bans.Format(), damaged);
  EXPECT_TRUE(damaged.empty());
  EXPECT_EQ(read.Format(), bans.Format());
  EXPECT_TRUE(read.NameBanned("Ash"));
  EXPECT_FALSE(read.NameBanned("ash"));
}

// --- Damaged files -------------------------------------------------------------------

TEST(Bans, DamagedLinesAreNamedAndTheRestKept) {
  const std::string text =
      "address 10.0.0.1 0 ok\n"
      "address 10.0.0.300 0\n"    // no such address
      "address 10.0.0.2/33 0\n"   // no such block
      "address 10.0.0.3 soon\n"   // no time
      "address 10.0.0.4 -5\n"
      "name\n"
      "name Two Words\n"
      "rule everything\n"
      "\r\n# a comment\n"
      "name Birch\r\n"
      "address 10.0.0.5 0";  // the last line, unfinished by a crash before rename
  BanList bans;
  std::vector<std::string> damaged;
  bans.Parse(text, damaged);
  ASSERT_EQ(damaged.size(), 7u);
  EXPECT_EQ(damaged[0], "line 2: address 10.0.0.300 0");
  EXPECT_EQ(damaged[6], "line 8: rule everything");
  EXPECT_EQ(bans.Addresses().size(), 2u);
  EXPECT_TRUE(bans.NameBanned("Birch"));
}

}  // namespace
