#include "web/web_rules.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "net/utf8.h"

namespace web {

namespace {

bool EqualIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// The piece at the start of `s`: one well-formed character (`whole` set) or the
// longest start of one that breaks off (`whole` cleared; at least one byte). The
// second byte's range depends on the lead byte, which rules out overlong forms,
// surrogates and values past U+10FFFF.
std::size_t NextPiece(std::string_view s, bool& whole) {
  const auto lead = static_cast<std::uint8_t>(s[0]);
  whole = true;
  if (lead < 0x80) return 1;
  std::size_t length = 0;
  std::uint8_t low = 0x80;
  std::uint8_t high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    whole = false;
    return 1;
  }
  std::size_t i = 1;
  for (; i < length && i < s.size(); ++i) {
    const auto next = static_cast<std::uint8_t>(s[i]);
    if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF)) break;
  }
  whole = i == length;
  return i;
}

}  // namespace

Route RouteRequest(std::string_view method, std::string_view target) {
  if (method != "GET" && method != "HEAD") return Route::MethodNotAllowed;
  const std::string_view path = target.substr(0, target.find('?'));
  if (path == "/") return Route::Page;
  if (path == "/pelthollow.js") return Route::Script;
  if (path == "/pelthollow.css") return Route::Style;
  if (path == "/favicon.ico") return Route::Icon;
  if (path == "/mudlet/pelthollow.mpackage") return Route::MudletPackage;
  if (path == "/ws") return Route::WebSocket;
  return Route::NotFound;
}

bool OriginAllowed(std::string_view origin, std::string_view host,
                   const std::vector<std::string>& allowed) {
  if (origin.empty()) return true;
  for (const std::string& listed : allowed) {
    if (origin == listed) return true;
  }
  if (host.empty()) return false;
  for (std::string_view scheme : {"http://", "https://"}) {
    if (StartsWithIgnoringCase(origin, scheme) &&
        EqualIgnoringCase(origin.substr(scheme.size()), host)) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> SplitOrigins(std::string_view value) {
  std::vector<std::string> origins;
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = value.find_first_of(", \t", start);
    if (end == std::string_view::npos) end = value.size();
    std::string_view piece = value.substr(start, end - start);
    while (!piece.empty() && piece.back() == '/') piece.remove_suffix(1);
    if (!piece.empty()) origins.emplace_back(piece);
    start = end + 1;
  }
  return origins;
}

std::string RepairUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    bool whole = true;
    const std::size_t n = NextPiece(bytes, whole);
    if (whole) {
      out.append(bytes.substr(0, n));
    } else {
      out.append("\xEF\xBF\xBD");  // U+FFFD
    }
    bytes.remove_prefix(n);
  }
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  Utf8Check check;
  return check.Feed(bytes) && check.Whole();
}

bool Utf8Check::Feed(std::string_view bytes) {
  for (const char c : bytes) {
    if (broken_) return false;
    const auto byte = static_cast<std::uint8_t>(c);
    if (due_ > 0) {
      broken_ = byte < low_ || byte > high_;
      --due_;
      low_ = 0x80;
      high_ = 0xBF;
      continue;
    }
    if (byte < 0x80) continue;
    const int length = net::utf8::SequenceLength(byte);
    broken_ = length == 0;
    due_ = static_cast<std::uint8_t>(length > 0 ? length - 1 : 0);
    // As in NextPiece: the second byte's range shuts out overlong forms, surrogates
    // and values past U+10FFFF.
    if (byte == 0xE0) low_ = 0xA0;
    if (byte == 0xED) high_ = 0x9F;
    if (byte == 0xF0) low_ = 0x90;
    if (byte == 0xF4) high_ = 0x8F;
  }
  return !broken_;
}

}  // namespace web
