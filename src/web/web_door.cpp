#include "web/web_door.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "doors/game_link.h"
#include "doors/listen.h"
#include "net/frame.h"
#include "server/log.h"
#include "web/page_files.h"
#include "web/web_rules.h"

namespace web {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

// A request's headers (line included) and its body are at most this long.
constexpr std::size_t kMaxRequestHeaderBytes = 8 * 1024;
constexpr std::size_t kMaxRequestBodyBytes = 1024;
// A connection that has not finished its request, or its WebSocket handshake, in this
// time is dropped.
constexpr auto kHandshakeTime = 10s;
// A browser's message is read in pieces of at most this many bytes. Of a message longer
// than the game takes, only its first kMaxLineBytes + 1 bytes are kept and passed on:
// the game sees the line pass its limit and answers "Line too long.", as for any
// client, and the WebSocket stays open whatever the length.
constexpr std::size_t kReadPieceBytes = 4096;
constexpr std::size_t kMaxKeptLineBytes = net::kMaxLineBytes + 1;
// Connections that have not become a WebSocket yet, at most; more are closed at once.
constexpr int kMaxHttpConnections = 256;
// After the game has ended a connection, how long its last messages may take to leave.
constexpr auto kLingerTime = 10s;

constexpr const char* kSecurityPolicy = "default-src 'self'";

// Everything here lives on the web thread.
struct Door {
  explicit Door(WebOptions o) : options(std::move(o)), acceptor(io) {}
  WebOptions options;
  asio::io_context io;
  tcp::acceptor acceptor;
  int httpConnections = 0;             // HttpSessions alive
};

using Request = http::request<http::string_body>;

std::string_view View(beast::string_view text) { return {text.data(), text.size()}; }

// One browser after its WebSocket handshake: relays messages to the game and frames
// back to the browser.
class WebSession : public std::enable_shared_from_this<WebSession> {
 public:
  WebSession(asio::io_context& io, beast::tcp_stream stream, const sockaddr_in& peer)
      : io_(io), ws_(std::move(stream)), linger_(io), peer_(peer) {}

