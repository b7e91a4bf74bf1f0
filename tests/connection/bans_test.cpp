// The bans file and the blocks it holds: what a damaged file keeps, and which
// addresses a block and its time cover.
#include "connection/bans.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using connection::BanList;

base::AddressBlock Block(const char* text) {
  base::AddressBlock block;
  EXPECT_TRUE(base::ParseBlock(text, block)) << text;
  return block;
}

base::Address At(const char* text) {
  base::Address address;
  EXPECT_TRUE(base::ParseAddress(text, address)) << text;
  return address;
}

TEST(Bans, ABlockCoversItsAddressesUntilItsTime) {
  BanList bans;
  bans.BanAddress({Block("203.0.113.77/24"), 1000, "bots"});
  bans.BanAddress({Block("198.51.100.7"), 0, ""});
  bans.BanAddress({Block("2001:db8:1:2::/64"), 0, ""});
  EXPECT_TRUE(bans.AddressBanned(At("203.0.113.1"), 999));
  EXPECT_FALSE(bans.AddressBanned(At("203.0.113.1"), 1000));  // its time is up
  EXPECT_FALSE(bans.AddressBanned(At("203.0.114.1"), 0));
  EXPECT_TRUE(bans.AddressBanned(At("::ffff:198.51.100.7"), 1 << 30));
  EXPECT_TRUE(bans.AddressBanned(At("2001:db8:1:2:abcd::1"), 0));
  EXPECT_FALSE(bans.AddressBanned(At("2001:db8:1:3::1"), 0));
  EXPECT_EQ(base::BlockText(bans.Addresses()[0].block), "203.0.113.0/24");
  const auto replaced = bans.BanAddress({Block("198.51.100.7/32"), 5000, "again"});
  ASSERT_TRUE(replaced.has_value());
  EXPECT_EQ(replaced->until, 0);
  EXPECT_TRUE(bans.Expire(1000));
  EXPECT_EQ(bans.Addresses().size(), 2u);
  EXPECT_TRUE(bans.UnbanAddress(Block("198.51.100.7/32")));
  EXPECT_FALSE(bans.UnbanAddress(Block("198.51.100.7/32")));
}

TEST(Bans, TheFileReadsBackAsItWasWritten) {
  BanList bans;
  bans.BanAddress({Block("10.0.0.0/8"), 1796777171, "spam from a whole network"});
  bans.BanAddress({Block("0.0.0.0/0"), 0, ""});
  bans.BanAddress({Block("2001:db8::/32"), 0, ""});
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

TEST(Bans, DamagedLinesAndCommentsAreNamedOrKeptInPlace) {
  const std::string text =
      "# my notes\n"
      "address 10.0.0.1 0 ok\n"
      "address 10.0.0.300 0\n"    // no such address
      "address 10.0.0.2/33 0\n"   // no such block
      "address 10.0.0.3 soon\n"   // no time
      "address 10.0.0.4 -5\n"
      "name\n"
      "name Two Words\n"
      "rule everything\n"
      "\n# a comment\n"
      "name Birch\r\n"
      "address 10.0.0.5 0";  // the last line, unfinished by a crash before rename
  BanList bans;
  std::vector<std::string> damaged;
  bans.Parse(text, damaged);
  ASSERT_EQ(damaged.size(), 7u);
  EXPECT_EQ(damaged[0], "line 3: address 10.0.0.300 0");
  EXPECT_EQ(damaged[6], "line 9: rule everything");
  EXPECT_EQ(bans.Addresses().size(), 2u);
  EXPECT_TRUE(bans.NameBanned("Birch"));
  // A rewrite after a change keeps every line it could not read, and the comments, where they stood.
  bans.UnbanAddress(Block("10.0.0.1"));
  bans.BanName("Cedar");
  const std::string written = bans.Format();
  EXPECT_NE(written.find("# my notes\naddress 10.0.0.300 0\n"), std::string::npos) << written;
  EXPECT_NE(written.find("rule everything\n\n# a comment\nname Birch\naddress 10.0.0.5 0\nname Cedar\n"),
            std::string::npos)
      << written;
}

}  // namespace
