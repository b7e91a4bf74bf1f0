// The output side of a telnet connection: game frames as telnet lines, and the MSSP
// status block. Pure functions over strings; any thread may call them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace telnet {

// Appends the text of one game frame to `out` as telnet lines: each of its messages
// (they are joined by line feeds) becomes one line ending in CR LF. The byte 255 is
// doubled; every byte below 0x20 other than tab, and 0x7F, is written in caret
// notation ("^[" for ESC, "^?" for 0x7F), and every C1 control (a lone byte 0x80 to
// 0x9F, or U+0080 to U+009F) as "M-" and the caret notation of its low seven bits
// ("M-^[" for 0x9B), since MUD clients act on escape sequences and no player may drive
// another's screen. Other bytes, UTF-8 among them, pass as they are.
void AppendGameText(std::string& out, std::string_view text);

// Appends one GMCP message ("Package.Name json") as IAC SB GMCP ... IAC SE, the byte
// 255 doubled.
void AppendGmcp(std::string& out, std::string_view message);

// What the server tells status crawlers (MSSP) about itself.
struct MsspStatus {
  std::size_t players = 0;     // characters in play
  std::int64_t startTime = 0;  // when the server started, Unix seconds
  std::uint16_t port = 0;      // the telnet port
  std::uint16_t tlsPort = 0;   // telnet over TLS; 0: none
  std::string website;         // the web client's address; empty when it is off
};

// Appends the MSSP subnegotiation: NAME, PLAYERS, UPTIME, CODEBASE, PORT, when there is
// a TLS port TLS and the older SSL (both naming it), and when `website` is set, WEBSITE. Bytes that would break the block (NUL, the variable and
// value marks, 255) are left out of the values.
void AppendMsspStatus(std::string& out, const MsspStatus& status);

}  // namespace telnet
