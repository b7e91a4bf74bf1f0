#include "server/certificates.h"

#include <mutex>

#include "core/connection_lock.h"
#include "core/log.h"

namespace server {

base::Status Certificates::Load(const std::string& certificateFile, const std::string& keyFile) {
  const tls::ServerOptions plain{certificateFile, keyFile, {}};
  if (base::Status status = tls::ServerContext::Load(plain, plain_); !status.ok()) return status;
  const tls::ServerOptions web{certificateFile, keyFile, {"http/1.1"}};
  if (base::Status status = tls::ServerContext::Load(web, web_); !status.ok()) return status;
  options_ = plain;
  loadedStamps_ = plain_->LoadedStamps();
  return base::Status();
}

std::shared_ptr<const tls::ServerContext> Certificates::Plain() const {
  ASSERT_CONNECTION_LOCK_HELD();
  return plain_;
}

std::shared_ptr<const tls::ServerContext> Certificates::Web() const {
  ASSERT_CONNECTION_LOCK_HELD();
  return web_;
}

void Certificates::ReloadIfChanged() {
  if (options_.certificateFile.empty()) return;  // no TLS door
  const auto stamps = tls::ServerContext::Stamps(options_);
  if (stamps == loadedStamps_ || stamps == failedStamps_) return;  // unchanged, or said already
  std::shared_ptr<const tls::ServerContext> plain;
  std::shared_ptr<const tls::ServerContext> web;
  base::Status status = tls::ServerContext::Load(options_, plain);
  if (status.ok()) status = tls::ServerContext::Load({options_.certificateFile, options_.keyFile, {"http/1.1"}}, web);
  if (!status.ok()) {
    failedStamps_ = stamps;
    core::Log("The new TLS certificate did not load, the old one stays: " + status.Text() + "\n",
              core::LogPriority::Error);
    return;
  }
  // The stamps of the files as read: a file that changed again since the stat above is
  // read again at the next tick.
  loadedStamps_ = plain->LoadedStamps();
  failedStamps_ = {};
  {
    std::lock_guard<core::FairLock> guard(core::ConnectionLock);
    plain_.swap(plain);
    web_.swap(web);
  }
  // The old contexts go here, outside the lock, unless sessions still hold them.
  core::Log("Loaded the new TLS certificate from " + options_.certificateFile + ".\n");
}

}  // namespace server
