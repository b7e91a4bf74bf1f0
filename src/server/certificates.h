// The TLS certificate and key of the doors' TLS twins (PELTHOLLOW_TLS_CERT and
// PELTHOLLOW_TLS_KEY): loaded at start, and loaded again for new connections when
// either file changes (a certbot deploy hook needs nothing more); open connections keep
// the pair they began with. The contexts in use are guarded by ConnectionLock (the
// input thread makes sessions from them); the files are checked and read by the tick
// thread without it, so a file that is slow to read holds up no player.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "base/status.h"
#include "tls/tls_server.h"

namespace server {

class Certificates {
 public:
  // Loads the pair, once for each ALPN list asked for (the web twin offers
  // "http/1.1"). A pair that does not load is a failed start: the status says why.
  // REQUIRES: called once, before the server's threads start.
  base::Status Load(const std::string& certificateFile, const std::string& keyFile);

  // The context new connections are made with: with ALPN "http/1.1" for the web twin,
  // without for the game and telnet twins. REQUIRES: Load succeeded; ConnectionLock held.
  std::shared_ptr<const tls::ServerContext> Plain() const;
  std::shared_ptr<const tls::ServerContext> Web() const;

  // Called each tick by the tick thread, WITHOUT ConnectionLock: when either file
  // changed, reads and loads the new pair and then takes the lock only to put it in
  // place, and logs it ("Loaded the new TLS certificate from <file>."); or logs why it
  // did not load (a file that is not a regular file of at most 1 MiB, no certificate,
  // a key that is not its own...) and keeps the old one, once for each state of the files.
  void ReloadIfChanged();

 private:
  // Set by Load; read-only afterwards.
  tls::ServerOptions options_;
  // Guarded by ConnectionLock.
  std::shared_ptr<const tls::ServerContext> plain_;
  std::shared_ptr<const tls::ServerContext> web_;
  // The tick thread's own.
  std::pair<tls::FileStamp, tls::FileStamp> loadedStamps_{};  // of the pair in use
  std::pair<tls::FileStamp, tls::FileStamp> failedStamps_{};  // of the last pair that did not load
};

}  // namespace server
