// The TLS certificate and key of the doors' TLS twins (PELTHOLLOW_TLS_CERT and
// PELTHOLLOW_TLS_KEY): loaded at start, and loaded again for new connections when
// either file changes (a certbot deploy hook needs nothing more); open connections keep
// the pair they began with. Guarded by ConnectionLock: the input thread makes sessions
// from it, the tick checks the files.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "base/status.h"
#include "tls/tls_server.h"

namespace server {

class Certificates {
 public:
  // Loads the pair, once for each ALPN list asked for (the web twin offers
  // "http/1.1"). A pair that does not load is a failed start: the status says why.
  base::Status Load(const std::string& certificateFile, const std::string& keyFile);

  // The context new connections are made with: with ALPN "http/1.1" for the web twin,
  // without for the game and telnet twins. REQUIRES: Load succeeded; ConnectionLock held.
  std::shared_ptr<const tls::ServerContext> Plain() const;
  std::shared_ptr<const tls::ServerContext> Web() const;

  // Called each tick: when either file changed, loads the new pair and logs it ("Loaded
  // the new TLS certificate from <file>."), or logs why it did not load and keeps the old
  // one, once for each state of the files. REQUIRES: ConnectionLock held.
  void ReloadIfChanged();

 private:
  std::shared_ptr<const tls::ServerContext> plain_;
  std::shared_ptr<const tls::ServerContext> web_;
  std::pair<tls::FileStamp, tls::FileStamp> failedStamps_{};  // of the last pair that did not load
};

}  // namespace server
