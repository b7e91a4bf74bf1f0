#include "connection/tls_transport.h"

#include <string>

namespace connection {

namespace {

// Plaintext encrypted at once, at most: while the socket does not take the records,
// no more is taken from the layer, whose caps then see the output that waits.
constexpr std::size_t kPlaintextPerSend = 16 * 1024;

// The session and what one handshake step on a handshake thread takes and leaves (the
// records it makes wait in the session). While a step is out, the thread alone touches
// it; the queue's lock hands it over and the wake's hands it back.
struct TlsState {
  explicit TlsState(std::shared_ptr<const tls::ServerContext> context) : session(std::move(context)) {}
  tls::ServerSession session;
  std::string input;      // the peer's ciphertext for the step
  std::string plaintext;  // what came after the handshake's end in that ciphertext
};

class TlsTransport final : public Transport {
 public:
  TlsTransport(std::shared_ptr<const tls::ServerContext> context, tls::HandshakeThreads* threads)
      : state_(std::make_shared<TlsState>(std::move(context))), threads_(threads) {
    if (threads_ != nullptr) threads_->Began();
  }

  ~TlsTransport() override { EndHandshake(); }

  void SetWake(std::function<void()> wake) override { wake_ = std::move(wake); }

  IoResult Take(core::Socket s, std::string_view bytes, std::string& out) override {
    if (busy_) {
      // A client waits for the server's flight; what it sends meanwhile waits for the
      // step's return, within the handshake's own limit.
      if (held_.size() + bytes.size() > tls::kMaxServerHandshakeBytes) {
        return {IoState::Failed, 0, 0, "TLS: the handshake went past its byte limit"};
      }
      held_.append(bytes);
      return {IoState::Done, 0, bytes.size(), {}};
    }
    tls::ServerSession& session = state_->session;
    // The steps up to the signature go to a handshake thread; the rest (a Finished, a
    // TLS 1.2 key exchange) costs less than the hand-over would.
    if (threads_ != nullptr && wake_ && session.state() == tls::Session::State::kHandshake && !session.Signed()) {
      state_->input.assign(bytes);
      const bool queued = threads_->Submit([state = state_, wake = wake_] {
        state->session.Receive(state->input, state->plaintext);
        std::string().swap(state->input);
        wake();
      });
      if (!queued) {
        std::string().swap(state_->input);
        return {IoState::Failed, 0, 0, "TLS: too many handshakes wait for the handshake threads"};
      }
      busy_ = true;
      return {IoState::Done, 0, bytes.size(), {}};
    }
    session.Receive(bytes, out);
    return AfterSession(s, bytes.size());
  }

  IoResult Resume(core::Socket s, std::string& out) override {
    if (!busy_) return {IoState::WouldBlock, 0, 0, {}};
    busy_ = false;
    out.append(state_->plaintext);
    std::string().swap(state_->plaintext);
    IoResult result = AfterSession(s, 0);  // sends the step's records
    if (!held_.empty() && result.state == IoState::Done) {
      const std::string held = std::move(held_);
      held_.clear();
      result = Take(s, held, out);
    }
    return result;
  }

  IoResult TakeEnd(core::Socket s) override {
    (void)s;
    // While a step is out the session cannot be asked; a peer that hangs up mid-step
    // has left its handshake either way.
    if (busy_) return {IoState::Failed, 0, 0, "TLS: the peer left during the handshake"};
    state_->session.ReceiveEnd();
    if (state_->session.state() == tls::Session::State::kFailed) return Failure();
    return {IoState::Closed, 0, 0, {}};
  }

  IoResult Send(core::Socket s, std::string_view plain) override {
    const IoResult flushed = Flush(s);
    if (flushed.state != IoState::Done) return flushed;
    if (busy_ || !pending_.empty() || plain.empty()) return {IoState::WouldBlock, 0, 0, {}};
    const std::string_view piece = plain.substr(0, kPlaintextPerSend);
    state_->session.Send(piece);
    const IoResult after = AfterSession(s, piece.size());
    if (after.state == IoState::Failed || after.state == IoState::Reset) return after;
    return {IoState::Done, 0, piece.size(), {}};
  }

  bool WantsWrite() const override { return !pending_.empty(); }

  // Also once the peer's close_notify came, maybe in the very read that ended the
  // handshake: the lines before it are still the codec's to read and answer.
  bool Ready() const override {
    return !busy_ && state_->session.HandshakeDone() && state_->session.state() != tls::Session::State::kFailed;
  }

  void Close(core::Socket s) override {
    if (!busy_) {  // a handshake still out has nothing to close politely
      state_->session.Close();
      state_->session.TakeOutput(pending_);
    }
    Flush(s);
  }

  std::string Description() const override {
    if (busy_) return {};
    return std::string(state_->session.Version()) + " " + std::string(state_->session.Cipher());
  }

 private:
  // After the session has run: its records out to the socket, and its end.
  IoResult AfterSession(core::Socket s, std::size_t taken) {
    if (state_->session.state() != tls::Session::State::kHandshake) EndHandshake();
    state_->session.TakeOutput(pending_);
    const IoResult flushed = Flush(s);
    if (flushed.state == IoState::Failed || flushed.state == IoState::Reset) return flushed;
    if (state_->session.state() == tls::Session::State::kFailed) return Failure();
    if (state_->session.PeerClosed()) return {IoState::Closed, 0, taken, {}};
    return {IoState::Done, 0, taken, {}};
  }

  void EndHandshake() {
    if (threads_ == nullptr || handshakeEnded_) return;
    handshakeEnded_ = true;
    threads_->Ended();
  }

  IoResult Failure() const { return {IoState::Failed, 0, 0, "TLS: " + state_->session.Failure()}; }

  // Sends what the session made; Done when nothing is left, WouldBlock while the
  // socket is full.
  IoResult Flush(core::Socket s) {
    while (!pending_.empty()) {
      const IoResult sent = WriteSocket(s, pending_);
      if (sent.state != IoState::Done) return sent;
      pending_.erase(0, sent.bytes);
    }
    std::string().swap(pending_);  // an idle connection holds no buffer
    return {};
  }

  std::shared_ptr<TlsState> state_;    // the step out holds it too, and may outlive this
  tls::HandshakeThreads* threads_;     // null: every handshake step runs here
  std::function<void()> wake_;         // tells the owner a step is done; any thread
  bool busy_ = false;                  // a step is out: state_ is the thread's until Resume
  bool handshakeEnded_ = false;        // threads_ was told the handshake ended
  std::string held_;                   // ciphertext read while a step was out
  std::string pending_;                // records for the peer the socket has not taken yet
};

}  // namespace

std::unique_ptr<Transport> MakeTlsTransport(std::shared_ptr<const tls::ServerContext> context,
                                            tls::HandshakeThreads* threads) {
  return std::make_unique<TlsTransport>(std::move(context), threads);
}

}  // namespace connection
