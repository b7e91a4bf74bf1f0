// The PROXY protocol header that a proxy in front of the server (HAProxy, nginx, a
// cloud load balancer) sends before anything else on a connection, versions 1 and 2 of
// HAProxy's "The PROXY protocol": the reader of one connection's header. Bytes in,
// the client's address out; no I/O. Not shared between threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "base/address.h"

namespace net {

// The longest version 1 header, its CR LF included, as the protocol sets it.
inline constexpr std::size_t kProxyV1MaxBytes = 107;
// The longest version 2 header taken, its 16 fixed bytes included. The protocol allows
// 16 + 65535; ours is 1 KiB, room for the largest address block (216 bytes, AF_UNIX)
// and some 790 bytes of TLVs, more than the proxies we know send (an SNI name of up to
// 255 bytes, an ALPN, a unique ID of up to 128, a checksum, the TLS details, a cloud
// endpoint ID). Of it the reader holds only the fixed bytes and an IPv4 or IPv6
// address block (52 bytes at most); the rest is counted and dropped as it passes.
inline constexpr std::size_t kProxyV2MaxBytes = 1024;

// Where the connection really comes from, as the proxy saw it.
struct ProxySource {
  base::Address address;   // IPv4 in its mapped form
  std::uint16_t port = 0;  // the client's port

  bool operator==(const ProxySource&) const = default;
};

// Reads one PROXY header from the start of a connection's byte stream, fed cut
// anywhere. The first byte tells the versions apart ('P' or CR), and a stream that
// stops matching either signature is refused at the byte that rules it out, so a
// client that is no proxy (an HTTP request, a game frame) is turned away at once
// rather than held waiting for a line end. A version 1 line is refused at a byte no
// line holds (a control byte, a CR not before its LF), at its 107th byte if that is
// not the LF, or else at its end when its fields are wrong; a version 2 header is
// refused by its 13th to 16th bytes (version, command, family, length) or not at all.
// No byte after the header is ever taken, held or looked at.
class ProxyHeaderReader {
 public:
  enum class State {
    kReading,  // the header is unfinished: feed the next bytes
    kDone,     // the header is read; source() says what it gave
    kRefused,  // the bytes are no header this reader takes; reason() says why
  };

  // Feeds the next bytes received. Returns how many of them the header took: all of
  // them while it stays unfinished; up to and including its last byte once it is done
  // (the rest belongs to the protocol after it, in order, and is the caller's to pass
  // on); up to and including the byte that settled a refusal. Once done or refused it
  // takes nothing and changes nothing.
  std::size_t Feed(std::string_view bytes);

  State state() const { return state_; }

  // Once done: the client's address and port, or nullopt when the header says to keep
  // the connection's own address (version 1 UNKNOWN, version 2 LOCAL, or the families
  // AF_UNSPEC and AF_UNIX). nullopt in the other states.
  const std::optional<ProxySource>& source() const { return source_; }

  // Once refused, a few words for the log: "not a PROXY header", "malformed", "too
  // long" or "unsupported" (a version, command, family or protocol that is not TCP
  // over IPv4 or IPv6). Empty in the other states.
  std::string_view reason() const { return reason_; }

 private:
  void TakeByte(char c);
  void TakeV1Byte(std::size_t at);
  void TakeV2FixedByte(std::size_t at);
  unsigned Byte(std::size_t at) const { return static_cast<unsigned char>(held_[at]); }
  void FinishV1();
  void FinishV2();
  void Done(std::optional<ProxySource> source);
  void Refuse(std::string_view reason);

  State state_ = State::kReading;
  // The header's first bytes: a whole v1 line, or the v2 fixed part and the address
  // block when it is an IP one (16 + 36 at most).
  std::array<char, kProxyV1MaxBytes> held_{};
  std::size_t taken_ = 0;     // bytes of the header taken so far
  std::size_t v2Length_ = 0;  // v2: the whole header's length once its fixed part is in; 0 before
  std::size_t v2Kept_ = 0;    // v2: bytes of the address block kept in held_; the rest is skipped
  std::optional<ProxySource> source_;
  std::string_view reason_;  // a literal
};

}  // namespace net
