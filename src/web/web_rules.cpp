#include "web/web_rules.h"

#include <algorithm>
#include <cctype>
#include <cstdint>


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

}  // namespace web
