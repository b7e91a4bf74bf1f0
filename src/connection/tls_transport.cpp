#include "connection/tls_transport.h"

#include <string>

namespace connection {

namespace {

// Plaintext encrypted at once, at most: while the socket does not take the records,
// no more is taken from the layer, whose caps then see the output that waits.
constexpr std::size_t kPlaintextPerSend = 16 * 1024;

class TlsTransport final : public Transport {
 public:
  explicit TlsTransport(std::shared_ptr<const tls::ServerContext> context) : session_(std::move(context)) {}

  IoResult Take(Socket s, std::string_view bytes, std::string& out) override {
    session_.Receive(bytes, out);
    return AfterSession(s, bytes.size());
  }

  IoResult TakeEnd(Socket s) override {
    session_.ReceiveEnd();
    if (session_.state() == tls::Session::State::kFailed) return Failure();
    (void)s;
    return {IoState::Closed, 0, 0, {}};
  }

  IoResult Send(Socket s, std::string_view plain) override {
    const IoResult flushed = Flush(s);
    if (flushed.state != IoState::Done) return flushed;
    if (!pending_.empty() || plain.empty()) return {IoState::WouldBlock, 0, 0, {}};
    const std::string_view piece = plain.substr(0, kPlaintextPerSend);
    session_.Send(piece);
    const IoResult after = AfterSession(s, piece.size());
    if (after.state == IoState::Failed || after.state == IoState::Reset) return after;
    return {IoState::Done, 0, piece.size(), {}};
  }

  bool WantsWrite() const override { return !pending_.empty(); }

  // Also once the peer's close_notify came, maybe in the very read that ended the
  // handshake: the lines before it are still the codec's to read and answer.
  bool Ready() const override {
    return session_.HandshakeDone() && session_.state() != tls::Session::State::kFailed;
  }

  void Close(Socket s) override {
    session_.Close();
    session_.TakeOutput(pending_);
    Flush(s);
  }

  std::string Description() const override {
    return std::string(session_.Version()) + " " + std::string(session_.Cipher());
  }

 private:
  // After the session has run: its records out to the socket, and its end.
  IoResult AfterSession(Socket s, std::size_t taken) {
    session_.TakeOutput(pending_);
    const IoResult flushed = Flush(s);
    if (flushed.state == IoState::Failed || flushed.state == IoState::Reset) return flushed;
    if (session_.state() == tls::Session::State::kFailed) return Failure();
    if (session_.PeerClosed()) return {IoState::Closed, 0, taken, {}};
    return {IoState::Done, 0, taken, {}};
  }

  IoResult Failure() const { return {IoState::Failed, 0, 0, "TLS: " + session_.Failure()}; }

  // Sends what the session made; Done when nothing is left, WouldBlock while the
  // socket is full.
  IoResult Flush(Socket s) {
    while (!pending_.empty()) {
      const IoResult sent = WriteSocket(s, pending_);
      if (sent.state != IoState::Done) return sent;
      pending_.erase(0, sent.bytes);
    }
    std::string().swap(pending_);  // an idle connection holds no buffer
    return {};
  }

  tls::ServerSession session_;
  std::string pending_;  // records for the peer the socket has not taken yet
};

}  // namespace

std::unique_ptr<Transport> MakeTlsTransport(std::shared_ptr<const tls::ServerContext> context) {
  return std::make_unique<TlsTransport>(std::move(context));
}

}  // namespace connection
