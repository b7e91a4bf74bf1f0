#include "telnet/telnet_writer.h"

#include "base/utf8.h"
#include "telnet/telnet_protocol.h"

namespace telnet {

void AppendGameText(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + text.size() / 16 + 2);
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = base::utf8::CharLength(text, at);
    const std::string_view character = text.substr(at, length);
    at += length;
    if (const unsigned char c1 = base::utf8::C1Control(character); c1 != 0) {
      out += "M-^";
      out += static_cast<char>(c1 - 0x40);
      continue;
    }
    if (length > 1) {
      out += character;  // a well-formed character holds no byte below 0x80, nor 255
      continue;
    }
    const char ch = character[0];
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\n') {
      out += "\r\n";
    } else if (c == kIac) {
      out += static_cast<char>(kIac);
      out += static_cast<char>(kIac);
    } else if ((c < 0x20 && c != '\t') || c == 0x7F) {
      out += '^';
      out += c == 0x7F ? '?' : static_cast<char>(c + 0x40);
    } else {
      out += ch;
    }
  }
  out += "\r\n";
}

void AppendGmcp(std::string& out, std::string_view message) {
  out += static_cast<char>(kIac);
  out += static_cast<char>(kSb);
  out += static_cast<char>(kOptionGmcp);
  for (const char ch : message) {
    out += ch;
    if (static_cast<unsigned char>(ch) == kIac) out += ch;
  }
  out += static_cast<char>(kIac);
  out += static_cast<char>(kSe);
}

namespace {

void AppendVariable(std::string& out, std::string_view name, std::string_view value) {
  out += static_cast<char>(kMsspVar);
  out += name;
  out += static_cast<char>(kMsspVal);
  for (const char ch : value) {
    const auto c = static_cast<unsigned char>(ch);
    if (c != 0 && c != kMsspVar && c != kMsspVal && c != kIac) out += ch;
  }
}

}  // namespace

void AppendMsspStatus(std::string& out, const MsspStatus& status) {
  out += static_cast<char>(kIac);
  out += static_cast<char>(kSb);
  out += static_cast<char>(kOptionMssp);
  AppendVariable(out, "NAME", "Pelthollow");
  AppendVariable(out, "PLAYERS", std::to_string(status.players));
  AppendVariable(out, "UPTIME", std::to_string(status.startTime));
  AppendVariable(out, "CODEBASE", "Pelthollow");
  // Without a plain telnet port there is no PORT to name: only the TLS one below.
  if (status.port != 0) AppendVariable(out, "PORT", std::to_string(status.port));
  if (status.tlsPort != 0) {
    AppendVariable(out, "TLS", std::to_string(status.tlsPort));
    AppendVariable(out, "SSL", std::to_string(status.tlsPort));
  }
  if (!status.website.empty()) AppendVariable(out, "WEBSITE", status.website);
  out += static_cast<char>(kIac);
  out += static_cast<char>(kSe);
}

}  // namespace telnet
