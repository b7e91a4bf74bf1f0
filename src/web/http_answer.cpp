#include "web/http_answer.h"

#include <algorithm>
#include <array>
#include <boost/asio/buffer.hpp>
#include <boost/beast/core/buffers_range.hpp>
#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/serializer.hpp>
#include <boost/beast/http/span_body.hpp>
#include <boost/beast/websocket/detail/hybi13.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <utility>

#include "web/mudlet_package.h"
#include "web/page_files.h"
#include "web/web_rules.h"

namespace web {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

// A request's headers (line included) and its body are at most this long.
constexpr std::size_t kMaxRequestHeaderBytes = 8 * 1024;
constexpr std::size_t kMaxRequestBodyBytes = 1024;
// Bytes held for a request the parser cannot read further yet. Its header never needs
// more before the parser gives up itself; a chunk's header line is held up to here.
constexpr std::size_t kMaxHeldBytes = kMaxRequestHeaderBytes + kMaxRequestBodyBytes;

constexpr std::string_view kPlainText = "text/plain; charset=utf-8";

std::string_view View(beast::string_view text) {
  return {text.data(), text.size()};
}
beast::string_view Beast(std::string_view text) {
  return {text.data(), text.size()};
}

struct Reply {
  http::status status;
  std::string_view type;  // of the body
  std::string_view body;
};

// Appends `response` as Beast serializes it onto a stream.
template <class Body>
void Serialize(http::response<Body>& response, std::string& out) {
  http::response_serializer<Body> serializer(response);
  beast::error_code error;
  do {
    serializer.next(error, [&](beast::error_code&, const auto& buffers) {
      std::size_t taken = 0;
      for (const auto buffer : beast::buffers_range_ref(buffers)) {
        out.append(static_cast<const char*>(buffer.data()), buffer.size());
        taken += buffer.size();
      }
      serializer.consume(taken);
    });
  } while (!error && !serializer.is_done());
}

// Every answer but the 101 carries these headers. An answer to HEAD is GET's without
// its body.
void AppendReply(const Reply& reply, unsigned version, bool keepAlive, bool head,
                 std::string& out) {
  http::response<http::span_body<const char>> response(reply.status, version);
  response.set(http::field::server, "pelthollow");
  response.set(http::field::content_type, Beast(reply.type));
  response.set("Content-Security-Policy", "default-src 'self'");
  response.set("X-Content-Type-Options", "nosniff");
  response.set(http::field::cache_control, "no-cache");
  if (reply.status == http::status::method_not_allowed) {
    response.set(http::field::allow, "GET, HEAD");
  }
  if (reply.status == http::status::upgrade_required) {
    response.set(http::field::sec_websocket_version, "13");
  }
  response.keep_alive(keepAlive);
  // Beast's prepare_payload, less its exception: a 204 has no Content-Length.
  if (reply.status != http::status::no_content) response.content_length(reply.body.size());
  if (!head) response.body() = {reply.body.data(), reply.body.size()};
  Serialize(response, out);
}

void AppendBadRequest(std::string& out) {
  AppendReply({http::status::bad_request, kPlainText, "Bad request.\n"}, 11, false, false, out);
}

// A request body in any transfer coding but chunked alone is not understood.
bool TransferCodingKnown(const http::request<http::string_body>& request) {
  const auto [first, last] = request.equal_range(http::field::transfer_encoding);
  return std::all_of(first, last,
                     [](const auto& field) { return beast::iequals(field.value(), "chunked"); });
}

// Sec-WebSocket-Key must be 16 bytes in base64 (RFC 6455 section 4.2.1).
bool KeyValid(std::string_view key) {
  constexpr std::size_t kDigits = 22;  // and two '='
  if (key.size() != kDigits + 2 || key.substr(kDigits) != "==") return false;
  // decoded_size counts whole groups of four digits only: room for the padded key's.
  std::array<char, beast::detail::base64::decoded_size(kDigits + 2)> bytes;
  const auto [written, read] = beast::detail::base64::decode(bytes.data(), key.data(), kDigits);
  return written == 16 && read == kDigits;
}

}  // namespace

HttpAnswerer::HttpAnswerer(std::shared_ptr<const WebCodecOptions> options)
    : options_(std::move(options)) {
  ExpectRequest();
}

void HttpAnswerer::ExpectRequest() {
  parser_.emplace();
  parser_->header_limit(kMaxRequestHeaderBytes);
  parser_->body_limit(kMaxRequestBodyBytes);
}

HttpAnswerer::Result HttpAnswerer::Read(std::string_view& bytes, std::string& toPeer) {
  for (;;) {
    // The parser reads a header only when it has all of it; while held bytes wait for
    // the rest, the new bytes join them, as many as the bound lets in.
    const bool fromHeld = !held_.empty();
    if (fromHeld) {
      const std::size_t joining = std::min(bytes.size(), kMaxHeldBytes - held_.size());
      held_.append(bytes.substr(0, joining));
      bytes.remove_prefix(joining);
    }
    // The parser is shown no more than the bound at a time, so how the bytes were cut
    // into reads never decides whether a request is read.
    const std::string_view input =
        (fromHeld ? std::string_view(held_) : bytes).substr(0, kMaxHeldBytes);
    if (input.empty()) return Result::Reading;
    beast::error_code error;
    const std::size_t used = parser_->put(boost::asio::buffer(input.data(), input.size()), error);
    if (fromHeld) {
      held_.erase(0, used);
    } else {
      bytes.remove_prefix(used);
    }
    if (error && error != http::error::need_more) {
      AppendBadRequest(toPeer);
      return Result::Finished;
    }
    if (parser_->is_done()) {
      const Result result = Answer(parser_->get(), toPeer);
      if (result != Result::Reading) return result;
      ExpectRequest();
      continue;
    }
    if (used > 0) continue;
    // Nothing more can be read until more bytes come.
    if (input.size() >= kMaxHeldBytes) {
      AppendBadRequest(toPeer);
      return Result::Finished;
    }
    if (!fromHeld) {
      held_.assign(bytes);
      bytes = {};
    }
    return Result::Reading;
  }
}

