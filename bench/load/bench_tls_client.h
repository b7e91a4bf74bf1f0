// The load generator's end of TLS: one OpenSSL context for all its connections, which
// trusts the authority the bench made for the server, and a session per connection over
// its non-blocking socket. The handshake runs inside the first reads and writes, as a
// client's would. A context is made and freed on one thread; its sessions may be used
// on any thread, each by one at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct ssl_st;
struct ssl_ctx_st;

namespace bench {

struct SslFree {
  void operator()(ssl_st* ssl) const;
};
using SslPtr = std::unique_ptr<ssl_st, SslFree>;

class TlsContext {
 public:
  // Trusts the authorities of the PEM file `caFile` and nothing else; a server must show
  // a certificate for 127.0.0.1. Ok() is false when the file cannot be used.
  explicit TlsContext(const std::string& caFile);
  ~TlsContext();
  TlsContext(const TlsContext&) = delete;
  TlsContext& operator=(const TlsContext&) = delete;

  bool Ok() const { return ctx_ != nullptr; }

  // A session for the connected socket `fd` (which stays the caller's to close), whose
  // ClientHello leaves with the first read or write; null when OpenSSL cannot make one.
  SslPtr Open(int fd) const;

 private:
  ssl_ctx_st* ctx_ = nullptr;
};

// What a read or a write through a session came to.
enum class TlsIo {
  Done,       // some bytes went through (`bytes` says how many)
  WantRead,   // nothing more until the socket is readable
  WantWrite,  // nothing more until the socket is writable
  Closed,     // the server ended the session or the connection
  Failed,     // the handshake or a record failed
};

// Reads plaintext into `buffer` (the handshake first, while it is not done). `bytes` is
// set on Done and left 0 otherwise.
TlsIo TlsRead(ssl_st* ssl, char* buffer, std::size_t size, std::size_t& bytes);

// Writes from `plaintext`, perhaps not all of it; the rest is given again, moved or not,
// once the socket allows.
TlsIo TlsWrite(ssl_st* ssl, std::string_view plaintext, std::size_t& bytes);

// True once the handshake of `ssl` is done.
bool TlsHandshakeDone(const ssl_st* ssl);

}  // namespace bench
