// HTTP/1.1 for the doors that speak it (the web door until its WebSocket upgrade, the
// metrics door): requests read with Beast's parser from the bytes a codec is given,
// the checks every request gets, and the one function that writes every answer. What
// a request is answered with is the door's HttpSite. No I/O and no clock; one
// HttpAnswerer per connection, used by its codec's thread.
#pragma once

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/fields.h"

namespace web {

using HttpRequest = boost::beast::http::request<boost::beast::http::string_body>;
using HttpStatus = boost::beast::http::status;

// What becomes of the connection once an answer is written.
enum class After : std::uint8_t {
  NextRequest,  // the next request is read, if the request kept the connection alive
  Close,        // the connection ends after this answer
  Upgrade,      // a 101: the bytes after the request belong to the new protocol
};

// One answer. The views must hold until it is written: a site points them at text it
// keeps (the page, its own members), never at a temporary.
struct Reply {
  Reply(HttpStatus status = HttpStatus::ok, std::string_view type = {}, std::string_view body = {},
        std::string_view etag = {})
      : status(status), type(type), body(body), etag(etag) {}

  HttpStatus status;
  std::string_view type;           // of the body; empty: no Content-Type
  std::string_view body;           // left out of an answer to HEAD, as it is for 1xx, 204, 304
  std::string_view etag;           // a strong entity tag with its quotes; empty: none
  std::string headers;             // further header lines, each ending in CRLF (Allow, Upgrade)
  bool connectionUpgrade = false;  // "upgrade" is among the Connection options (101, 426)
  After after = After::NextRequest;
};

// A request that passed the checks every request gets (one valid Host, a method that is
// served, a target of origin or absolute form, a transfer coding understood).
struct RequestFacts {
  const HttpRequest& request;  // its header; its body is not read yet
  std::string_view path;       // of the target, without its query
  std::string_view host;       // the target's authority when it has one, else Host
  bool head = false;           // HEAD: the answer is GET's without its body
};

// What a door answers. Its answers depend on a request's header alone: the body, if
// any, is read afterwards and dropped.
class HttpSite {
 public:
  // The answer to `request`, called once its header is read.
  virtual Reply Serve(const RequestFacts& request) = 0;
  // False for a door that answers one request a connection, whatever the answer.
  virtual bool KeepsConnections() const { return true; }

 protected:
  ~HttpSite() = default;
};

class HttpAnswerer {
 public:
  enum class Result {
    Reading,   // every request so far is answered; the bytes of the next are held
    Upgraded,  // the 101 of an upgrade is written: the bytes after it are the new protocol's
    Finished,  // the last answer is written; the connection ends after it
  };

  // REQUIRES: `site` outlives the answerer.
  explicit HttpAnswerer(HttpSite& site);

  // Reads the requests in the bytes held from earlier reads and then in `bytes`, and
  // appends their answers to `toPeer` in order, each dated `unixSeconds`. A request
  // that breaks HTTP or its limits is answered 400 (413, 431 for a body or a header
  // too long) and ends the connection, as does the answer to a request that does not
  // keep the connection alive. A request with "Expect: 100-continue" whose body is still
  // to come gets "100 Continue" at once when its answer will be a success, and
  // otherwise that answer at once, ending the connection. On Upgraded, TakeRest() and
  // then what is left in `bytes` follow the upgrade request; on Finished the rest is
  // not read.
  Result Read(std::string_view& bytes, std::int64_t unixSeconds, std::string& toPeer);

  // After Upgraded: the held bytes that followed the upgrade request.
  std::string TakeRest() { return std::move(held_); }

  // True while bytes of a next request wait: one request is answered a Read, and the
  // caller reads again with no new bytes once the answer has left.
  bool HasUnread() const { return unread_; }

  // The requests answered since the last call: the work they cost, for the pace.
  std::size_t TakeAnswered() { return std::exchange(answered_, 0); }

  // The bytes of the request being read and of those waiting after it, as the fields
  // of one record. REQUIRES: the answers were counted (TakeAnswered); they are not
  // carried.
  void SaveState(base::FieldWriter& out) const;
  // Gives the bytes of the request being read to a fresh parser, as the Reads before
  // did, and makes its answer again (the site is asked anew; nothing is written: a
  // "100 Continue" went out before). False when `in` holds no answerer's state: bytes
  // past the caps, a request that ends or breaks within them.
  // REQUIRES: a new answerer, before any Read.
  bool RestoreState(base::FieldReader& in);

 private:
  using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;

  // The answer to the request being read, made once its header was.
  struct Pending {
    Reply reply;
    bool head = false;
    bool keepAlive = false;
    unsigned version = 11;
  };

  void ExpectRequest();
  Pending Check(const HttpRequest& request);
  Result Write(const Pending& pending, std::int64_t unixSeconds, std::string& toPeer);

  HttpSite& site_;
  std::optional<Parser> parser_;    // the request being read
  std::optional<Pending> pending_;  // its answer, once its header is read
  // The bytes the parser has taken of a request not yet whole, at most kMaxRequestBytes:
  // a parser's state cannot be written out, so SaveState hands on what made it.
  std::string taken_;
  std::string held_;                // bytes the parser has not taken yet
  bool unread_ = false;             // held_ holds a next request not yet offered to the parser
  std::size_t answered_ = 0;        // answers written since TakeAnswered
};

// The lines of `field` in `request` joined into one list, as RFC 9110 section 5.3 reads
// a header sent in several lines. Empty when there is none.
std::string FieldList(const HttpRequest& request, boost::beast::http::field field);

// How an answer is written: when, and for which request.
struct AnswerFor {
  std::optional<std::int64_t> unixSeconds;  // the Date; none when the time is not known
  bool head = false;
  bool keepAlive = false;
  unsigned version = 11;  // of the request: an HTTP/1.0 one kept alive is told so
};

// Appends `reply` as an HTTP/1.1 answer: the status line, Server, Date, the body's
// headers, `reply.headers`, the page's security headers, Connection and Content-Length
// (none for 1xx, 204 and 304), then the body unless the answer has none. The one place
// that writes an answer's head.
void AppendAnswer(const Reply& reply, const AnswerFor& answer, std::string& out);

// Appends an answer that turns the connection away at once with `text` and a line feed:
// 503, closing the connection. It carries no Date, which RFC 9110 section 6.6.1 lets a
// 5xx leave out: a refusal is written before any read, and so without the time.
void AppendRefusal(std::string_view text, std::string& out);

}  // namespace web
