#include "net/proxy_protocol.h"

#include <algorithm>
#include <cstring>

#include "base/number.h"

namespace net {

namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
// Chosen by the protocol's authors to be refused at once by every text protocol: it
// holds a NUL, CR LF pairs, and "QUIT".
constexpr std::string_view kV2Signature("\r\n\r\n\0\r\nQUIT\n", 12);
constexpr std::size_t kV2FixedBytes = 16;  // signature, version and command, family, length

constexpr unsigned kV2Version = 2;
constexpr unsigned kCommandLocal = 0;
constexpr unsigned kCommandProxy = 1;
// Family (high nibble) and protocol (low nibble) of the byte after the command.
constexpr unsigned kUnspec = 0x00;
constexpr unsigned kTcp4 = 0x11;
constexpr unsigned kTcp6 = 0x21;
constexpr unsigned kUnixStream = 0x31;
constexpr unsigned kUnixDatagram = 0x32;

constexpr std::string_view kNotProxy = "not a PROXY header";
constexpr std::string_view kMalformed = "malformed";
constexpr std::string_view kTooLong = "too long";
constexpr std::string_view kUnsupported = "unsupported";

// The least address block a v2 family takes, or -1 for a family this reader refuses
// (UDP, and values the protocol does not define).
int AddressBlockBytes(unsigned family) {
  switch (family) {
    case kUnspec:
      return 0;
    case kTcp4:
      return 12;
    case kTcp6:
      return 36;
    case kUnixStream:
    case kUnixDatagram:
      return 216;
    default:
      return -1;
  }
}

bool ReadV1Address(std::string_view text, bool v4, base::Address& address) {
  return (text.find(':') == std::string_view::npos) == v4 && base::ParseAddress(text, address);
}

}  // namespace

std::size_t ProxyHeaderReader::Feed(std::string_view bytes) {
  std::size_t at = 0;
  while (state_ == State::kReading && at < bytes.size()) {
    if (v2Length_ == 0) {
      TakeByte(bytes[at++]);
    } else {
      // Past the fixed part: keep what is left of the address block, skip the TLVs.
      const std::size_t step = std::min(v2Length_ - taken_, bytes.size() - at);
      const std::size_t keptEnd = kV2FixedBytes + v2Kept_;
      if (taken_ < keptEnd) {
        std::memcpy(held_.data() + taken_, bytes.data() + at, std::min(step, keptEnd - taken_));
      }
      taken_ += step;
      at += step;
    }
    if (state_ == State::kReading && v2Length_ != 0 && taken_ == v2Length_) FinishV2();
  }
  return at;
}

void ProxyHeaderReader::TakeByte(char c) {
  const std::size_t at = taken_++;
  held_[at] = c;  // a v1 line is refused at the size of held_, a v2 one goes on in Feed at 16
  if (held_[0] == kV2Signature[0]) {
    TakeV2FixedByte(at);
  } else {
    TakeV1Byte(at);
  }
}

void ProxyHeaderReader::TakeV1Byte(std::size_t at) {
  const unsigned c = Byte(at);
  if (at < kV1Prefix.size()) {
    if (held_[at] != kV1Prefix[at]) Refuse(kNotProxy);
    return;
  }
  const bool afterCr = held_[at - 1] == '\r';
  if (c == '\n') {
    if (afterCr) {
      FinishV1();
    } else {
      Refuse(kMalformed);
    }
    return;
  }
  // Printable ASCII, and a CR only before the LF.
  if (afterCr || (c != '\r' && (c < 0x20 || c > 0x7E))) {
    Refuse(kMalformed);
  } else if (taken_ == kProxyV1MaxBytes) {
    Refuse(kTooLong);
  }
}

