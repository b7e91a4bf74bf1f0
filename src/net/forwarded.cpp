#include "net/forwarded.h"

#include <algorithm>
#include <array>

#include "base/number.h"

namespace net {

namespace {

// One hop of a forwarding header as written.
struct Hop {
  std::string_view node;   // the address and port, "" when the hop gives none
  bool quoted = false;     // a Forwarded quoted-string: `node` is inside the quotes, escapes kept
  bool forwarded = false;  // RFC 7239's syntax for a node rather than X-Forwarded-For's
};

// The last kMaxForwardedHops hops read, in the order they were written.
class HopRing {
 public:
  void Push(const Hop& hop) { hops_[count_++ % hops_.size()] = hop; }
  std::size_t size() const { return std::min(count_, hops_.size()); }
  // REQUIRES: i < size(). 0 is the right-most hop.
  const Hop& FromRight(std::size_t i) const { return hops_[(count_ - 1 - i) % hops_.size()]; }

 private:
  std::array<Hop, kMaxForwardedHops> hops_{};
  std::size_t count_ = 0;  // hops pushed, those dropped on the left included
};

// The longest node text that can name an address: "[" 45 characters of IPv6 "]:65535"
// is 53; an obfuscated port could be longer, and its hop is then read as giving none.
constexpr std::size_t kMaxNodeBytes = 64;

bool IsOws(char c) {
  return c == ' ' || c == '\t';
}

bool IsAlnum(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// RFC 7230's tchar, the characters of a token.
bool IsTokenChar(char c) {
  return IsAlnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool IsFor(std::string_view name) {
  return name.size() == 3 && (name[0] | 0x20) == 'f' && (name[1] | 0x20) == 'o' &&
         (name[2] | 0x20) == 'r';
}

// A port as RFC 7239 writes it: digits, or "_" and an obfuscated name.
bool IsPort(std::string_view port, bool forwarded) {
  std::uint16_t number = 0;
  if (base::ReadDigits(port, std::uint16_t{65535}, number)) return true;
  return forwarded && port.size() > 1 && port[0] == '_' &&
         std::all_of(port.begin() + 1, port.end(),
                     [](char c) { return IsAlnum(c) || c == '.' || c == '_' || c == '-'; });
}

// The address of a node: "203.0.113.7", "203.0.113.7:80", "[2001:db8::1]",
// "[2001:db8::1]:80", and in X-Forwarded-For also a bare "2001:db8::1". nullopt for
// anything else: "unknown", an obfuscated name, a malformed port.
std::optional<base::Address> NodeAddress(std::string_view node, bool forwarded) {
  std::string_view name = node;
  std::string_view rest;
  if (node.starts_with('[')) {
    const std::size_t close = node.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    name = node.substr(1, close - 1);
    if (name.find(':') == std::string_view::npos) return std::nullopt;  // brackets are IPv6's
    rest = node.substr(close + 1);
  } else {
    // A ':' outside brackets starts the port, unless several make a bare IPv6 address
    // (which Forwarded does not allow: "2001:db8::1" reads as the name "2001").
    const std::size_t colon = node.find(':');
    if (colon != std::string_view::npos &&
        (forwarded || node.find(':', colon + 1) == std::string_view::npos)) {
      name = node.substr(0, colon);
      rest = node.substr(colon);
    }
  }
  if (!rest.empty() && (rest[0] != ':' || !IsPort(rest.substr(1), forwarded))) return std::nullopt;
  base::Address address;
  if (!base::ParseAddress(name, address)) return std::nullopt;
  return address;
}

std::optional<base::Address> HopAddress(const Hop& hop) {
  if (!hop.quoted) return NodeAddress(hop.node, hop.forwarded);
  // A quoted-string's escapes ("\x" for "x") removed.
  std::array<char, kMaxNodeBytes> text;
  std::size_t size = 0;
  for (std::size_t i = 0; i < hop.node.size(); ++i) {
    if (size == text.size()) return std::nullopt;
    if (hop.node[i] == '\\') ++i;  // never the last byte: the reader took the escaped one too
    text[size++] = hop.node[i];
  }
  return NodeAddress(std::string_view(text.data(), size), hop.forwarded);
}

// Reads the Forwarded element at line[at] up to the ',' after it or the line's end,
// leaving `at` there, and sets `hop` to its "for" (left as it is when it has none).
// False on a syntax error, with `at` somewhere inside the element.
bool ReadElement(std::string_view line, std::size_t& at, Hop& hop) {
  bool sawFor = false;
  for (;;) {
    while (at < line.size() && IsOws(line[at])) ++at;
    if (at == line.size() || line[at] == ',') return true;
    if (line[at] == ';') {  // pairs are separated by ';', and a pair may be empty
      ++at;
      continue;
    }
    const std::size_t nameStart = at;
    while (at < line.size() && IsTokenChar(line[at])) ++at;
    const std::string_view name = line.substr(nameStart, at - nameStart);
    if (name.empty() || at == line.size() || line[at] != '=') return false;
    ++at;
    Hop value{{}, false, true};
    if (at < line.size() && line[at] == '"') {
      const std::size_t start = ++at;
      while (at < line.size() && line[at] != '"') at += line[at] == '\\' ? 2 : 1;
      if (at >= line.size()) return false;  // no closing quote
      value.node = line.substr(start, at - start);
      value.quoted = true;
      ++at;
    } else {
      const std::size_t start = at;
      while (at < line.size() && IsTokenChar(line[at])) ++at;
      if (at == start) return false;
      value.node = line.substr(start, at - start);
    }
    if (IsFor(name)) {
      if (sawFor) return false;  // each parameter at most once per element
      sawFor = true;
      hop = value;
    }
    while (at < line.size() && IsOws(line[at])) ++at;
    if (at < line.size() && line[at] != ';' && line[at] != ',') return false;
  }
}

// Adds the elements of one Forwarded line to `hops`. From a syntax error on, the line
// is one hop that gives no address.
void ReadForwardedLine(std::string_view line, HopRing& hops) {
  std::size_t at = 0;
  for (;;) {
    // Empty elements are allowed.
    while (at < line.size() && (IsOws(line[at]) || line[at] == ',')) ++at;
    if (at == line.size()) return;
    Hop hop{{}, false, true};
    if (!ReadElement(line, at, hop)) {
      hops.Push(Hop{});
      return;
    }
    hops.Push(hop);
  }
}

void ReadXForwardedForLine(std::string_view line, HopRing& hops) {
  for (;;) {
    const std::size_t comma = line.find(',');
    std::string_view item = line.substr(0, comma);
    while (!item.empty() && IsOws(item.front())) item.remove_prefix(1);
    while (!item.empty() && IsOws(item.back())) item.remove_suffix(1);
    if (!item.empty()) hops.Push(Hop{item, false, false});
    if (comma == std::string_view::npos) return;
    line.remove_prefix(comma + 1);
  }
}

bool IsTrusted(const base::Address& address, std::span<const base::AddressBlock> trusted) {
  return std::any_of(trusted.begin(), trusted.end(),
                     [&](const base::AddressBlock& block) { return block.Contains(address); });
}

std::optional<base::Address> Walk(const HopRing& hops, const base::Address& peer,
                                  std::span<const base::AddressBlock> trusted) {
  if (!IsTrusted(peer, trusted)) return std::nullopt;
  for (std::size_t i = 0; i < hops.size(); ++i) {
    const std::optional<base::Address> address = HopAddress(hops.FromRight(i));
    if (!address || !IsTrusted(*address, trusted)) return address;
  }
  return std::nullopt;
}

}  // namespace

std::optional<base::Address> ClientFromForwarded(std::span<const std::string_view> lines,
                                                 const base::Address& peer,
                                                 std::span<const base::AddressBlock> trusted) {
  HopRing hops;
  for (const std::string_view line : lines) ReadForwardedLine(line, hops);
  return Walk(hops, peer, trusted);
}

std::optional<base::Address> ClientFromXForwardedFor(std::span<const std::string_view> lines,
                                                     const base::Address& peer,
                                                     std::span<const base::AddressBlock> trusted) {
  HopRing hops;
  for (const std::string_view line : lines) ReadXForwardedForLine(line, hops);
  return Walk(hops, peer, trusted);
}

std::optional<base::Address> ForwardedClient(std::span<const std::string_view> forwarded,
                                             std::span<const std::string_view> xForwardedFor,
                                             const base::Address& peer,
                                             std::span<const base::AddressBlock> trusted) {
  return forwarded.empty() ? ClientFromXForwardedFor(xForwardedFor, peer, trusted)
                           : ClientFromForwarded(forwarded, peer, trusted);
}

}  // namespace net
