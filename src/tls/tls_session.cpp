#include "tls/tls_session.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "tls/tls_memory.h"
#include "tls/tls_openssl.h"

namespace tls {

// The BIO under every session's SSL: reads come from the ciphertext of the running
// Receive, without a copy into a buffer of the BIO's own, and writes go to the
// session's output. An empty input is "try again later", never end of file: the
// socket's end reaches the session through ReceiveEnd.
struct BioCalls {
  static int Read(BIO* bio, char* out, std::size_t size, std::size_t* read) {
    Session& session = *static_cast<Session*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    std::size_t count = std::min(size, session.input_.size());
    // A handshake may take only so much; the rest stays in input_ for Handshake to see.
    if (!session.handshakeDone_) count = std::min(count, session.handshakeBytesLeft_);
    *read = count;
    if (count == 0) {
      BIO_set_retry_read(bio);
      return 0;
    }
    std::memcpy(out, session.input_.data(), count);
    session.input_.remove_prefix(count);
    if (!session.handshakeDone_) session.handshakeBytesLeft_ -= count;
    return 1;
  }

  static int Write(BIO* bio, const char* in, std::size_t size, std::size_t* written) {
    Session& session = *static_cast<Session*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    session.output_.append(in, size);
    *written = size;
    return 1;
  }

  static long Control(BIO*, int command, long, void*) { return command == BIO_CTRL_FLUSH ? 1 : 0; }
};

namespace detail {

BioMethod::BioMethod() : method_(BIO_meth_new(BIO_TYPE_SOURCE_SINK, "pelthollow session")) {
  if (method_ == nullptr) return;
  if (BIO_meth_set_read_ex(method_, &BioCalls::Read) != 1 ||
      BIO_meth_set_write_ex(method_, &BioCalls::Write) != 1 ||
      BIO_meth_set_ctrl(method_, &BioCalls::Control) != 1) {
    BIO_meth_free(method_);
    method_ = nullptr;
  }
}

BioMethod::~BioMethod() {
  BIO_meth_free(method_);
}

}  // namespace detail

Session::Session(ssl_st* ssl, const bio_method_st* method, std::shared_ptr<const void> owner,
                 std::size_t maxHandshakeBytes)
    : owner_(std::move(owner)), ssl_(ssl), handshakeBytesLeft_(maxHandshakeBytes) {
  BIO* bio = ssl_ != nullptr && method != nullptr ? BIO_new(method) : nullptr;
  if (bio == nullptr) {
    Fail("out of memory");
    return;
  }
  BIO_set_data(bio, this);
  BIO_set_init(bio, 1);
  SSL_set_bio(ssl_, bio, bio);
  SSL_set_info_callback(ssl_, &Session::OnInfo);
}

Session::~Session() {
  SSL_free(ssl_);
}

void Session::Receive(std::string_view ciphertext, std::string& plaintext) {
  // After a Close during the handshake nothing is read either.
  if (state_ == State::kFailed || peerClosed_ || (localClose_ && !handshakeDone_)) return;
  const SessionRun run;
  input_ = ciphertext;
  Handshake();
  if (handshakeDone_ && state_ != State::kFailed) ReadRecords(plaintext);
  input_ = {};
}

void Session::ReceiveEnd() {
  if (state_ == State::kFailed || peerClosed_ || localClose_) return;
  Fail(handshakeDone_ ? "the connection was cut without close_notify"
                      : "the peer left during the handshake");
}

void Session::Send(std::string_view plaintext) {
  if (plaintext.empty()) return;
  if (state_ == State::kHandshake) {
    if (early_.size() + plaintext.size() > kMaxEarlyPlaintext) {
      Fail("more than " + std::to_string(kMaxEarlyPlaintext) +
           " bytes of output waited for the handshake");
      return;
    }
    early_.append(plaintext);
    return;
  }
  if (state_ != State::kOpen && !(peerClosed_ && !localClose_)) return;
  const SessionRun run;
  ERR_clear_error();
  std::size_t written = 0;
  const int result = SSL_write_ex(ssl_, plaintext.data(), plaintext.size(), &written);
  if (result != 1) FailAfter(result);
}

void Session::TakeOutput(std::string& out) {
  if (out.empty()) {
    out.swap(output_);
  } else {
    out.append(output_);
  }
  std::string().swap(output_);
}

void Session::Close() {
  if (state_ == State::kFailed || localClose_) return;
  localClose_ = true;
  std::string().swap(early_);
  if (handshakeDone_) {
    const SessionRun run;
    ERR_clear_error();
    SSL_shutdown(ssl_);  // 0: ours went, theirs not yet come; either way we are done
    ERR_clear_error();
  }
  state_ = State::kClosed;
}

std::string_view Session::Version() const {
  return handshakeDone_ ? std::string_view(SSL_get_version(ssl_)) : std::string_view();
}

std::string_view Session::Cipher() const {
  const SSL_CIPHER* cipher = handshakeDone_ ? SSL_get_current_cipher(ssl_) : nullptr;
  return cipher != nullptr ? std::string_view(SSL_CIPHER_get_name(cipher)) : std::string_view();
}

std::string_view Session::Alpn() const {
  const unsigned char* data = nullptr;
  unsigned int size = 0;
  if (handshakeDone_) SSL_get0_alpn_selected(ssl_, &data, &size);
  return data != nullptr ? std::string_view(reinterpret_cast<const char*>(data), size)
                         : std::string_view();
}

void Session::Handshake() {
  if (state_ != State::kHandshake) return;
  const SessionRun run;  // also the client's first call, which writes its ClientHello
  ERR_clear_error();
  const int result = SSL_do_handshake(ssl_);
  if (result == 1) {
    handshakeDone_ = true;
    state_ = State::kOpen;
    if (!early_.empty()) {
      const std::string early = std::exchange(early_, std::string());
      Send(early);
    }
    return;
  }
  if (SSL_get_error(ssl_, result) != SSL_ERROR_WANT_READ) {
    FailAfter(result);
  } else if (!input_.empty()) {
    // BioCalls::Read held the rest back: the handshake used up its bytes.
    Fail("the handshake went past its byte limit");
  }
}

void Session::ReadRecords(std::string& plaintext) {
  // One record's plaintext at most per read.
  char buffer[16 * 1024];
  ERR_clear_error();  // and a read that succeeds leaves the queue empty
  for (;;) {
    std::size_t got = 0;
    const int result = SSL_read_ex(ssl_, buffer, sizeof buffer, &got);
    // OpenSSL answers a renegotiation with a warning and reads on; we end it.
    if (renegotiation_) {
      Fail("renegotiation attempt refused");
      return;
    }
    if (result == 1) {
      plaintext.append(buffer, got);
      // With no ciphertext left, here or inside OpenSSL, another read would only say so.
      if (input_.empty() && SSL_has_pending(ssl_) == 0) return;
      continue;
    }
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ) return;
    if (error == SSL_ERROR_ZERO_RETURN) {
      ERR_clear_error();
      peerClosed_ = true;
      state_ = State::kClosed;
      return;
    }
    FailAfter(result);
    return;
  }
}

