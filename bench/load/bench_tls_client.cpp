#include "bench_tls_client.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <climits>

namespace bench {

void SslFree::operator()(ssl_st* ssl) const { SSL_free(ssl); }

TlsContext::TlsContext(const std::string& caFile) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) return;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  // A write may take part of the line, and the rest is handed over again from a buffer
  // that may have moved since.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // Read what the socket holds at once, as the TCP players do, rather than a record's
  // header and then its body in two calls: the round trip compared is the server's.
  SSL_CTX_set_read_ahead(ctx, 1);
  if (SSL_CTX_load_verify_locations(ctx, caFile.c_str(), nullptr) != 1) {
    ERR_clear_error();
    SSL_CTX_free(ctx);
    return;
  }
  ctx_ = ctx;
}

TlsContext::~TlsContext() { SSL_CTX_free(ctx_); }

SslPtr TlsContext::Open(int fd) const {
  if (ctx_ == nullptr) return nullptr;
  SslPtr ssl(SSL_new(ctx_));
  if (ssl == nullptr || SSL_set_fd(ssl.get(), fd) != 1 ||
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), "127.0.0.1") != 1) {
    ERR_clear_error();
    return nullptr;
  }
  SSL_set_connect_state(ssl.get());
  return ssl;
}

namespace {

TlsIo Outcome(SSL* ssl, int result) {
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ: return TlsIo::WantRead;
    case SSL_ERROR_WANT_WRITE: return TlsIo::WantWrite;
    case SSL_ERROR_ZERO_RETURN: return TlsIo::Closed;
    case SSL_ERROR_SYSCALL:
      ERR_clear_error();
      return TlsIo::Closed;  // the socket ended or was reset
    default:
      ERR_clear_error();
      return TlsIo::Failed;
  }
}

int Clamp(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

}  // namespace

TlsIo TlsRead(ssl_st* ssl, char* buffer, std::size_t size, std::size_t& bytes) {
  bytes = 0;
  const int n = SSL_read(ssl, buffer, Clamp(size));
  if (n > 0) {
    bytes = static_cast<std::size_t>(n);
    return TlsIo::Done;
  }
  return Outcome(ssl, n);
}

TlsIo TlsWrite(ssl_st* ssl, std::string_view plaintext, std::size_t& bytes) {
  bytes = 0;
  if (plaintext.empty()) return TlsIo::Done;
  const int n = SSL_write(ssl, plaintext.data(), Clamp(plaintext.size()));
  if (n > 0) {
    bytes = static_cast<std::size_t>(n);
    return TlsIo::Done;
  }
  return Outcome(ssl, n);
}

bool TlsHandshakeDone(const ssl_st* ssl) { return SSL_is_init_finished(ssl) == 1; }

}  // namespace bench
