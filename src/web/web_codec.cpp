#include "web/web_codec.h"

#include <utility>

#include "web/http_answer.h"
#include "web/websocket_codec.h"

namespace web {

namespace {

class WebCodec final : public connection::Codec {
 public:
  explicit WebCodec(std::shared_ptr<const WebCodecOptions> options)
      : http_(std::make_unique<HttpAnswerer>(std::move(options))) {}

  bool PlaysFromStart() const override { return false; }
  const char* DoorName() const override { return "web"; }

  void Read(std::string_view bytes, connection::CodecEvents& events, std::string& toPeer) override {
    if (state_ == State::Http) {
      switch (http_->Read(bytes, toPeer)) {
        case HttpAnswerer::Result::Reading:
          return;
        case HttpAnswerer::Result::Finished:
          Leave(State::Done);
          events.Finished();
          return;
        case HttpAnswerer::Result::Upgraded:
          break;
      }
      const std::string rest = http_->TakeRest();
      if (http_->Gmcp()) websocket_.UseGmcp();
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

  bool WantsData(std::string_view message) const override {
    return state_ == State::WebSocket && websocket_.WantsData(message);
  }

  void WriteData(std::string_view message, std::string& out) override {
    if (state_ == State::WebSocket) websocket_.WriteData(message, out);
  }

  void Finish(std::string& out) override {
    if (state_ == State::WebSocket) websocket_.Finish(out);
  }

 private:
  enum class State : std::uint8_t {
    Http,       // answering requests; http_ reads them
    WebSocket,  // upgraded: a player; websocket_ reads and writes (and knows its close)
    Done,       // the HTTP side ended the connection: nothing is read or written
  };

  // The HTTP side and its parser are let go, so an upgraded connection stays small.
  void Leave(State next) {
    http_.reset();
    state_ = next;
  }

  State state_ = State::Http;
  std::unique_ptr<HttpAnswerer> http_;  // while State::Http
  WebSocketCodec websocket_;
};

}  // namespace

std::unique_ptr<connection::Codec> MakeWebCodec(std::shared_ptr<const WebCodecOptions> options) {
  return std::make_unique<WebCodec>(std::move(options));
}

connection::CodecMaker WebCodecMaker(WebCodecOptions options) {
  auto shared = std::make_shared<const WebCodecOptions>(std::move(options));
  return [shared](const connection::Endpoints&) { return MakeWebCodec(shared); };
}

}  // namespace web
