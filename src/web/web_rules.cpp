#include "web/web_rules.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>


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

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view TrimBlanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// Calls `take` with each item of a comma-separated list, blanks around it left out,
// until it returns true; a comma inside a quoted string belongs to its item. Returns
// whether `take` did.
template <class Take>
bool AnyListItem(std::string_view list, Take take) {
  std::size_t start = 0;
  bool quoted = false;
  for (std::size_t i = 0; i <= list.size(); ++i) {
    if (i < list.size()) {
      const char c = list[i];
      if (quoted && c == '\\') {
        ++i;  // a quoted pair
      } else if (c == '"') {
        quoted = !quoted;
      }
      if (quoted || c != ',') continue;
    }
    const std::string_view item = TrimBlanks(list.substr(start, i - start));
    if (!item.empty() && take(item)) return true;
    start = i + 1;
  }
  return false;
}

// The characters of a host's reg-name (RFC 3986 section 3.2.2): unreserved, the
// sub-delims and percent signs.
bool RegNameCharacter(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 ||
         std::string_view("-._~!$&'()*+,;=%").find(c) != std::string_view::npos;
}

// A weight (RFC 9110 section 12.4.2) in thousandths, or -1 when `text` is none.
int Weight(std::string_view text) {
  if (text.empty() || (text[0] != '0' && text[0] != '1')) return -1;
  int thousandths = text[0] == '1' ? 1000 : 0;
  if (text.size() == 1) return thousandths;
  if (text[1] != '.' || text.size() > 5) return -1;
  int scale = 100;
  for (const char c : text.substr(2)) {
    if (!IsDigit(c) || (thousandths == 1000 && c != '0')) return -1;
    thousandths += (c - '0') * scale;
    scale /= 10;
  }
  return thousandths;
}

}  // namespace

MethodKind KindOfMethod(std::string_view method) {
  if (method == "GET" || method == "HEAD") return MethodKind::Served;
  for (std::string_view known : {"POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"}) {
    if (method == known) return MethodKind::NotAllowed;
  }
  return MethodKind::Unknown;
}

bool ReadTarget(std::string_view text, Target& target) {
  std::string_view authority;
  std::string_view rest = text;
  if (!text.starts_with('/')) {
    const std::size_t schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos) return false;
    const std::string_view scheme = text.substr(0, schemeEnd);
    if (!EqualIgnoringCase(scheme, "http") && !EqualIgnoringCase(scheme, "https")) return false;
    rest = text.substr(schemeEnd + 3);
    const std::size_t end = rest.find_first_of("/?");
    authority = rest.substr(0, end);
    // An http URI has a host, and no user information (RFC 9110 section 4.2.4).
    if (authority.empty() || !HostValid(authority)) return false;
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end);
  }
  std::string_view path = rest.substr(0, rest.find('?'));
  if (path.empty()) path = "/";
  target = {authority, path};
  return true;
}

bool HostValid(std::string_view value) {
  std::string_view port;
  if (value.starts_with('[')) {
    const std::size_t close = value.find(']');
    if (close == std::string_view::npos || close == 1) return false;
    for (const char c : value.substr(1, close - 1)) {
      if (std::isxdigit(static_cast<unsigned char>(c)) == 0 && c != ':' && c != '.') return false;
    }
    const std::string_view after = value.substr(close + 1);
    if (!after.empty() && after[0] != ':') return false;
    port = after.substr(std::min<std::size_t>(1, after.size()));
  } else {
    const std::size_t colon = value.find(':');
    if (!std::all_of(value.begin(), value.begin() + std::min(colon, value.size()),
                     RegNameCharacter)) {
      return false;
    }
    if (colon != std::string_view::npos) port = value.substr(colon + 1);
  }
  return std::all_of(port.begin(), port.end(), IsDigit);
}

Route RoutePath(std::string_view path) {
  if (path == "/") return Route::Page;
  if (path == "/pelthollow.js") return Route::Script;
  if (path == "/pelthollow.css") return Route::Style;
  if (path == "/favicon.ico") return Route::Icon;
  if (path == "/mudlet/pelthollow.mpackage") return Route::MudletPackage;
  if (path == "/ws") return Route::WebSocket;
  return Route::NotFound;
}

std::string_view FindListItem(std::string_view value, std::string_view token) {
  std::string_view found;
  AnyListItem(value, [&](std::string_view item) {
    if (!EqualIgnoringCase(item, token)) return false;
    found = item;
    return true;
  });
  return found;
}

bool NoneMatchHits(std::string_view ifNoneMatch, std::string_view etag) {
  if (TrimBlanks(ifNoneMatch) == "*") return true;
  return AnyListItem(ifNoneMatch, [&](std::string_view item) {
    // Compared weakly (RFC 9110 section 8.8.3.2).
    if (item.starts_with("W/")) item.remove_prefix(2);
    return item == etag;
  });
}

std::string EntityTag(std::string_view bytes) {
  std::uint64_t hash = 14695981039346656037u;
  for (const char c : bytes) {
    hash ^= static_cast<std::uint8_t>(c);
    hash *= 1099511628211u;
  }
  char text[24];
  std::snprintf(text, sizeof text, "\"%016llx\"", static_cast<unsigned long long>(hash));
  return text;
}

std::string HttpDate(std::int64_t unixSeconds) {
  using namespace std::chrono;
  constexpr std::array<const char*, 7> kDays = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  constexpr std::array<const char*, 12> kMonths = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const sys_seconds time{seconds(unixSeconds)};
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss clock{time - day};
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02u %s %04d %02d:%02d:%02d GMT",
                kDays[weekday(day).c_encoding()], static_cast<unsigned>(date.day()),
                kMonths[static_cast<unsigned>(date.month()) - 1], static_cast<int>(date.year()),
                static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
                static_cast<int>(clock.seconds().count()));
  return text;
}

MetricsFormat ChooseMetricsFormat(std::string_view accept) {
  int openMetrics = -1;  // the weight given to OpenMetrics
  int text = -1;         // the weight of the most specific range holding text/plain
  int textSpecificity = 0;
  AnyListItem(accept, [&](std::string_view item) {
    const std::size_t semicolon = item.find(';');
    const std::string_view range = TrimBlanks(item.substr(0, semicolon));
    int weight = 1000;
    for (std::string_view params = semicolon == std::string_view::npos ? ""
                                                                       : item.substr(semicolon + 1);
         !params.empty();) {
      const std::size_t next = params.find(';');
      const std::string_view param = TrimBlanks(params.substr(0, next));
      if (param.size() >= 2 && (param[0] == 'q' || param[0] == 'Q') && param[1] == '=') {
        weight = Weight(param.substr(2));
      }
      params = next == std::string_view::npos ? "" : params.substr(next + 1);
    }
    if (weight < 0) return false;  // a malformed weight: the range is left out
    int specificity = 0;
    if (EqualIgnoringCase(range, "application/openmetrics-text")) {
      openMetrics = std::max(openMetrics, weight);
    } else if (EqualIgnoringCase(range, "text/plain")) {
      specificity = 3;
    } else if (EqualIgnoringCase(range, "text/*")) {
      specificity = 2;
    } else if (range == "*/*") {
      specificity = 1;
    }
    if (specificity > textSpecificity ||
        (specificity == textSpecificity && specificity > 0 && weight > text)) {
      textSpecificity = specificity;
      text = weight;
    }
    return false;
  });
  return openMetrics > 0 && openMetrics >= text ? MetricsFormat::OpenMetrics
                                                : MetricsFormat::Prometheus;
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
