// Session: the sans-I/O engine of one TLS connection, either end, over OpenSSL. The
// caller gives it the ciphertext read from the socket and takes the plaintext out; it
// gives it plaintext and takes the ciphertext for the socket. No socket, no clock, no
// lock: a session is used by one thread at a time. ServerSession (tls_server.h) and
// ClientSession (tls_client.h) are the two ends.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct ssl_st;
struct bio_method_st;

namespace tls {

// Plaintext the caller sends before the handshake is done waits in the session, up to
// this many bytes; more fails the session (a peer that stalls its handshake must not
// make the server hold the game's output without bound).
inline constexpr std::size_t kMaxEarlyPlaintext = 64 * 1024;

class Session {
 public:
  enum class State {
    kHandshake,  // the handshake is under way: ciphertext goes both ways, no plaintext yet
    kOpen,       // plaintext flows both ways
    kClosed,     // ended cleanly: our close_notify went (Close) or the peer's came; each
                 // ends one direction: the peer's close leaves our sending, ours its
    kFailed,     // an error ended it; Failure() says which. Nothing more is read or sent
  };

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Takes ciphertext from the peer, cut anywhere, answers the handshake into the
  // output, and appends all the plaintext it completes to `plaintext` (over a session,
  // fewer bytes than the ciphertext it took). Between calls the session holds no
  // plaintext and at most one partial record (OpenSSL's read buffer, under 17 KiB);
  // during the handshake, at most the end's handshake limit (kMaxServerHandshakeBytes,
  // kMaxClientHandshakeBytes). A close_notify makes the session kClosed with
  // PeerClosed(); an error, a renegotiation attempt or a handshake past its limit makes
  // it kFailed. After our Close the peer's plaintext still comes, until its own
  // close_notify; once kFailed, or after the peer's close_notify, the bytes are ignored.
  void Receive(std::string_view ciphertext, std::string& plaintext);

  // The peer's input ended (the socket read 0). A session that had neither seen the
  // peer's close_notify nor sent its own fails: "the peer left during the handshake" or
  // "the connection was cut without close_notify". Otherwise nothing changes.
  void ReceiveEnd();

  // Encrypts `plaintext` into the output. Before the handshake is done it waits in the
  // session (kMaxEarlyPlaintext at most; more fails the session) and goes out, in order,
  // once the handshake is. Also after the peer's close_notify, until our Close: a peer
  // that closed its sending side still gets the answers to what it sent. Ignored once
  // kFailed or after our Close.
  void Send(std::string_view plaintext);

  // True when ciphertext waits to be taken for the socket.
  bool WantsWrite() const { return !output_.empty(); }

  // Moves the ciphertext waiting for the peer to the end of `out` and gives back its
  // memory. Callers take it after every call that may make some (Receive, Send,
  // Close): the session holds none of its own between calls.
  void TakeOutput(std::string& out);

  // Begins a clean close: once the handshake is done, a close_notify goes into the
  // output (if none went yet); the session is kClosed. During the handshake it is
  // kClosed with nothing sent. Nothing once kFailed.
  void Close();

  State state() const { return state_; }
  // True once the handshake finished, also after the session closed or failed.
  bool HandshakeDone() const { return handshakeDone_; }
  // True once the peer's close_notify came: a clean end rather than a cut.
  bool PeerClosed() const { return peerClosed_; }
  // A server's: true once it has signed its key exchange (TLS 1.3's CertificateVerify,
  // TLS 1.2's ServerKeyExchange). What is left of its handshake costs little.
  bool Signed() const { return signed_; }
  // Why the session failed ("wrong version number", "alert from the peer: unknown CA",
  // "certificate verify failed: hostname mismatch"); empty unless kFailed.
  const std::string& Failure() const { return failure_; }

  // What the handshake agreed, for the log line: "TLSv1.3", "TLS_AES_128_GCM_SHA256",
  // and the ALPN protocol ("http/1.1"). Empty before the handshake is done and for an
  // ALPN the peer did not offer.
  std::string_view Version() const;
  std::string_view Cipher() const;
  std::string_view Alpn() const;

 protected:
  // Takes ownership of `ssl`, made in the end's mode (connect or accept), and runs it
  // over a BIO of `method`; `owner` keeps whatever `ssl` and `method` depend on alive
  // until the SSL is freed. During the handshake at most `maxHandshakeBytes` of
  // ciphertext are taken. A null `ssl` or a BIO that cannot be made gives a session
  // that is kFailed ("out of memory").
  Session(ssl_st* ssl, const bio_method_st* method, std::shared_ptr<const void> owner,
          std::size_t maxHandshakeBytes);
  ~Session();

  // Runs the handshake as far as the input allows; sends the early plaintext once it
  // is done. The client calls it once at the start to write its ClientHello.
  void Handshake();

 private:
  friend struct BioCalls;

  void ReadRecords(std::string& plaintext);
  void Fail(std::string reason);
  // Fails with the reason for `result` of an SSL call (SSL_get_error and the queue).
  void FailAfter(int result);
  static void OnInfo(const ssl_st* ssl, int where, int value);

  std::shared_ptr<const void> owner_;  // freed after ssl_ (members go after the body)
  ssl_st* ssl_ = nullptr;
  std::string_view input_;          // ciphertext of the running Receive not yet read by OpenSSL
  std::string output_;              // ciphertext for the peer not yet taken
  std::string early_;               // plaintext sent before the handshake was done
  std::size_t handshakeBytesLeft_;  // ciphertext the handshake may still take
  State state_ = State::kHandshake;
  bool handshakeDone_ = false;
  bool peerClosed_ = false;
  bool localClose_ = false;     // Close was called
  bool renegotiation_ = false;  // the peer asked to renegotiate (seen by OnInfo)
  bool signed_ = false;         // seen by OnInfo
  std::string peerAlert_;       // the fatal alert the peer sent (seen by OnInfo)
  std::string failure_;
};

}  // namespace tls
