// The web door's rules as pure functions: which page a request asks for, and whose
// WebSocket upgrade is let in. No shared state; any thread may call them.
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

}  // namespace web