void Session::Fail(std::string reason) {
  state_ = State::kFailed;
  failure_ = std::move(reason);
  std::string().swap(early_);
}

void Session::FailAfter(int result) {
  const int error = SSL_get_error(ssl_, result);
  if (renegotiation_) {
    ERR_clear_error();
    Fail("renegotiation attempt refused");
  } else if (!peerAlert_.empty()) {
    ERR_clear_error();
    Fail("alert from the peer: " + peerAlert_);
  } else if (error == SSL_ERROR_SSL) {
    const unsigned long code = ERR_peek_error();
    std::string reason = detail::TakeErrorText("TLS error");
    if (ERR_GET_LIB(code) == ERR_LIB_SSL &&
        ERR_GET_REASON(code) == SSL_R_CERTIFICATE_VERIFY_FAILED) {
      reason += ": ";
      reason += X509_verify_cert_error_string(SSL_get_verify_result(ssl_));
    }
    Fail(std::move(reason));
  } else {
    ERR_clear_error();
    Fail("TLS error " + std::to_string(error));
  }
}

void Session::OnInfo(const ssl_st* ssl, int where, int value) {
  // The session is the BIO's data (an SSL's application data would cost it a stack).
  BIO* bio = SSL_get_rbio(ssl);
  auto* session = bio != nullptr ? static_cast<Session*>(BIO_get_data(bio)) : nullptr;
  if (session == nullptr) return;
  // SSL_CB_READ_ALERT and SSL_CB_WRITE_ALERT share their SSL_CB_ALERT bit.
  if ((where & SSL_CB_READ_ALERT) == SSL_CB_READ_ALERT && (value >> 8) == SSL3_AL_FATAL) {
    session->peerAlert_ = SSL_alert_desc_string_long(value);
  }
  // Called at each step of a server's handshake, with the message just written.
  if ((where & SSL_CB_ACCEPT_LOOP) != 0) {
    const OSSL_HANDSHAKE_STATE state = SSL_get_state(ssl);
    if (state == TLS_ST_SW_CERT_VRFY || state == TLS_ST_SW_KEY_EXCH) session->signed_ = true;
  }
  // The only way a renegotiation shows once SSL_OP_NO_RENEGOTIATION refuses it.
  if ((where & SSL_CB_WRITE_ALERT) == SSL_CB_WRITE_ALERT &&
      (value & 0xff) == SSL_AD_NO_RENEGOTIATION) {
    session->renegotiation_ = true;
  }
}

}  // namespace tls
