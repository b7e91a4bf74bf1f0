#include "web/metrics_codec.h"

#include <boost/asio/buffer.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/parser.hpp>
#include <memory>
#include <optional>
#include <utility>

namespace web {

namespace {

namespace http = boost::beast::http;

constexpr std::size_t kMaxRequestBytes = 8 * 1024;
constexpr std::string_view kOpenMetrics = "application/openmetrics-text; version=1.0.0; charset=utf-8";

void AppendAnswer(std::string_view status, std::string_view type, std::string_view body,
                  std::string& out) {
  out += "HTTP/1.1 ";
  out += status;
  out += "\r\nServer: pelthollow\r\nContent-Type: ";
  out += type;
  out += "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
  out += body;
}

class MetricsCodec final : public connection::Codec {
 public:
  explicit MetricsCodec(std::shared_ptr<const std::function<std::string()>> render)
      : render_(std::move(render)) {
    parser_.header_limit(kMaxRequestBytes);
    parser_.body_limit(0);
  }

  bool PlaysFromStart() const override { return false; }
  const char* DoorName() const override { return "metrics"; }

  void Read(std::string_view bytes, connection::CodecEvents& events, std::string& toPeer) override {
    if (done_) return;
    const std::size_t room = kMaxRequestBytes - held_.size();
    held_.append(bytes.substr(0, room));
    boost::beast::error_code error;
    const std::size_t used = parser_.put(boost::asio::buffer(held_.data(), held_.size()), error);
    held_.erase(0, used);
    if (error == http::error::need_more && held_.size() < kMaxRequestBytes) return;
    done_ = true;
    events.Finished();
    if (error && error != http::error::need_more) {
      AppendAnswer("400 Bad Request", "text/plain", "Bad request.\n", toPeer);
    } else if (error || !parser_.is_header_done()) {
      AppendAnswer("431 Request Header Fields Too Large", "text/plain", "Too large.\n", toPeer);
    } else {
      const auto& request = parser_.get();
      const std::string_view target(request.target().data(), request.target().size());
      if (request.method() != http::verb::get) {
        AppendAnswer("405 Method Not Allowed", "text/plain", "Only GET.\n", toPeer);
      } else if (target != "/metrics") {
        AppendAnswer("404 Not Found", "text/plain", "Not found.\n", toPeer);
      } else {
        AppendAnswer("200 OK", kOpenMetrics, (*render_)(), toPeer);
      }
    }
    held_.clear();
  }

  void Write(std::string_view, std::string&) override {}

  void Refuse(std::string_view text, std::string& out) override {
    AppendAnswer("503 Service Unavailable", "text/plain", std::string(text) + "\n", out);
  }

 private:
  std::shared_ptr<const std::function<std::string()>> render_;
  http::request_parser<http::empty_body> parser_;
  std::string held_;  // bytes the parser has not taken yet, at most kMaxRequestBytes
  bool done_ = false;
};

}  // namespace

connection::CodecMaker MetricsCodecMaker(std::function<std::string()> render) {
  auto shared = std::make_shared<const std::function<std::string()>>(std::move(render));
  return [shared](const connection::Endpoints&) { return std::make_unique<MetricsCodec>(shared); };
}

}  // namespace web