HttpAnswerer::Result HttpAnswerer::Answer(const Request& request, std::string& toPeer) {
  const unsigned version = request.version();
  const bool head = request.method() == http::verb::head;
  if (!TransferCodingKnown(request)) {
    AppendReply({http::status::not_implemented, kPlainText,
                 "Only the chunked transfer coding is understood here.\n"},
                version, false, head, toPeer);
    return Result::Finished;
  }
  Reply reply{http::status::ok, kPlainText, {}};
  switch (RouteRequest(View(request.method_string()), View(request.target()))) {
    case Route::Page:
      reply = {http::status::ok, "text/html; charset=utf-8", kPageHtml};
      break;
    case Route::Script:
      reply = {http::status::ok, "text/javascript; charset=utf-8", kPageScript};
      break;
    case Route::Style:
      reply = {http::status::ok, "text/css; charset=utf-8", kPageStyle};
      break;
    case Route::MudletPackage:
      reply = {http::status::ok, "application/zip", MudletPackage()};
      break;
    case Route::Icon:
      reply = {http::status::no_content, "image/x-icon", ""};
      break;
    case Route::NotFound:
      reply = {http::status::not_found, kPlainText, "Not found.\n"};
      break;
    case Route::MethodNotAllowed:
      reply = {http::status::method_not_allowed, kPlainText, "Only GET is served here.\n"};
      break;
    case Route::WebSocket:
      return AnswerUpgrade(request, toPeer);
  }
  const bool keepAlive = request.keep_alive();
  AppendReply(reply, version, keepAlive, head, toPeer);
  return keepAlive ? Result::Reading : Result::Finished;
}

namespace {

// The MUD Standards subprotocol for GMCP over a WebSocket.
constexpr const char* kGmcpSubprotocol = "gmcp.mudstandards.org";

// Whether a comma-separated header value lists `token` (letters in any case).
bool ListsToken(std::string_view value, std::string_view token) {
  while (!value.empty()) {
    const std::size_t comma = value.find(',');
    std::string_view item = value.substr(0, comma);
    while (!item.empty() && (item.front() == ' ' || item.front() == '\t')) item.remove_prefix(1);
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.remove_suffix(1);
    if (beast::iequals(Beast(item), Beast(token))) return true;
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
  return false;
}

}  // namespace

HttpAnswerer::Result HttpAnswerer::AnswerUpgrade(const Request& request, std::string& toPeer) {
  std::optional<Reply> refusal;
  const std::string_view key = View(request[http::field::sec_websocket_key]);
  if (!websocket::is_upgrade(request)) {
    refusal = {http::status::bad_request, kPlainText,
               "This address takes WebSocket connections only.\n"};
  } else if (!OriginAllowed(View(request[http::field::origin]), View(request[http::field::host]),
                            options_->origins)) {
    refusal = {http::status::forbidden, kPlainText,
               "This origin may not open the game. The operator can list it in "
               "PELTHOLLOW_WEB_ORIGINS.\n"};
  } else if (request.count(http::field::host) == 0 || !KeyValid(key)) {
    refusal = {http::status::bad_request, kPlainText, "Bad WebSocket handshake.\n"};
  } else if (request[http::field::sec_websocket_version] != "13") {
    refusal = {http::status::upgrade_required, kPlainText,
               "Only version 13 of the WebSocket protocol is spoken here.\n"};
  }
  if (refusal) {
    const bool keepAlive = request.keep_alive();
    const bool head = request.method() == http::verb::head;
    AppendReply(*refusal, request.version(), keepAlive, head, toPeer);
    return keepAlive ? Result::Reading : Result::Finished;
  }
  // As Beast's websocket::stream answered, its Server header replaced.
  http::response<http::empty_body> response(http::status::switching_protocols, request.version());
  response.set(http::field::upgrade, "websocket");
  response.set(http::field::connection, "upgrade");
  websocket::detail::sec_ws_accept_type accept;
  websocket::detail::make_sec_ws_accept(accept, Beast(key));
  response.set(http::field::sec_websocket_accept, beast::string_view(accept.data(), accept.size()));
  response.set(http::field::server, "pelthollow");
  gmcp_ = ListsToken(View(request[http::field::sec_websocket_protocol]), kGmcpSubprotocol);
  if (gmcp_) response.set(http::field::sec_websocket_protocol, kGmcpSubprotocol);
  Serialize(response, toPeer);
  return Result::Upgraded;
}

void AppendRefusal(std::string_view text, std::string& out) {
  std::string body;
  body.reserve(text.size() + 1);
  body.append(text);
  body.push_back('\n');
  AppendReply({http::status::service_unavailable, kPlainText, body}, 11, false, false, out);
}

}  // namespace web
