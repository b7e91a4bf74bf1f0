// WebSocket frames as a client sends them, for the tests of the server's side: built
// byte by byte, so a test can also make the ones no library would (a length in a
// longer form than it needs).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// One frame: its length in the shortest form unless `lengthBytes` (2 or 8) says
// otherwise, its payload masked with a fixed key unless `masked` is false.
inline std::string ClientFrame(std::uint8_t opcode, std::string_view payload, bool fin = true,
                               bool masked = true, int lengthBytes = 0) {
  std::string out;
  out += static_cast<char>((fin ? 0x80 : 0) | opcode);
  const std::uint64_t size = payload.size();
  if (lengthBytes == 0) lengthBytes = size < 126 ? 0 : size < 65536 ? 2 : 8;
  const char maskBit = masked ? '\x80' : '\0';
  if (lengthBytes == 0) {
    out += static_cast<char>(maskBit | static_cast<char>(size));
  } else {
    out += static_cast<char>(maskBit | (lengthBytes == 2 ? 126 : 127));
    for (int i = lengthBytes - 1; i >= 0; --i) out += static_cast<char>(size >> (8 * i));
  }
  constexpr char kKey[4] = {'\x37', '\xFA', '\x21', '\x3D'};
  if (masked) out.append(kKey, 4);
  for (std::size_t i = 0; i < payload.size(); ++i) {
    out += masked ? static_cast<char>(payload[i] ^ kKey[i % 4]) : payload[i];
  }
  return out;
}
