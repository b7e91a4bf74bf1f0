// The server's end of TLS: ServerContext, the certificate, key and settings of a door,
// loaded from PEM files and reloaded when they change; ServerSession, one connection
// accepted through a context. A context is immutable once loaded: any thread may make
// sessions from it and ask whether its files changed. A session is used by one thread
// at a time.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "base/status.h"
#include "tls/file_stamp.h"
#include "tls/tls_session.h"

struct ssl_ctx_st;

namespace tls {

namespace detail {
class BioMethod;
}

// During the handshake a server session takes at most this much ciphertext: a real
// client's first flight (its ClientHello, and for TLS 1.2 the key exchange and Finished)
// is a few KiB; without the limit a ClientHello could make it hold up to 128 KiB.
inline constexpr std::size_t kMaxServerHandshakeBytes = 16 * 1024;

struct ServerOptions {
  std::string certificateFile;    // PEM: the server's certificate, then its chain
  std::string keyFile;            // PEM: its private key, not encrypted
  std::vector<std::string> alpn;  // ALPN protocols offered ("http/1.1"); empty: none
};

class ServerContext {
 public:
  // Reads both files of `options` and makes a context of them: TLS 1.2 and 1.3 only,
  // Mozilla's intermediate suites with the client's order of preference, no
  // renegotiation, no compression, no resumption (neither tickets nor a cache), read
  // and write buffers freed while a session is idle, and the ALPN list offered (a
  // client that offers none is served without; one that offers only others is refused,
  // as RFC 7301 says). On success sets `context`; on failure (a file missing or
  // unreadable, no certificate or key in it, the key not the certificate's, an ALPN
  // name not 1 to 255 bytes) returns a Status naming the file and leaves `context`
  // untouched.
  static base::Status Load(const ServerOptions& options,
                           std::shared_ptr<const ServerContext>& context);

  // Loads a fresh context from the same files and options, as Load does; `fresh` is
  // set only on success, so a caller keeps serving with this one while the new pair
  // does not load. Sessions made from this context keep it alive.
  base::Status Reload(std::shared_ptr<const ServerContext>& fresh) const;

  // True when either file's stamp is not what it was when this context read it
  // (replaced, rewritten, touched or gone). Two stat calls; reads neither file. After
  // a failed Reload it stays true: a caller that checks every tick should log a
  // failure only when the stamps differ from those of the last failure (Stamps).
  bool Changed() const;

  // The stamps of the certificate and key files now.
  static std::pair<FileStamp, FileStamp> Stamps(const ServerOptions& options);
  // The stamps of the files as this context read them.
  std::pair<FileStamp, FileStamp> LoadedStamps() const { return {certificateStamp_, keyStamp_}; }

  const ServerOptions& Options() const { return options_; }

  ServerContext(const ServerContext&) = delete;
  ServerContext& operator=(const ServerContext&) = delete;
  ~ServerContext();

 private:
  friend class ServerSession;
  ServerContext() = default;

  ssl_ctx_st* ctx_ = nullptr;
  std::unique_ptr<detail::BioMethod> method_;
  std::string alpnWire_;  // the ALPN list as the protocol writes it: length, name, ...
  ServerOptions options_;
  FileStamp certificateStamp_;
  FileStamp keyStamp_;
};

// One accepted connection. All of Session's calls, the handshake waiting for the
// client's first bytes.
class ServerSession : public Session {
 public:
  // A session over `context`, which it keeps alive. Out of memory it is kFailed.
  // REQUIRES: context is not null.
  explicit ServerSession(std::shared_ptr<const ServerContext> context);
  ~ServerSession() = default;
};

}  // namespace tls