  void Start(const Request& request) {
    beast::get_lowest_layer(ws_).expires_never();  // the websocket's own timeouts apply now
    websocket::stream_base::timeout timeouts{};
    timeouts.handshake_timeout = kHandshakeTime;
    // No idle timeout, as on the game port: Beast would re-arm its timer on every read
    // and write, a cost on each line, and a player may stay quiet for hours.
    timeouts.idle_timeout = websocket::stream_base::none();
    timeouts.keep_alive_pings = false;
    ws_.set_option(timeouts);
    ws_.read_message_max(0);  // no limit: a message is held only up to kMaxKeptLineBytes
    ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
      response.set(http::field::server, "pelthollow");
    }));
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
      if (!error) self->OpenLink();
    });
  }

 private:
  void OpenLink() {
    doors::GameLink::Callbacks callbacks;
    callbacks.onFrame = [self = shared_from_this()](std::string_view text) { self->Queue(text); };
    callbacks.onClosed = [self = shared_from_this()] { self->GameEnded(); };
    beast::error_code error;
    link_ = doors::GameLink::Open(io_, peer_, std::move(callbacks), error);
    if (!link_) return CloseBrowser(websocket::close_code::internal_error);
    ReadNext();
  }

  void ReadNext() {
    ws_.async_read_some(incoming_, kReadPieceBytes,
                        [self = shared_from_this()](beast::error_code error, std::size_t) {
                          self->OnPiece(error);
                        });
  }

  void OnPiece(beast::error_code error) {
    // A closed, failed or protocol-breaking browser (invalid UTF-8 gets 1007 from Beast
    // itself): the lines it sent before still reach the game.
    if (error) {
      browserGone_ = true;
      link_->Close();
      return;
    }
    if (!ws_.got_text()) {
      CloseBrowser(websocket::close_reason(websocket::close_code::unknown_data,
                                           "Only text messages are accepted."));
      link_->Close();
      return;
    }
    line_.append(beast::buffers_to_string(incoming_.data()));
    incoming_.consume(incoming_.size());
    if (line_.size() > kMaxKeptLineBytes) line_.resize(kMaxKeptLineBytes);
    if (!ws_.is_message_done()) return ReadNext();
    std::string line;
    line.swap(line_);
    // The next message is read once this line is with the game, so a browser that
    // types faster than the game reads waits in its own TCP window.
    link_->SendLine(line, [self = shared_from_this()] {
      if (self->link_->IsOpen()) self->ReadNext();
    });
  }

  void Queue(std::string_view frame) {
    outgoing_.push_back({RepairUtf8(frame), frame.size()});
    WriteNext();
  }

  void WriteNext() {
    if (writing_) return;
    if (outgoing_.empty()) {
      if (gameEnded_) CloseBrowser(websocket::close_code::normal);
      return;
    }
    writing_ = true;
    ws_.text(true);
    ws_.async_write(asio::buffer(outgoing_.front().text),
                    [self = shared_from_this()](beast::error_code error, std::size_t) {
                      self->writing_ = false;
                      const std::size_t gameBytes = self->outgoing_.front().gameBytes;
                      self->outgoing_.pop_front();
                      if (error) {
                        self->browserGone_ = true;
                        self->outgoing_.clear();
                        self->link_->Close();
                        return;
                      }
                      self->link_->Consumed(gameBytes);
                      self->WriteNext();
                    });
  }

  // The game ended the connection: send what is left, then close with 1000. A browser
  // that does not take it within kLingerTime is cut off.
  void GameEnded() {
    gameEnded_ = true;
    if (browserGone_) return;
    linger_.expires_after(kLingerTime);
    linger_.async_wait([self = shared_from_this()](beast::error_code error) {
      if (error) return;  // cancelled: the close went through
      beast::error_code ignored;
      beast::get_lowest_layer(self->ws_).socket().close(ignored);
    });
    WriteNext();
  }

  // The one place the WebSocket is closed from this side; at most one close is started.
  void CloseBrowser(const websocket::close_reason& reason) {
    if (closing_ || browserGone_) return;
    closing_ = true;
    ws_.async_close(reason, [self = shared_from_this()](beast::error_code) { self->linger_.cancel(); });
  }

  struct Outgoing {
    std::string text;       // repaired for the browser
    std::size_t gameBytes;  // as the game sent it, for GameLink::Consumed
  };

  asio::io_context& io_;
  websocket::stream<beast::tcp_stream> ws_;
  asio::steady_timer linger_;
  sockaddr_in peer_;
  std::shared_ptr<doors::GameLink> link_;
  beast::flat_buffer incoming_;
  std::string line_;  // the message being read, at most kMaxKeptLineBytes
  std::deque<Outgoing> outgoing_;  // front() is being written when writing_
  bool writing_ = false;
  bool gameEnded_ = false;
  bool closing_ = false;      // a close of the WebSocket has been started
  bool browserGone_ = false;  // reading or writing failed: the WebSocket is finished
};

