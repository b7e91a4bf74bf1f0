// The web door's rules as pure functions: which page a request asks for, whose
// WebSocket upgrade is let in, and the checking and repair of UTF-8. No shared state;
// any thread may call them.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace web {

// What a request is answered with.
// HEAD routes as GET does; its answer is GET's without the body.
enum class Route {
  Page,              // GET /: the client page
  Script,            // GET /pelthollow.js
  Style,             // GET /pelthollow.css
  Icon,              // GET /favicon.ico: none, 204
  MudletPackage,     // GET /mudlet/pelthollow.mpackage: the package for Mudlet
  WebSocket,         // GET /ws: the upgrade to the game
  NotFound,          // GET of any other path: 404
  MethodNotAllowed,  // any method but GET and HEAD: 405
};

// Routes a request by its method and its target (path, maybe with a query, which is
// ignored).
Route RouteRequest(std::string_view method, std::string_view target);

// Whether a WebSocket upgrade carrying `origin` may go on for a request to `host` (the
// Host header). Let in: no Origin at all (not a browser, so no page of another site can
// be behind it), an origin whose host and port are `host` (http or https, letters in
// any case), and any origin listed exactly in `allowed`.
bool OriginAllowed(std::string_view origin, std::string_view host,
                   const std::vector<std::string>& allowed);

// Splits the value of PELTHOLLOW_WEB_ORIGINS (origins separated by commas or blanks)
// into its origins, each without a trailing slash. Empty pieces are dropped.
std::vector<std::string> SplitOrigins(std::string_view value);

// `bytes` as valid UTF-8: each maximal piece that is not part of a well-formed
// character (a stray continuation byte, a cut sequence, an overlong form, a surrogate,
// a value past U+10FFFF) becomes U+FFFD. Valid text comes back unchanged.
std::string RepairUtf8(std::string_view bytes);

// Whether `bytes` is well-formed UTF-8 as a whole (no character cut at the end).
bool IsValidUtf8(std::string_view bytes);

// Checks text that arrives in pieces, such as the frames of one WebSocket message, for
// well-formed UTF-8; a character may be cut between two pieces. A value per text.
class Utf8Check {
 public:
  // Takes the next piece. Returns false once a byte cannot belong to a well-formed
  // character (here or in an earlier piece), and from then on.
  bool Feed(std::string_view bytes);
  // True when every byte so far was good and the last character is whole.
  bool Whole() const { return due_ == 0 && !broken_; }

 private:
  std::uint8_t due_ = 0;     // continuation bytes the last lead byte still needs
  std::uint8_t low_ = 0x80;  // the range of the next continuation byte
  std::uint8_t high_ = 0xBF;
  bool broken_ = false;
};

}  // namespace web
