// Reads arbitrary bytes as the payload of an upgrade's state, in an envelope made for
// it (or as a whole state when they begin like one). The reader must answer every input
// without harm, and a state it read must write and read again to the same bytes.
#include <sodium.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/upgrade_state.h"

namespace {

void PutFixed64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>(value >> (8 * i));
}

std::string Envelope(std::string_view payload) {
  std::string out(server::kUpgradeMagic);
  PutFixed64(out, server::kUpgradeFormat);
  PutFixed64(out, payload.size());
  unsigned char digest[16];
  crypto_generichash(digest, sizeof digest, reinterpret_cast<const unsigned char*>(payload.data()), payload.size(),
                     nullptr, 0);
  out.append(reinterpret_cast<const char*>(digest), sizeof digest);
  out += payload;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const std::string state = bytes.starts_with(server::kUpgradeMagic) ? std::string(bytes) : Envelope(bytes);
  server::UpgradeState first;
  if (!server::ReadUpgradeState(state, first).ok()) return 0;
  const std::string written = server::WriteUpgradeState(first);
  server::UpgradeState second;
  if (!server::ReadUpgradeState(written, second).ok()) std::abort();
  if (server::WriteUpgradeState(second) != written) std::abort();
  return 0;
}
