#include "net/forwarded.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Lines = std::vector<std::string_view>;

base::Address Parsed(std::string_view text) {
  base::Address a;
  EXPECT_TRUE(base::ParseAddress(text, a)) << text;
  return a;
}

std::string Text(const std::optional<base::Address>& address) {
  return address ? base::AddressText(*address) : "";
}

// A request that came from the proxy 10.0.0.1, with 10.0.0.0/8 and 2001:db8:ffff::/48
// trusted. The verbs give the client the headers name, "" for none.
class ForwardedTest : public ::testing::Test {
 protected:
  ForwardedTest() { EXPECT_TRUE(base::ParseBlocks("10.0.0.0/8,2001:db8:ffff::/48", trusted_)); }

  std::string Forwarded(const Lines& lines) {
    return Text(net::ClientFromForwarded(lines, peer_, trusted_));
  }
  std::string XForwardedFor(const Lines& lines) {
    return Text(net::ClientFromXForwardedFor(lines, peer_, trusted_));
  }

  base::Address peer_ = Parsed("10.0.0.1");
  std::vector<base::AddressBlock> trusted_;
};

TEST_F(ForwardedTest, TheRightMostHopThatIsNotTrustedIsTheClient) {
  // The left-most entry is whatever the client sent; only its proxy's word counts.
  EXPECT_EQ(XForwardedFor({"203.0.113.9, 198.51.100.7, 10.0.0.2"}), "198.51.100.7");
  EXPECT_EQ(XForwardedFor({"203.0.113.9", " 198.51.100.7,,10.0.0.2 ", "10.0.0.3"}), "198.51.100.7");
  EXPECT_EQ(
      Forwarded({"for=203.0.113.9, for=198.51.100.7;proto=https;by=10.0.0.2", "For=10.0.0.2"}),
      "198.51.100.7");
  EXPECT_EQ(Forwarded({"for=203.0.113.9;host=\"a,b\", proto=http ; FOR=198.51.100.7"}),
            "198.51.100.7");
}

TEST_F(ForwardedTest, IPv6AndPortsAreRead) {
  EXPECT_EQ(XForwardedFor({"[2001:db8::17]:4711"}), "2001:db8::17");
  EXPECT_EQ(XForwardedFor({"2001:db8::17, [2001:db8:ffff::1]"}), "2001:db8::17");
  EXPECT_EQ(XForwardedFor({"198.51.100.7:443"}), "198.51.100.7");
  EXPECT_EQ(Forwarded({"for=\"[2001:db8::17]:4711\", for=\"[2001:db8:ffff::1]\""}), "2001:db8::17");
  EXPECT_EQ(Forwarded({"for=\"198.51.100.7:_p1\""}), "198.51.100.7");
  EXPECT_EQ(Forwarded({"for=\"\\[2001:db8::17\\]\""}), "2001:db8::17");
}

TEST_F(ForwardedTest, AHopThatGivesNoAddressEndsTheWalk) {
  for (const char* line :
       {"for=198.51.100.7, for=unknown", "for=198.51.100.7, for=_hidden, for=10.0.0.2",
        "for=198.51.100.7, proto=http", "for=198.51.100.7, for=[2001:db8::17]",
        "for=198.51.100.7, for=\"2001:db8::17\"", "for=198.51.100.7, for=10.0.0.2;for=10.0.0.3",
        "for=198.51.100.7, for=\"10.0.0.2", "for=198.51.100.7, for=10.0.0.2 x",
        "for=198.51.100.7, for=\"10.0.0.2:99999\""}) {
    EXPECT_EQ(Forwarded({line}), "") << line;
  }
  EXPECT_EQ(XForwardedFor({"198.51.100.7, unknown, 10.0.0.2"}), "");
  // A syntax error ends its own line; the lines after it are read.
  EXPECT_EQ(Forwarded({"for=\"203.0.113.9, for=10.0.0.2", "for=198.51.100.7"}), "198.51.100.7");
}

TEST_F(ForwardedTest, NothingIsTakenWithoutATrustedPeer) {
  EXPECT_EQ(XForwardedFor({"10.0.0.2, 10.0.0.3"}), "");
  EXPECT_EQ(XForwardedFor({}), "");
  peer_ = Parsed("198.51.100.50");
  EXPECT_EQ(XForwardedFor({"203.0.113.9"}), "");
  peer_ = Parsed("10.0.0.1");
  trusted_.clear();
  EXPECT_EQ(Forwarded({"for=203.0.113.9"}), "");
}

TEST_F(ForwardedTest, OnlyTheLastHopsAreRead) {
  std::string hops = "203.0.113.9";
  for (std::size_t i = 1; i < net::kMaxForwardedHops; ++i) hops += ", 10.0.0.2";
  EXPECT_EQ(XForwardedFor({hops}), "203.0.113.9");
  EXPECT_EQ(XForwardedFor({hops, "10.0.0.2"}), "");
}

TEST_F(ForwardedTest, ForwardedIsPreferredWhenTheRequestHasIt) {
  const Lines forwarded = {"for=198.51.100.7"};
  const Lines xForwardedFor = {"203.0.113.9"};
  EXPECT_EQ(Text(net::ForwardedClient(forwarded, xForwardedFor, peer_, trusted_)), "198.51.100.7");
  EXPECT_EQ(Text(net::ForwardedClient({}, xForwardedFor, peer_, trusted_)), "203.0.113.9");
}

}  // namespace
