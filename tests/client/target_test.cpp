#include "client/target.h"

#include <gtest/gtest.h>

#include <string>

namespace {

constexpr std::uint16_t kDefault = 61234;

struct Parsed {
  std::string host;
  std::uint16_t port;
};

TEST(TargetTest, ReadsAHostWithOrWithoutAPort) {
  const struct {
    const char* answer;
    Parsed parsed;
  } cases[] = {
      {"localhost", {"localhost", kDefault}},
      {"localhost:42001", {"localhost", 42001}},
      {"203.0.113.7:1", {"203.0.113.7", 1}},
      {"[2001:db8::1]:65535", {"2001:db8::1", 65535}},
      {"[::1]", {"::1", kDefault}},
      {"2001:db8::1", {"2001:db8::1", kDefault}},  // a bare IPv6 address: all of it is the host
      {"::ffff:10.0.0.7", {"::ffff:10.0.0.7", kDefault}},
  };
  for (const auto& c : cases) {
    client::Target target;
    const base::Status status = client::ParseTarget(c.answer, kDefault, target);
    EXPECT_TRUE(status.ok()) << c.answer << ": " << status.Text();
    EXPECT_EQ(target.scheme, client::Scheme::Plain);
    EXPECT_EQ(target.host, c.parsed.host) << c.answer;
    EXPECT_EQ(target.port, c.parsed.port) << c.answer;
  }
}

TEST(TargetTest, ReadsTlsAnswersWithTheirOwnDefaultPort) {
  const struct {
    const char* answer;
    Parsed parsed;
  } cases[] = {
      {"tls://localhost", {"localhost", client::kDefaultTlsPort}},
      {"tls://localhost:42001", {"localhost", 42001}},
      {"TLS://127.0.0.1:7", {"127.0.0.1", 7}},
      {"tls://[::1]:42001", {"::1", 42001}},
      {"tls://2001:db8::1", {"2001:db8::1", client::kDefaultTlsPort}},
  };
  for (const auto& c : cases) {
    client::Target target;
    const base::Status status = client::ParseTarget(c.answer, kDefault, target);
    EXPECT_TRUE(status.ok()) << c.answer << ": " << status.Text();
    EXPECT_EQ(target.scheme, client::Scheme::Tls) << c.answer;
    EXPECT_EQ(target.host, c.parsed.host) << c.answer;
    EXPECT_EQ(target.port, c.parsed.port) << c.answer;
  }
}

// ---- Answers that name no server ---------------------------------------------------

TEST(TargetTest, RefusesBadPortsAndMalformedAnswersInWords) {
  const struct {
    const char* answer;
    const char* text;
  } cases[] = {
      {"localhost:70000", "Invalid port: 70000 (a port is a number from 1 to 65535)"},
      {"localhost:", "Invalid port:  (a port is a number from 1 to 65535)"},
      {"localhost:0", "Invalid port: 0 (a port is a number from 1 to 65535)"},
      {"localhost:+80", "Invalid port: +80 (a port is a number from 1 to 65535)"},
      {"[::1]:80x", "Invalid port: 80x (a port is a number from 1 to 65535)"},
      {"[::1", "Invalid server: [::1 (answer HOST, HOST:PORT or [IPV6]:PORT)"},
      {"[::1]80", "Invalid server: [::1]80 (answer HOST, HOST:PORT or [IPV6]:PORT)"},
      {":42001", "Invalid server: :42001 (answer HOST, HOST:PORT or [IPV6]:PORT)"},
      {"http://host",
       "Unknown scheme: http (answer HOST, HOST:PORT, [IPV6]:PORT or tls://HOST[:PORT])"},
      {"tls://",
       "Invalid server: tls:// (answer tls://HOST, tls://HOST:PORT or tls://[IPV6]:PORT)"},
      {"tls://host:0", "Invalid port: 0 (a port is a number from 1 to 65535)"},
  };
  for (const auto& c : cases) {
    client::Target target;
    target.host = "untouched";
    const base::Status status = client::ParseTarget(c.answer, kDefault, target);
    EXPECT_FALSE(status.ok()) << c.answer;
    EXPECT_EQ(status.Text(), c.text);
    EXPECT_EQ(target.host, "untouched");
  }
}

}  // namespace