// One HTTP connection before any WebSocket: serves the page and its files, or hands
// an allowed upgrade to a WebSession.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  HttpSession(Door& door, tcp::socket socket, const sockaddr_in& peer)
      : door_(door), stream_(std::move(socket)), buffer_(kMaxRequestHeaderBytes), peer_(peer) {
    ++door_.httpConnections;
  }
  ~HttpSession() { --door_.httpConnections; }
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;

  void ReadRequest() {
    parser_.emplace();
    parser_->header_limit(kMaxRequestHeaderBytes);
    parser_->body_limit(kMaxRequestBodyBytes);
    stream_.expires_after(kHandshakeTime);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, std::size_t) {
                       if (!error) return self->Answer(self->parser_->release());
                       // A request that breaks HTTP or its limits is told so; a closed or
                       // timed-out connection is simply let go.
                       if (error == http::error::end_of_stream || error == beast::error::timeout ||
                           error == asio::error::operation_aborted || error == asio::error::eof ||
                           error == asio::error::connection_reset) {
                         return;
                       }
                       Request bad;
                       bad.keep_alive(false);
                       self->Send(bad, http::status::bad_request, "text/plain; charset=utf-8",
                                  "Bad request.\n");
                     });
  }

 private:
  void Answer(Request request) {
    const Route route = RouteRequest(View(request.method_string()), View(request.target()));
    switch (route) {
      case Route::Page:
        return Send(request, http::status::ok, "text/html; charset=utf-8", kPageHtml);
      case Route::Script:
        return Send(request, http::status::ok, "text/javascript; charset=utf-8", kPageScript);
      case Route::Style:
        return Send(request, http::status::ok, "text/css; charset=utf-8", kPageStyle);
      case Route::Icon:
        return Send(request, http::status::no_content, "image/x-icon", "");
      case Route::NotFound:
        return Send(request, http::status::not_found, "text/plain; charset=utf-8", "Not found.\n");
      case Route::MethodNotAllowed:
        return Send(request, http::status::method_not_allowed, "text/plain; charset=utf-8",
                    "Only GET is served here.\n");
      case Route::WebSocket:
        break;
    }
    if (!websocket::is_upgrade(request)) {
      return Send(request, http::status::bad_request, "text/plain; charset=utf-8",
                  "This address takes WebSocket connections only.\n");
    }
    if (!OriginAllowed(View(request[http::field::origin]), View(request[http::field::host]),
                       door_.options.origins)) {
      return Send(request, http::status::forbidden, "text/plain; charset=utf-8",
                  "This origin may not open the game. The operator can list it in "
                  "PELTHOLLOW_WEB_ORIGINS.\n");
    }
    std::make_shared<WebSession>(door_.io, std::move(stream_), peer_)->Start(request);
  }

  void Send(const Request& request, http::status status,
            const char* type, std::string_view body) {
    auto response = std::make_shared<http::response<http::string_body>>(status, request.version());
    response->set(http::field::server, "pelthollow");
    response->set(http::field::content_type, type);
    response->set("Content-Security-Policy", kSecurityPolicy);
    response->set("X-Content-Type-Options", "nosniff");
    response->set(http::field::cache_control, "no-cache");
    if (status == http::status::method_not_allowed) response->set(http::field::allow, "GET");
    response->keep_alive(request.keep_alive());
    response->body() = body;
    response->prepare_payload();
    http::async_write(stream_, *response,
                      [self = shared_from_this(), response](beast::error_code error, std::size_t) {
                        if (error) return;
                        if (response->keep_alive()) {
                          self->ReadRequest();
                        } else {
                          beast::error_code ignored;
                          self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                        }
                      });
  }

  Door& door_;
  beast::tcp_stream stream_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  sockaddr_in peer_;
};

}  // namespace

bool StartWebDoor(const WebOptions& options) {
  // Lives until the process ends: the web thread never stops.
  Door* door = new Door(options);
  beast::error_code error;
  if (!doors::Listen(door->acceptor, options.port, error)) {
    server::Log("Error binding web client port: " + std::to_string(error.value()) + "\n");
    delete door;
    return false;
  }
  server::Log("Web client on port " + std::to_string(options.port) + ".\n");
  doors::AcceptForever(door->acceptor, "web client", [door](tcp::socket socket, const sockaddr_in& peer) {
    if (door->httpConnections >= kMaxHttpConnections) return;  // the socket closes as it goes
    std::make_shared<HttpSession>(*door, std::move(socket), peer)->ReadRequest();
  });
  std::thread([door] { door->io.run(); }).detach();
  return true;
}

}  // namespace web