void ProxyHeaderReader::TakeV2FixedByte(std::size_t at) {
  if (at < kV2Signature.size()) {
    if (held_[at] != kV2Signature[at]) Refuse(kNotProxy);
    return;
  }
  const unsigned command = Byte(12) & 0x0F;
  if (at == 12) {
    if (Byte(12) >> 4 != kV2Version || command > kCommandProxy) Refuse(kUnsupported);
  } else if (at == 13) {
    // LOCAL (a health check of the proxy's own) ignores the family, as the protocol says.
    if (command == kCommandProxy && AddressBlockBytes(Byte(13)) < 0) Refuse(kUnsupported);
  } else if (at == 15) {
    const std::size_t length = Byte(14) << 8 | Byte(15);
    if (kV2FixedBytes + length > kProxyV2MaxBytes) {
      Refuse(kTooLong);
      return;
    }
    const int block = command == kCommandLocal ? 0 : AddressBlockBytes(Byte(13));
    if (length < static_cast<std::size_t>(block)) {
      Refuse(kMalformed);
      return;
    }
    v2Kept_ = Byte(13) == kTcp4 || Byte(13) == kTcp6 ? static_cast<std::size_t>(block) : 0;
    v2Length_ = kV2FixedBytes + length;
  }
}

// "PROXY TCP4 <source> <destination> <source port> <destination port>\r\n", fields one
// space apart, or "PROXY UNKNOWN" and anything up to the CR LF.
void ProxyHeaderReader::FinishV1() {
  std::string_view line(held_.data() + kV1Prefix.size(), taken_ - kV1Prefix.size() - 2);
  constexpr std::string_view kUnknown = "UNKNOWN";
  if (line.starts_with(kUnknown) &&
      (line.size() == kUnknown.size() || line[kUnknown.size()] == ' ')) {
    Done(std::nullopt);
    return;
  }
  std::array<std::string_view, 5> fields;
  std::size_t count = 0;
  for (;;) {
    if (count == fields.size()) {
      Refuse(kMalformed);
      return;
    }
    const std::size_t space = line.find(' ');
    fields[count++] = line.substr(0, space);
    if (space == std::string_view::npos) break;
    line.remove_prefix(space + 1);
  }
  const bool v4 = fields[0] == "TCP4";
  base::Address source;
  base::Address destination;
  std::uint16_t sourcePort = 0;
  std::uint16_t destinationPort = 0;
  if (count != fields.size() || (!v4 && fields[0] != "TCP6") ||
      !ReadV1Address(fields[1], v4, source) || !ReadV1Address(fields[2], v4, destination) ||
      !base::ReadDigits(fields[3], std::uint16_t{65535}, sourcePort) ||
      !base::ReadDigits(fields[4], std::uint16_t{65535}, destinationPort)) {
    Refuse(kMalformed);
    return;
  }
  Done(ProxySource{source, sourcePort});
}

void ProxyHeaderReader::FinishV2() {
  const std::size_t a = kV2FixedBytes;
  if (Byte(13) == kTcp4 && v2Kept_ != 0) {
    const std::uint32_t host = Byte(a) << 24 | Byte(a + 1) << 16 | Byte(a + 2) << 8 | Byte(a + 3);
    Done(ProxySource{base::Address::V4(host),
                     static_cast<std::uint16_t>(Byte(a + 8) << 8 | Byte(a + 9))});
  } else if (Byte(13) == kTcp6 && v2Kept_ != 0) {
    std::uint8_t bytes[16];
    std::memcpy(bytes, held_.data() + a, sizeof bytes);
    Done(ProxySource{base::Address::V6(bytes),
                     static_cast<std::uint16_t>(Byte(a + 32) << 8 | Byte(a + 33))});
  } else {
    Done(std::nullopt);  // LOCAL, AF_UNSPEC, AF_UNIX: the connection's own address stands
  }
}

void ProxyHeaderReader::Done(std::optional<ProxySource> source) {
  state_ = State::kDone;
  source_ = source;
}

void ProxyHeaderReader::Refuse(std::string_view reason) {
  state_ = State::kRefused;
  reason_ = reason;
}

}  // namespace net
