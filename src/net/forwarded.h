// The client's address of an HTTP request that reached the server through proxies it
// trusts, from the request's Forwarded (RFC 7239) or X-Forwarded-For header lines.
// Pure functions over the header values; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "base/address.h"

namespace net {

// The most hops of a request's forwarding header that are looked at: the right-most
// ones, those written last. The rest, further left, is cut off unread.
inline constexpr std::size_t kMaxForwardedHops = 64;

// Each proxy appends the address it took the request from, so the list reads from the
// client on the left to the last proxy on the right, and only what trusted proxies
// wrote is believed: the walk starts at the connection's peer and goes left through
// the hops while the address in hand is inside one of the `trusted` blocks. The
// first address that is not is the client's, and is returned.
//
// Everything left of a hop that gives no address is a stranger's word: such a hop
// ends the walk. It may be malformed (a syntax error, a second "for" in a Forwarded
// element, an address that does not parse), unusable ("unknown", an obfuscated name
// such as "_gw1", an element with no "for"), or the left end of the list; the
// address of the proxy that wrote it is then the nearest one known, and that proxy is
// trusted, so none is found. A syntax error in a Forwarded line ends that line where it
// stands, since where its elements end cannot then be known.
//
// Returns nullopt (keep the peer's address) when the peer is not trusted, when no
// block is trusted, when the walk ends at such a hop before it meets an address that
// is not trusted, and when the kMaxForwardedHops right-most hops are all trusted.

// From the values of the request's Forwarded lines, in the order they came. An element
// is "for=" with an IPv4 address or a bracketed IPv6 one, quoted when it holds a ':',
// with an optional port ("for=\"[2001:db8::17]:4711\""); parameter names in any case;
// the other parameters (by, host, proto) are read past.
std::optional<base::Address> ClientFromForwarded(std::span<const std::string_view> lines,
                                                 const base::Address& peer,
                                                 std::span<const base::AddressBlock> trusted);

// From the values of the request's X-Forwarded-For lines, in the order they came:
// addresses separated by commas, each either bare, bracketed ("[2001:db8::1]") or with
// a port ("203.0.113.7:8080", "[2001:db8::1]:8080").
std::optional<base::Address> ClientFromXForwardedFor(std::span<const std::string_view> lines,
                                                     const base::Address& peer,
                                                     std::span<const base::AddressBlock> trusted);

// ClientFromForwarded when the request has a Forwarded line, else ClientFromXForwardedFor.
std::optional<base::Address> ForwardedClient(std::span<const std::string_view> forwarded,
                                             std::span<const std::string_view> xForwardedFor,
                                             const base::Address& peer,
                                             std::span<const base::AddressBlock> trusted);

}  // namespace net
