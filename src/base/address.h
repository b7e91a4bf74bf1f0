// Addresses of clients and blocks of them, of either IP family. An address is kept as
// 128 bits: an IPv4 address as its IPv4-mapped form (::ffff:a.b.c.d), so one type
// serves the log, the limits, the bans and the listings, and a client that reached a
// dual-stack socket over IPv4 is shown and matched as the IPv4 address it is. Pure
// values and functions; any thread.
#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace base {

struct Address {
  std::array<std::uint8_t, 16> bytes{};  // network byte order

  // The IPv4 address `host` (host byte order) in its mapped form.
  static Address V4(std::uint32_t host);
  // An IPv6 address from its 16 bytes in network order; a mapped one is IPv4.
  static Address V6(const std::uint8_t (&network)[16]);

  // True for an IPv4 address (the mapped form ::ffff:0:0/96).
  bool IsV4() const;
  // The IPv4 address in host byte order. REQUIRES: IsV4().
  std::uint32_t V4Host() const;

  auto operator<=>(const Address&) const = default;
};

// The address as people write it: "203.0.113.7" for IPv4 (mapped or not), the RFC 5952
// form for IPv6 ("2001:db8::1").
std::string AddressText(const Address& address);

// Reads one address: dotted IPv4 ("10.0.0.7") or IPv6 text ("2001:db8::1",
// "::ffff:10.0.0.7"), without brackets, zone or port. True with `address` set; false,
// leaving it untouched, when `text` is no address.
bool ParseAddress(std::string_view text, Address& address);

// A CIDR block over the 128-bit form: an IPv4 /n is a /96+n here. The families stay
// apart: an IPv6 block (::/64, even ::/0) holds no IPv4 address, though the mapped form
// of every IPv4 address lies inside ::/64 as numbers.
struct AddressBlock {
  Address network;        // the bits past `bits` are zero
  unsigned bits = 128;    // 0 to 128

  bool Contains(const Address& address) const;
  auto operator<=>(const AddressBlock&) const = default;
};

// The block of one address alone.
AddressBlock SingleAddress(const Address& address);

// Reads an address or a CIDR block: "203.0.113.7", "192.168.0.0/16", "2001:db8::/32",
// "::1". An IPv4 prefix is 0 to 32, an IPv6 one 0 to 128, in digits alone; host bits
// below the prefix are cleared ("10.1.2.3/8" is 10.0.0.0/8). True with `block` set;
// false, leaving it untouched, otherwise.
bool ParseBlock(std::string_view text, AddressBlock& block);

// Reads a comma-separated list of addresses and CIDR blocks, or "none" for no block.
// True with `blocks` set; false, leaving it untouched, at the first item that is not one.
template <class Container>
bool ParseBlocks(std::string_view text, Container& blocks);

// "203.0.113.7" for a single address, "203.0.113.0/24" or "2001:db8::/32" for a wider
// block; IPv4 blocks with their IPv4 prefix.
std::string BlockText(const AddressBlock& block);

// The address under which a client is counted against the per-address limits: an IPv4
// address alone; an IPv6 address by its /64, since one subscriber usually holds a whole
// /64 and could otherwise cycle through its addresses.
Address LimitKey(const Address& address);
// How a limit key is shown: the address, or the /64 block ("2001:db8:1:2::/64").
std::string LimitKeyText(const Address& key);

struct AddressHash {
  std::size_t operator()(const Address& address) const;
};

template <class Container>
bool ParseBlocks(std::string_view text, Container& blocks) {
  if (text == "none") {
    blocks.clear();
    return true;
  }
  Container parsed;
  for (;;) {
    const std::size_t comma = text.find(',');
    AddressBlock block;
    if (!ParseBlock(text.substr(0, comma), block)) return false;
    parsed.push_back(block);
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  blocks = std::move(parsed);
  return true;
}

}  // namespace base
