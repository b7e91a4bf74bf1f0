// Reads arbitrary header lines as Forwarded or X-Forwarded-For behind a trusted peer
// and checks that the client found is never a trusted address, that nothing is found
// behind a peer that is not trusted, and that lines put to the left of those that gave
// a client (what the client itself could send) do not change it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string_view>
#include <vector>

#include "net/forwarded.h"

namespace {

std::optional<base::Address> Client(bool forwarded, const std::vector<std::string_view>& lines,
                                    const base::Address& peer,
                                    const std::vector<base::AddressBlock>& trusted) {
  return forwarded ? net::ClientFromForwarded(lines, peer, trusted)
                   : net::ClientFromXForwardedFor(lines, peer, trusted);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const bool forwarded = data[0] & 1;
  std::string_view text(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::vector<std::string_view> lines;
  for (;;) {
    const std::size_t end = text.find('\n');
    lines.push_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  std::vector<base::AddressBlock> trusted;
  base::Address peer;
  if (!base::ParseBlocks("10.0.0.0/8,2001:db8:ffff::/48", trusted) ||
      !base::ParseAddress("10.0.0.1", peer))
    std::abort();

  const std::optional<base::Address> client = Client(forwarded, lines, peer, trusted);
  for (const base::AddressBlock& block : trusted) {
    if (client && block.Contains(*client)) std::abort();
  }
  if (client) {
    std::vector<std::string_view> longer = lines;
    longer.insert(longer.begin(), lines.back());
    if (Client(forwarded, longer, peer, trusted) != client) std::abort();
  }
  base::Address stranger;
  if (!base::ParseAddress("198.51.100.1", stranger) || Client(forwarded, lines, stranger, trusted))
    std::abort();
  return 0;
}
