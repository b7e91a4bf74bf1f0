#include "base/address.h"

#include <gtest/gtest.h>

#include <vector>

namespace base {
namespace {

Address Parsed(std::string_view text) {
  Address a;
  EXPECT_TRUE(ParseAddress(text, a)) << text;
  return a;
}

TEST(AddressTest, BothFamiliesReadAndShowAsWritten) {
  EXPECT_EQ(AddressText(Parsed("203.0.113.7")), "203.0.113.7");
  EXPECT_EQ(AddressText(Parsed("2001:0db8:0:0::1")), "2001:db8::1");
  // A client reaching a dual-stack socket over IPv4 is that IPv4 address.
  EXPECT_EQ(Parsed("::ffff:10.0.0.7"), Parsed("10.0.0.7"));
  EXPECT_EQ(AddressText(Parsed("::ffff:10.0.0.7")), "10.0.0.7");
  EXPECT_EQ(Parsed("127.0.0.1").V4Host(), 0x7F000001u);
  Address a = Parsed("9.9.9.9");
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1.2.3.4/8", "[::1]", "::1%lo", "a.b.c.d", "1:2:3:4:5:6:7:8:9"}) {
    EXPECT_FALSE(ParseAddress(bad, a)) << bad;
  }
  EXPECT_EQ(AddressText(a), "9.9.9.9");
}

TEST(AddressTest, BlocksMatchTheirFamilyAndShowTheirOwnPrefix) {
  AddressBlock v4;
  ASSERT_TRUE(ParseBlock("10.1.2.3/8", v4));
  EXPECT_EQ(BlockText(v4), "10.0.0.0/8");
  EXPECT_TRUE(v4.Contains(Parsed("10.200.0.1")));
  EXPECT_FALSE(v4.Contains(Parsed("11.0.0.1")));
  EXPECT_FALSE(v4.Contains(Parsed("::a00:1")));  // IPv4-compatible, not mapped: IPv6
  AddressBlock v6;
  ASSERT_TRUE(ParseBlock("2001:db8:1:2::/64", v6));
  EXPECT_TRUE(v6.Contains(Parsed("2001:db8:1:2:ffff::1")));
  EXPECT_FALSE(v6.Contains(Parsed("2001:db8:1:3::1")));
  for (const char* wide : {"::/64", "::/0"}) {  // the mapped IPv4 addresses lie inside as numbers
    ASSERT_TRUE(ParseBlock(wide, v6));
    EXPECT_FALSE(v6.Contains(Parsed("127.0.0.2"))) << wide;
    EXPECT_TRUE(v6.Contains(Parsed("::1"))) << wide;
  }
  AddressBlock one;
  ASSERT_TRUE(ParseBlock("::1", one));
  EXPECT_EQ(BlockText(one), "::1");
  for (const char* bad : {"10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0/+8", "/8", "10.0.0.0/8/8"}) {
    EXPECT_FALSE(ParseBlock(bad, one)) << bad;
  }
  std::vector<AddressBlock> list;
  ASSERT_TRUE(ParseBlocks("127.0.0.0/8,::1", list));
  EXPECT_EQ(list.size(), 2u);
  EXPECT_FALSE(ParseBlocks("127.0.0.0/8,,::1", list));
  EXPECT_EQ(list.size(), 2u);
}

TEST(AddressTest, AnIpv6ClientIsCountedByItsSlash64) {
  EXPECT_EQ(LimitKey(Parsed("2001:db8:1:2:aaaa::1")), LimitKey(Parsed("2001:db8:1:2:bbbb::9")));
  EXPECT_NE(LimitKey(Parsed("2001:db8:1:2::1")), LimitKey(Parsed("2001:db8:1:3::1")));
  EXPECT_EQ(LimitKeyText(LimitKey(Parsed("2001:db8:1:2::1"))), "2001:db8:1:2::/64");
  EXPECT_EQ(LimitKey(Parsed("10.0.0.7")), Parsed("10.0.0.7"));
}

}  // namespace
}  // namespace base
