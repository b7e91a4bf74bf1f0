// The rules of the HTTP doors as pure functions: what a request's method, target and
// headers mean, which page it asks for, whose WebSocket upgrade is let in, and which
// metrics format it wants. No shared state; any thread may call them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace web {

// What a request's method gets: GET and HEAD are served (HEAD's answer is GET's
// without the body); the other methods of HTTP (RFC 9110 section 9, and PATCH) are
// answered 405, and any other token 501.
enum class MethodKind { Served, NotAllowed, Unknown };
MethodKind KindOfMethod(std::string_view method);

// The parts of a request target that choose its answer.
struct Target {
  std::string_view authority;  // of an absolute-form target; empty for origin-form
  std::string_view path;       // without the query; "/" when an absolute-form one is empty
};

// Reads an origin-form target ("/path?query") or an absolute-form one
// ("http://host:8080/path?query", RFC 9112 section 3.2.2, scheme http or https in any
// case) into `target`. False, leaving `target` untouched, for any other form.
bool ReadTarget(std::string_view text, Target& target);

// Whether `value` can be a Host header's value (RFC 9112 section 3.2): a host of
// reg-name characters, or an IP literal in brackets, and maybe a port of digits.
// Empty is valid.
bool HostValid(std::string_view value);

// What a path of the web door is answered with.
enum class Route {
  Page,           // /: the client page
  Script,         // /pelthollow.js
  Style,          // /pelthollow.css
  Icon,           // /favicon.ico: none, 204
  MudletPackage,  // /mudlet/pelthollow.mpackage: the package for Mudlet
  WebSocket,      // /ws: the upgrade to the game
  NotFound,       // any other path: 404
};
Route RoutePath(std::string_view path);

// The item of the comma-separated list `value` (a header's lines joined, RFC 9110
// section 5.6.1) that equals `token` in any letter case, as the list writes it, blanks
// around it left out. Empty when none does.
std::string_view FindListItem(std::string_view value, std::string_view token);
inline bool ListsToken(std::string_view value, std::string_view token) {
  return !FindListItem(value, token).empty();
}

// Whether an If-None-Match value (RFC 9110 section 13.1.2) matches `etag` (a strong
// entity tag with its quotes): "*", or a list holding it, weak or strong.
bool NoneMatchHits(std::string_view ifNoneMatch, std::string_view etag);

// A strong entity tag for `bytes`: a 64-bit FNV-1a hash in hex, in quotes.
std::string EntityTag(std::string_view bytes);

// `unixSeconds` as HTTP writes a date (IMF-fixdate, RFC 9110 section 5.6.7):
// "Tue, 14 Nov 2023 22:13:20 GMT".
std::string HttpDate(std::int64_t unixSeconds);

// The text formats the metrics door speaks.
enum class MetricsFormat {
  Prometheus,   // text/plain; version=0.0.4
  OpenMetrics,  // application/openmetrics-text; version=1.0.0
};

// The format an Accept header asks for: OpenMetrics when it names
// application/openmetrics-text with a weight above 0 and not below the weight it
// gives text/plain (or a range holding it); Prometheus' text format otherwise, and
// when there is no Accept header at all.
MetricsFormat ChooseMetricsFormat(std::string_view accept);

// Whether a WebSocket upgrade carrying `origin` may go on for a request to `host` (the
// Host header). Let in: no Origin at all (not a browser, so no page of another site can
// be behind it), an origin whose host and port are `host` (http or https, letters in
// any case), and any origin listed exactly in `allowed`.
bool OriginAllowed(std::string_view origin, std::string_view host,
                   const std::vector<std::string>& allowed);

// Splits the value of PELTHOLLOW_WEB_ORIGINS (origins separated by commas or blanks)
// into its origins, each without a trailing slash. Empty pieces are dropped.
std::vector<std::string> SplitOrigins(std::string_view value);

}  // namespace web
