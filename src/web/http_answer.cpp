#include "web/http_answer.h"

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/beast/core/string.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/field.hpp>
#include <cstdint>
#include <utility>

#include "web/web_rules.h"

namespace web {

namespace {

namespace beast = boost::beast;
namespace http = beast::http;

// A request's headers (line included) and its body are at most this long.
constexpr std::size_t kMaxRequestHeaderBytes = 8 * 1024;
constexpr std::size_t kMaxRequestBodyBytes = 1024;
// Bytes held for a request the parser cannot read further yet. Its header never needs
// more before the parser gives up itself; a chunk's header line is held up to here.
constexpr std::size_t kMaxHeldBytes = kMaxRequestHeaderBytes + kMaxRequestBodyBytes;
// A request's bytes on the wire: its header and its body with the body's framing (the
// chunks' size lines and trailer), which the body's own limit does not count.
constexpr std::size_t kMaxRequestBytes = 2 * kMaxHeldBytes;
// Pipelined requests wait unread at most one read of the socket's worth, which the
// connection layer keeps well below this.
constexpr std::size_t kMaxUnreadBytes = 256 * 1024;

enum Tag : std::uint32_t {
  kTaken = 1,
  kHeld = 2,
  kUnread = 3,
};

constexpr std::string_view kPlainText = "text/plain; charset=utf-8";
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

std::string_view View(beast::string_view text) {
  return {text.data(), text.size()};
}

void AppendHeader(std::string_view name, std::string_view value, std::string& out) {
  out.append(name).append(": ").append(value).append("\r\n");
}

Reply Refusal(HttpStatus status, std::string_view body) {
  Reply reply{status, kPlainText, body};
  reply.after = After::Close;
  return reply;
}

// What a request that the parser could not read is answered with.
Reply BadRequest(beast::error_code error) {
  if (error == http::error::header_limit) {
    return Refusal(HttpStatus::request_header_fields_too_large,
                   "The request's header is too long.\n");
  }
  if (error == http::error::body_limit) {
    return Refusal(HttpStatus::payload_too_large, "The request's body is too long.\n");
  }
  return Refusal(HttpStatus::bad_request, "Bad request.\n");
}

// A request body in any transfer coding but chunked alone is not understood.
bool TransferCodingKnown(const HttpRequest& request) {
  const auto [first, last] = request.equal_range(http::field::transfer_encoding);
  return std::all_of(first, last,
                     [](const auto& field) { return beast::iequals(field.value(), "chunked"); });
}

// Whether the request lets the connection carry the next one (RFC 9112 section 9.3).
bool KeepsAlive(const HttpRequest& request) {
  const std::string options = FieldList(request, http::field::connection);
  if (ListsToken(options, "close")) return false;
  return request.version() >= 11 || ListsToken(options, "keep-alive");
}

bool ExpectsContinue(const HttpRequest& request) {
  return request.version() >= 11 &&
         ListsToken(FieldList(request, http::field::expect), "100-continue");
}

}  // namespace

std::string FieldList(const HttpRequest& request, http::field field) {
  std::string list;
  const auto [first, last] = request.equal_range(field);
  for (auto it = first; it != last; ++it) {
    if (!list.empty()) list += ", ";
    list += View(it->value());
  }
  return list;
}

HttpAnswerer::HttpAnswerer(HttpSite& site) : site_(site) {
  ExpectRequest();
}

void HttpAnswerer::ExpectRequest() {
  std::string().swap(taken_);
  parser_.emplace();
  parser_->header_limit(kMaxRequestHeaderBytes);
  parser_->body_limit(kMaxRequestBodyBytes);
}

HttpAnswerer::Result HttpAnswerer::Read(std::string_view& bytes, std::int64_t unixSeconds,
                                        std::string& toPeer) {
  unread_ = false;
  for (;;) {
    // The parser reads a header only when it has all of it; while held bytes wait for
    // the rest, the new bytes join them, as many as the bound lets in.
    const bool fromHeld = !held_.empty();
    if (fromHeld) {
      const std::size_t joining = std::min(bytes.size(), kMaxHeldBytes - std::min(kMaxHeldBytes, held_.size()));
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
    // A request that goes on past this piece keeps what the parser took of it.
    if (!parser_->is_done()) taken_.append(input.substr(0, used));
    if (fromHeld) {
      held_.erase(0, used);
    } else {
      bytes.remove_prefix(used);
    }
    if (error && error != http::error::need_more) {
      return Write({BadRequest(error)}, unixSeconds, toPeer);
    }
    if (taken_.size() > kMaxRequestBytes)
      return Write({BadRequest(http::error::body_limit)}, unixSeconds, toPeer);
    // The parser stops after a header, so each request's answer is made before its
    // body is read, and a client that waits for "100 Continue" is answered now.
    if (parser_->is_header_done() && !pending_) {
      pending_ = Check(parser_->get());
      if (!parser_->is_done() && ExpectsContinue(parser_->get())) {
        if (static_cast<unsigned>(pending_->reply.status) >= 300) {
          pending_->keepAlive = false;  // the body it would have sent is never read
          return Write(*pending_, unixSeconds, toPeer);
        }
        toPeer += kContinue;
      }
    }
    if (parser_->is_done()) {
      const Result result = Write(*pending_, unixSeconds, toPeer);
      pending_.reset();
      if (result != Result::Reading) return result;
      ExpectRequest();
      // One request a Read: the next waits, unread, until this answer has left, so a
      // client that pipelines requests is answered at the pace it reads them. What waits
      // is at most what one read of the socket brought.
      if (!fromHeld && !bytes.empty()) {
        held_.assign(bytes);
        bytes = {};
      }
      unread_ = !held_.empty();
      return Result::Reading;
    }
    if (used > 0) continue;
    // Nothing more can be read until more bytes come.
    if (input.size() >= kMaxHeldBytes) return Write({BadRequest({})}, unixSeconds, toPeer);
    if (!fromHeld) {
      held_.assign(bytes);
      bytes = {};
    }
    return Result::Reading;
  }
}

void HttpAnswerer::SaveState(base::FieldWriter& out) const {
  out.Bytes(kTaken, taken_);
  out.Bytes(kHeld, held_);
  out.Bool(kUnread, unread_);
}

bool HttpAnswerer::RestoreState(base::FieldReader& in) {
  const std::string_view taken = in.Bytes(kTaken);
  const std::string_view held = in.Bytes(kHeld);
  const bool unread = in.Bool(kUnread);
  // Requests wait unread only after one was whole; bytes the parser could not take yet
  // are fewer than it is shown at a time.
  if (!in.Good() || taken.size() > kMaxRequestBytes ||
      (unread ? held.empty() || !taken.empty() || held.size() > kMaxUnreadBytes
              : held.size() > kMaxHeldBytes)) {
    return false;
  }
  // The parser is shown what it was shown before, as Read shows it: what it took and
  // then what it could not take yet, for the end of a header's line tells whether the
  // next line goes on with it. It takes its pieces as they come whole, so it stands
  // where it stood at the end of what it took.
  if (!unread) {
    std::string bytes;
    bytes.reserve(taken.size() + held.size());
    bytes.append(taken).append(held);
    std::size_t used = 0;
    for (std::string_view rest = bytes; !rest.empty();) {
      const std::string_view input = rest.substr(0, kMaxHeldBytes);
      beast::error_code error;
      const std::size_t now = parser_->put(boost::asio::buffer(input.data(), input.size()), error);
      if ((error && error != http::error::need_more) || parser_->is_done()) return false;
      if (parser_->is_header_done() && !pending_) {
        pending_ = Check(parser_->get());
        // A refusal that the body was awaited for was written at once and ended the
        // connection.
        if (ExpectsContinue(parser_->get()) && static_cast<unsigned>(pending_->reply.status) >= 300)
          return false;
      }
      if (now == 0) break;
      used += now;
      rest.remove_prefix(now);
    }
    if (used != taken.size()) return false;
  }
  taken_.assign(taken);
  held_.assign(held);
  unread_ = unread;
  return true;
}

// The checks every request gets, in the order of the RFCs' precedence, then the site.
HttpAnswerer::Pending HttpAnswerer::Check(const HttpRequest& request) {
  Pending pending{{}, request.method() == http::verb::head, KeepsAlive(request), request.version()};
  const std::size_t hosts = request.count(http::field::host);
  Target target;
  if ((hosts == 0 && request.version() >= 11) || hosts > 1 ||
      !HostValid(View(request[http::field::host]))) {
    pending.reply = Refusal(HttpStatus::bad_request, "A request needs one valid Host header.\n");
  } else if (!TransferCodingKnown(request)) {
    pending.reply = Refusal(HttpStatus::not_implemented,
                            "Only the chunked transfer coding is understood here.\n");
  } else if (const MethodKind kind = KindOfMethod(View(request.method_string()));
             kind != MethodKind::Served) {
    if (kind == MethodKind::Unknown) {
      pending.reply = Refusal(HttpStatus::not_implemented, "This method is not known here.\n");
    } else {
      pending.reply = {HttpStatus::method_not_allowed, kPlainText,
                       "Only GET and HEAD are served here.\n"};
      pending.reply.headers = "Allow: GET, HEAD\r\n";
    }
  } else if (!ReadTarget(View(request.target()), target)) {
    pending.reply = Refusal(HttpStatus::bad_request, "Bad request target.\n");
  } else {
    // The authority of an absolute-form target stands for Host (RFC 9112 section 3.2.2).
    const std::string_view host =
        target.authority.empty() ? View(request[http::field::host]) : target.authority;
    pending.reply = site_.Serve({request, target.path, host, pending.head});
  }
  pending.keepAlive =
      pending.keepAlive && site_.KeepsConnections() && pending.reply.after != After::Close;
  return pending;
}

HttpAnswerer::Result HttpAnswerer::Write(const Pending& pending, std::int64_t unixSeconds,
                                         std::string& toPeer) {
  ++answered_;
  AppendAnswer(pending.reply, {unixSeconds, pending.head, pending.keepAlive, pending.version},
               toPeer);
  if (pending.reply.after == After::Upgrade) return Result::Upgraded;
  return pending.keepAlive ? Result::Reading : Result::Finished;
}

void AppendAnswer(const Reply& reply, const AnswerFor& answer, std::string& out) {
  const auto code = static_cast<unsigned>(reply.status);
  const bool bodiless = code < 200 || code == 204 || code == 304;
  out += "HTTP/1.1 ";
  out += std::to_string(code);
  out += ' ';
  out += View(http::obsolete_reason(reply.status));
  out += "\r\n";
  AppendHeader("Server", "pelthollow", out);
  if (answer.unixSeconds) AppendHeader("Date", HttpDate(*answer.unixSeconds), out);
  if (!bodiless && !reply.type.empty()) AppendHeader("Content-Type", reply.type, out);
  if (!reply.etag.empty()) AppendHeader("ETag", reply.etag, out);
  out += reply.headers;
  if (code >= 200) {
    AppendHeader("Content-Security-Policy", "default-src 'self'", out);
    AppendHeader("X-Content-Type-Options", "nosniff", out);
    AppendHeader("Cache-Control", "no-cache", out);
  }
  std::string options;
  if (code != 101 && !answer.keepAlive) {
    options = "close";
  } else if (code != 101 && answer.version < 11) {
    options = "keep-alive";
  }
  if (reply.connectionUpgrade) options += options.empty() ? "upgrade" : ", upgrade";
  if (!options.empty()) AppendHeader("Connection", options, out);
  if (!bodiless) AppendHeader("Content-Length", std::to_string(reply.body.size()), out);
  out += "\r\n";
  if (!bodiless && !answer.head) out += reply.body;
}

void AppendRefusal(std::string_view text, std::string& out) {
  std::string body;
  body.reserve(text.size() + 1);
  body.append(text);
  body.push_back('\n');
  AppendAnswer(Refusal(HttpStatus::service_unavailable, body), {}, out);
}

}  // namespace web
