#include "web/web_codec.h"

#include <array>
#include <boost/beast/core/detail/base64.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/field.hpp>
#include <boost/beast/websocket/detail/hybi13.hpp>
#include <utility>

#include "net/forwarded.h"
#include "web/http_answer.h"
#include "web/mudlet_package.h"
#include "web/page_files.h"
#include "web/web_rules.h"
#include "web/websocket_codec.h"

namespace web {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;

constexpr std::string_view kPlainText = "text/plain; charset=utf-8";

// The MUD Standards subprotocol for GMCP over a WebSocket.
constexpr std::string_view kGmcpSubprotocol = "gmcp.mudstandards.org";

// The fields of a web connection's record.
enum Tag : std::uint32_t {
  kState = 1,      // a WebCodec::State
  kHttp = 2,       // the HTTP side's, while State::Http
  kWebSocket = 3,  // the WebSocket side's, once State::WebSocket
};

std::string_view View(beast::string_view text) {
  return {text.data(), text.size()};
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

// What the web door serves: the page and its files, and the upgrade to the game.
class WebSite final : public HttpSite {
 public:
  WebSite(std::shared_ptr<const WebCodecOptions> options, const connection::Endpoints& endpoints)
      : options_(std::move(options)), endpoints_(endpoints) {}

  Reply Serve(const RequestFacts& request) override;

  // The events of the Read in progress, for the layer's say on a forwarded client.
  void During(connection::CodecEvents* events) { events_ = events; }

  // After the upgrade's 101: the client asked for the GMCP subprotocol, and got it.
  bool Gmcp() const { return gmcp_; }

 private:
  Reply Route(const RequestFacts& request);
  Reply File(const RequestFacts& request, std::string_view type, std::string_view body,
             std::string_view etag) const;
  Reply Upgrade(const RequestFacts& request);
  std::string_view ForwardedRefusal(const HttpRequest& request);

  std::shared_ptr<const WebCodecOptions> options_;
  connection::Endpoints endpoints_;
  connection::CodecEvents* events_ = nullptr;  // during a Read only
  std::string redirect_;  // the Location of the last redirect, which its reply points at
  bool gmcp_ = false;
};

// Through a trusted proxy, the client its forwarded headers name (the right-most that is
// not a proxy) is checked by the layer: the words it is refused with, or nothing.
std::string_view WebSite::ForwardedRefusal(const HttpRequest& request) {
  if (!endpoints_.fromProxy || events_ == nullptr) return {};
  std::vector<std::string_view> forwarded;
  std::vector<std::string_view> xForwardedFor;
  for (const auto& field : request) {
    if (field.name() == http::field::forwarded) forwarded.push_back(View(field.value()));
    if (beast::iequals(field.name_string(), "X-Forwarded-For")) xForwardedFor.push_back(View(field.value()));
  }
  const std::optional<base::Address> client =
      net::ForwardedClient(forwarded, xForwardedFor, endpoints_.peer, options_->proxies);
  return client ? events_->ClientIs(*client) : std::string_view();
}

Reply WebSite::Serve(const RequestFacts& request) {
  if (const std::string_view refusal = ForwardedRefusal(request.request); !refusal.empty()) {
    Reply reply{HttpStatus::forbidden, kPlainText, refusal};
    reply.after = After::Close;
    return reply;
  }
  Reply reply = Route(request);
  if (options_->hsts) reply.headers += "Strict-Transport-Security: max-age=31536000\r\n";
  return reply;
}

Reply WebSite::Route(const RequestFacts& request) {
  if (options_->redirectToPort != 0) {
    // Every page and the game itself are served over HTTPS: the same target there.
    std::string_view host = request.host;
    if (const std::size_t colon = host.rfind(':');
        colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos) {
      host = host.substr(0, colon);
    }
    std::string_view target = View(request.request.target());
    if (!target.starts_with("/")) target = request.path;  // an absolute-form target
    redirect_ = "https://" + std::string(host) + ":" + std::to_string(options_->redirectToPort) +
                std::string(target);
    Reply reply{HttpStatus::permanent_redirect, kPlainText, "This page is served over HTTPS.\n"};
    reply.headers = "Location: " + redirect_ + "\r\n";
    return reply;
  }
  const PageTags& tags = options_->tags;
  switch (RoutePath(request.path)) {
    case Route::Page:
      return File(request, "text/html; charset=utf-8", kPageHtml, tags.page);
    case Route::Script:
      return File(request, "text/javascript; charset=utf-8", kPageScript, tags.script);
    case Route::Style:
      return File(request, "text/css; charset=utf-8", kPageStyle, tags.style);
    case Route::MudletPackage:
      return File(request, "application/zip", MudletPackage(), tags.mudletPackage);
    case Route::Icon:
      return {HttpStatus::no_content};
    case Route::WebSocket:
      return Upgrade(request);
    case Route::NotFound:
      break;
  }
  return {HttpStatus::not_found, kPlainText, "Not found.\n"};
}

// A file of the page, or 304 when the client holds these bytes already.
Reply WebSite::File(const RequestFacts& request, std::string_view type, std::string_view body,
                    std::string_view etag) const {
  const std::string ifNoneMatch = FieldList(request.request, http::field::if_none_match);
  if (!etag.empty() && !ifNoneMatch.empty() && NoneMatchHits(ifNoneMatch, etag)) {
    return {HttpStatus::not_modified, {}, {}, etag};
  }
  return {HttpStatus::ok, type, body, etag};
}

Reply WebSite::Upgrade(const RequestFacts& request) {
  const HttpRequest& r = request.request;
  const std::string connection = FieldList(r, http::field::connection);
  const std::string_view key = View(r[http::field::sec_websocket_key]);
  const bool upgrade = r.version() >= 11 && r.method() == http::verb::get &&
                       ListsToken(connection, "upgrade") &&
                       ListsToken(FieldList(r, http::field::upgrade), "websocket");
  if (!upgrade)
    return {HttpStatus::bad_request, kPlainText,
            "This address takes WebSocket connections only.\n"};
  if (!OriginAllowed(View(r[http::field::origin]), request.host, options_->origins)) {
    return {
        HttpStatus::forbidden, kPlainText,
        "This origin may not open the game. The operator can list it in PELTHOLLOW_WEB_ORIGINS.\n"};
  }
  if (!KeyValid(key)) return {HttpStatus::bad_request, kPlainText, "Bad WebSocket handshake.\n"};
  if (FieldList(r, http::field::sec_websocket_version) != "13") {
    Reply refusal{HttpStatus::upgrade_required, kPlainText,
                  "Only version 13 of the WebSocket protocol is spoken here.\n"};
    refusal.headers = "Upgrade: websocket\r\nSec-WebSocket-Version: 13\r\n";
    refusal.connectionUpgrade = true;
    return refusal;
  }
  beast::websocket::detail::sec_ws_accept_type accept;
  beast::websocket::detail::make_sec_ws_accept(accept, {key.data(), key.size()});
  Reply reply{HttpStatus::switching_protocols};
  reply.headers = "Upgrade: websocket\r\nSec-WebSocket-Accept: ";
  reply.headers.append(accept.data(), accept.size()).append("\r\n");
  // The client's own spelling of the subprotocol it is given (RFC 6455 section 4.2.2).
  const std::string protocols = FieldList(r, http::field::sec_websocket_protocol);
  const std::string_view gmcp = FindListItem(protocols, kGmcpSubprotocol);
  gmcp_ = !gmcp.empty();
  if (gmcp_) reply.headers.append("Sec-WebSocket-Protocol: ").append(gmcp).append("\r\n");
  reply.connectionUpgrade = true;
  reply.after = After::Upgrade;
  return reply;
}

class WebCodec final : public connection::Codec {
 public:
  WebCodec(std::shared_ptr<const WebCodecOptions> options, const connection::Endpoints& endpoints)
      : http_(std::make_unique<HttpSide>(std::move(options), endpoints)) {}

  bool PlaysFromStart() const override { return false; }
  const char* DoorName() const override { return "web"; }

  bool Pending() const override { return state_ == State::Http && http_->answerer.HasUnread(); }

  void Read(std::string_view bytes, connection::CodecEvents& events, std::string& toPeer) override {
    if (state_ == State::Http) {
      http_->site.During(&events);
      const HttpAnswerer::Result result = http_->answerer.Read(bytes, events.Now().unixSeconds, toPeer);
      http_->site.During(nullptr);
      events.Unit(http_->answerer.TakeAnswered());
      switch (result) {
        case HttpAnswerer::Result::Reading:
          return;
        case HttpAnswerer::Result::Finished:
          Leave(State::Done);
          events.Done();
          return;
        case HttpAnswerer::Result::Upgraded:
          break;
      }
      const std::string rest = http_->answerer.TakeRest();
      if (http_->site.Gmcp()) websocket_.UseGmcp();
      Leave(State::WebSocket);
      events.Admitted();
      websocket_.Read(rest, events, toPeer);
    }
    if (state_ == State::WebSocket) websocket_.Read(bytes, events, toPeer);
  }

  void Write(std::string_view text, std::string& out) override {
    if (state_ == State::WebSocket) websocket_.Write(text, out);
  }

  void Refuse(std::string_view text, std::string& out) override { AppendRefusal(text, out); }

  bool CarriesData() const override { return true; }
  bool WantsData(std::string_view message) const override {
    return state_ == State::WebSocket && websocket_.WantsData(message);
  }

  void WriteData(std::string_view message, std::string& out) override {
    if (state_ == State::WebSocket) websocket_.WriteData(message, out);
  }

  void Goodbye(std::string& out) override {
    if (state_ == State::WebSocket) websocket_.Goodbye(out);
  }

  // The phase, and the state of the side that reads in it: the requests being read,
  // or the WebSocket frames and messages.
  void SaveState(base::FieldWriter& out) const override {
    out.Unsigned(kState, static_cast<std::uint8_t>(state_));
    base::FieldWriter side;
    if (state_ == State::Http) {
      http_->answerer.SaveState(side);
      out.Record(kHttp, side);
    } else if (state_ == State::WebSocket) {
      websocket_.SaveState(side);
      out.Record(kWebSocket, side);
    }
  }

  bool RestoreState(base::FieldReader& in) override {
    const std::uint64_t state = in.Unsigned(kState);
    base::FieldReader http = in.Record(kHttp);
    base::FieldReader websocket = in.Record(kWebSocket);
    if (!in.Good()) return false;
    if (state == static_cast<std::uint8_t>(State::Http)) return http_->answerer.RestoreState(http);
    if (state == static_cast<std::uint8_t>(State::WebSocket)) {
      Leave(State::WebSocket);
      return websocket_.RestoreState(websocket);
    }
    Leave(State::Done);
    return state == static_cast<std::uint8_t>(State::Done);
  }

 private:
  enum class State : std::uint8_t {
    Http,       // answering requests; http_ reads them
    WebSocket,  // upgraded: a player; websocket_ reads and writes (and knows its close)
    Done,       // the HTTP side ended the connection: nothing is read or written
  };

  struct HttpSide {
    HttpSide(std::shared_ptr<const WebCodecOptions> options, const connection::Endpoints& endpoints)
        : site(std::move(options), endpoints) {}
    WebSite site;
    HttpAnswerer answerer{site};
  };

  // The HTTP side and its parser are let go, so an upgraded connection stays small.
  void Leave(State next) {
    http_.reset();
    state_ = next;
  }

  State state_ = State::Http;
  std::unique_ptr<HttpSide> http_;  // while State::Http
  WebSocketCodec websocket_;
};

}  // namespace

PageTags TagPageFiles() {
  return {EntityTag(kPageHtml), EntityTag(kPageScript), EntityTag(kPageStyle),
          EntityTag(MudletPackage())};
}

std::unique_ptr<connection::Codec> MakeWebCodec(std::shared_ptr<const WebCodecOptions> options,
                                               const connection::Endpoints& endpoints) {
  return std::make_unique<WebCodec>(std::move(options), endpoints);
}

connection::CodecMaker WebCodecMaker(WebCodecOptions options) {
  auto shared = std::make_shared<const WebCodecOptions>(std::move(options));
  return [shared](const connection::Endpoints& endpoints) { return MakeWebCodec(shared, endpoints); };
}

}  // namespace web
