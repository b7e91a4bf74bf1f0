#include "net/proxy_protocol.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::string_literals;
using State = net::ProxyHeaderReader::State;

// What the reader made of a stream.
struct Outcome {
  State state = State::kReading;
  std::string source;  // "address port", "" for none
  std::string reason;
  std::size_t taken = 0;  // bytes of the stream the reader took
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* out) {
  *out << "state " << static_cast<int>(o.state) << " source '" << o.source << "' reason '"
       << o.reason << "' taken " << o.taken;
}

Outcome Result(const net::ProxyHeaderReader& reader, std::size_t taken) {
  const auto& source = reader.source();
  return {reader.state(),
          source ? base::AddressText(source->address) + " " + std::to_string(source->port) : "",
          std::string(reader.reason()), taken};
}

// Feeds `stream` in the pieces that start at each of `cuts`, and the rest.
Outcome Read(std::string_view stream, const std::vector<std::size_t>& cuts) {
  net::ProxyHeaderReader reader;
  std::size_t taken = 0;
  std::size_t from = 0;
  for (const std::size_t cut : cuts) {
    taken += reader.Feed(stream.substr(from, cut - from));
    from = cut;
  }
  taken += reader.Feed(stream.substr(from));
  return Result(reader, taken);
}

// The outcome of `stream` fed whole, once it is checked to be the same when the stream
// comes in two pieces cut anywhere, and a byte at a time.
Outcome ReadAtEveryCut(std::string_view stream) {
  const Outcome whole = Read(stream, {});
  std::vector<std::size_t> bytes;
  for (std::size_t cut = 1; cut < stream.size(); ++cut) {
    EXPECT_EQ(Read(stream, {cut}), whole) << "cut at " << cut;
    bytes.push_back(cut);
  }
  EXPECT_EQ(Read(stream, bytes), whole) << "a byte at a time";
  return whole;
}

// A version 2 header: command (version in the high nibble), family, then `block`
// (addresses and TLVs) after its length.
std::string V2(char command, char family, std::string_view block) {
  return "\r\n\r\n\0\r\nQUIT\n"s + command + family + static_cast<char>(block.size() >> 8) +
         static_cast<char>(block.size() & 0xFF) + std::string(block);
}

// 192.0.2.10 port 51000 to 10.0.0.1 port 4000.
const std::string kInetBlock = "\xC0\x00\x02\x0A\x0A\x00\x00\x01\xC7\x38\x0F\xA0"s;
// 2001:db8::17 port 4711 to ::1 port 443.
const std::string kInet6Block = "\x20\x01\x0D\xB8"s + std::string(11, '\0') + "\x17"s +
                                std::string(15, '\0') + "\x01\x12\x67\x01\xBB"s;
const std::string kTlvs = "\x01\x00\x02h2\x04\x00\x03pad"s;  // an ALPN and a NOOP
const std::string kLongest = "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff";
const std::string kPayload = "look\0"s;  // the first game frame, after the header

TEST(ProxyHeaderTest, GoodHeadersGiveTheSourceAndLeaveWhatFollows) {
  struct Case {
    std::string header;
    std::string source;
  };
  const Case cases[] = {
      {"PROXY TCP4 192.0.2.10 10.0.0.1 51000 4000\r\n", "192.0.2.10 51000"},
      {"PROXY TCP6 2001:db8::17 ::1 4711 443\r\n", "2001:db8::17 4711"},
      {"PROXY UNKNOWN\r\n", ""},
      {"PROXY UNKNOWN " + kLongest + " " + kLongest + " 65535 65535\r\n", ""},  // 107 bytes
      {V2('\x21', '\x11', kInetBlock), "192.0.2.10 51000"},
      {V2('\x21', '\x21', kInet6Block + kTlvs), "2001:db8::17 4711"},
      {V2('\x21', '\x11', kInetBlock + std::string(1024 - 16 - 12, '\x04')), "192.0.2.10 51000"},
      {V2('\x20', '\x00', ""), ""},          // LOCAL: the proxy's own health check
      {V2('\x20', '\x11', kInetBlock), ""},  // LOCAL ignores the addresses it carries
      {V2('\x21', '\x00', kTlvs), ""},       // AF_UNSPEC
      {V2('\x21', '\x31', std::string(216, 'u')), ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    const Outcome done{State::kDone, c.source, "", c.header.size()};
    EXPECT_EQ(ReadAtEveryCut(c.header + kPayload), done);
    EXPECT_EQ(ReadAtEveryCut(c.header), done);  // done with its last byte, not the next read
  }
}

// --- Refusals --------------------------------------------------------------------

TEST(ProxyHeaderTest, APeerThatIsNoProxyIsRefusedAtTheFirstByteThatShowsIt) {
  const std::pair<std::string, std::size_t> cases[] = {
      {"GET / HTTP/1.1\r\nHost: x\r\n\r\n", 1},
      {"look\0"s, 1},
      {"PROXZ TCP4", 5},
      {"\r\n\r\nQUIT\n", 5},
      {"\r\n\r\n\0\r\nQUIT\r"s, 12},
  };
  for (const auto& [stream, at] : cases) {
    EXPECT_EQ(ReadAtEveryCut(stream), (Outcome{State::kRefused, "", "not a PROXY header", at}))
        << stream;
  }
}

TEST(ProxyHeaderTest, BadHeadersAreRefusedWithTheirReason) {
  struct Case {
    std::string stream;
    std::string reason;
    std::size_t at;  // bytes taken when it is settled; 0 for all of `stream`
  };
  const std::string tcp4 = "PROXY TCP4 192.0.2.10 10.0.0.1 ";
  const Case cases[] = {
      {tcp4 + " 51000 4000\r\n", "malformed", 0},
      {tcp4 + "51000 65536\r\n", "malformed", 0},
      {tcp4 + "51000 4000 9\r\n", "malformed", 0},
      {tcp4 + "+1 4000\r\n", "malformed", 0},
      {"PROXY TCP4 2001:db8::1 10.0.0.1 1 2\r\n", "malformed", 0},
      {"PROXY TCP6 192.0.2.10 10.0.0.1 1 2\r\n", "malformed", 0},
      {"PROXY UDP4 192.0.2.10 10.0.0.1 1 2\r\n", "malformed", 0},
      {"PROXY UNKNOWNX\r\n", "malformed", 0},
      {tcp4 + "1 2\n", "malformed", 0},
      {"PROXY TCP4 1\r2", "malformed", 14},
      {"PROXY TCP4 1\0 2\r\n"s, "malformed", 13},
      {"PROXY " + std::string(200, 'x'), "too long", 107},
      {V2('\x21', '\x11', kInetBlock + std::string(1024 - 16 - 12 + 1, '\x04')), "too long", 16},
      {V2('\x21', '\x11', kInetBlock.substr(0, 11)), "malformed", 16},
      {V2('\x21', '\x31', std::string(215, 'u')), "malformed", 16},
      {V2('\x11', '\x11', kInetBlock), "unsupported", 13},
      {V2('\x22', '\x11', kInetBlock), "unsupported", 13},
      {V2('\x21', '\x12', kInetBlock), "unsupported", 14},  // UDP
  };
  for (const Case& c : cases) {
    const std::size_t at = c.at == 0 ? c.stream.size() : c.at;
    EXPECT_EQ(ReadAtEveryCut(c.stream + kPayload), (Outcome{State::kRefused, "", c.reason, at}))
        << c.stream;
  }
}

}  // namespace
