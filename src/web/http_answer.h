// The HTTP/1.1 side of a web connection until its WebSocket upgrade: requests read
// with Beast's parser from the bytes the codec is given, and answered in order with the
// page, its files or an error. No I/O; one per connection, used by its codec's thread.
#pragma once

#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "web/web_codec.h"

namespace web {

class HttpAnswerer {
 public:
  enum class Result {
    Reading,   // every request so far is answered; the bytes of the next are held
    Upgraded,  // the 101 of an upgrade is written: the bytes after it are WebSocket's
    Finished,  // the last answer is written; the connection ends after it
  };

  explicit HttpAnswerer(std::shared_ptr<const WebCodecOptions> options);

  // Reads the requests in the bytes held from earlier reads and then in `bytes`, and
  // appends their answers to `toPeer` in order. A request that breaks HTTP or its
  // limits is answered 400 and ends the connection, as does the answer to a request
  // that does not keep the connection alive. On Upgraded, TakeRest() and then what is
  // left in `bytes` follow the upgrade request; on Finished the rest is not read.
  Result Read(std::string_view& bytes, std::string& toPeer);

  // After Upgraded: the held bytes that followed the upgrade request.
  std::string TakeRest() { return std::move(held_); }

  // After Upgraded: the client asked for the GMCP subprotocol, and got it.
  bool Gmcp() const { return gmcp_; }

 private:
  using Parser = boost::beast::http::request_parser<boost::beast::http::string_body>;
  using Request = boost::beast::http::request<boost::beast::http::string_body>;

  void ExpectRequest();
  Result Answer(const Request& request, std::string& toPeer);
  Result AnswerUpgrade(const Request& request, std::string& toPeer);

  std::shared_ptr<const WebCodecOptions> options_;
  std::optional<Parser> parser_;  // the request being read
  std::string held_;              // bytes the parser could not take yet, at most kMaxHeldBytes
  bool gmcp_ = false;
};

// Appends an answer that turns the connection away at once with `text` and a line feed:
// 503, closing the connection.
void AppendRefusal(std::string_view text, std::string& out);

}  // namespace web
