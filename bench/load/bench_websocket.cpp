#include "bench_websocket.h"

#include <cstdint>

namespace bench {

std::string WebSocketUpgrade(int port, bool gmcp) {
  return "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n" +
         (gmcp ? "Sec-WebSocket-Protocol: gmcp.mudstandards.org\r\n" : "") +
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
}

void AppendWebSocketText(std::string& out, std::string_view text, bool binary) {
  out.push_back(static_cast<char>(binary ? 0x82 : 0x81));  // the final frame of a message
  const std::uint64_t n = text.size();
  if (n < 126) {
    out.push_back(static_cast<char>(0x80 | n));
  } else if (n <= 0xFFFF) {
    out.push_back(static_cast<char>(0x80 | 126));
    out.push_back(static_cast<char>(n >> 8));
    out.push_back(static_cast<char>(n & 0xFF));
  } else {
    out.push_back(static_cast<char>(0x80 | 127));
    for (int shift = 56; shift >= 0; shift -= 8) out.push_back(static_cast<char>((n >> shift) & 0xFF));
  }
  out.append(4, '\0');  // the mask key
  out.append(text);
}

WsTake TakeWebSocketResponse(std::string& buffer, bool& upgraded, WsFragments& fragments,
                             std::string& text, bool gmcp) {
  if (!upgraded) {
    const std::size_t end = buffer.find("\r\n\r\n");
    if (end == std::string::npos) return WsTake::Incomplete;
    if (buffer.rfind("HTTP/1.1 101", 0) != 0) return WsTake::Bad;
    buffer.erase(0, end + 4);
    upgraded = true;
    return WsTake::Other;
  }
  if (buffer.size() < 2) return WsTake::Incomplete;
  const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(buffer[i]); };
  if ((byte(1) & 0x80) != 0) return WsTake::Bad;  // a server never masks
  std::uint64_t length = byte(1) & 0x7F;
  std::size_t header = 2;
  if (length == 126 || length == 127) {
    header = length == 126 ? 4 : 10;
    if (buffer.size() < header) return WsTake::Incomplete;
    length = 0;
    for (std::size_t i = 2; i < header; ++i) length = (length << 8) | byte(i);
  }
  if (buffer.size() - header < length) return WsTake::Incomplete;
  const std::uint8_t opcode = byte(0) & 0x0F;
  const bool final = (byte(0) & 0x80) != 0;
  WsTake taken = WsTake::Other;
  const std::string_view payload = std::string_view(buffer).substr(header, length);
  const std::uint8_t game = gmcp ? 0x2 : 0x1;  // the opcode of the game's messages
  if (opcode == 0x8) {
    taken = WsTake::Close;
  } else if (gmcp && opcode == 0x1 && final) {
    taken = WsTake::Other;  // structured data, whole in one frame
  } else if (opcode == game || opcode == 0x0) {
    // A message's first frame starts it, a continuation frame goes on with it.
    if ((opcode == game) == fragments.open) return WsTake::Bad;
    fragments.text.append(payload);
    fragments.open = !final;
    if (final) {
      text = std::move(fragments.text);
      fragments.text.clear();
      taken = WsTake::Text;
    }
  } else if (opcode < 0x8) {
    taken = WsTake::Bad;  // binary messages: the game's web client sends none
  }
  buffer.erase(0, header + length);
  return taken;
}

}  // namespace bench
