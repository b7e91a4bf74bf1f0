#include "server/certificates.h"

#include "core/connection_lock.h"
#include "core/log.h"

namespace server {

base::Status Certificates::Load(const std::string& certificateFile, const std::string& keyFile) {
  const tls::ServerOptions plain{certificateFile, keyFile, {}};
  if (base::Status status = tls::ServerContext::Load(plain, plain_); !status.ok()) return status;
  const tls::ServerOptions web{certificateFile, keyFile, {"http/1.1"}};
  return tls::ServerContext::Load(web, web_);
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
  ASSERT_CONNECTION_LOCK_HELD();
  if (!plain_ || !plain_->Changed()) return;
  const auto stamps = tls::ServerContext::Stamps(plain_->Options());
  if (stamps == failedStamps_) return;  // said already
  std::shared_ptr<const tls::ServerContext> plain;
  std::shared_ptr<const tls::ServerContext> web;
  base::Status status = plain_->Reload(plain);
  if (status.ok()) status = web_->Reload(web);
  if (!status.ok()) {
    failedStamps_ = stamps;
    core::Log("The new TLS certificate did not load, the old one stays: " + status.Text() + "\n",
              core::LogPriority::Error);
    return;
  }
  plain_ = std::move(plain);
  web_ = std::move(web);
  failedStamps_ = {};
  core::Log("Loaded the new TLS certificate from " + plain_->Options().certificateFile + ".\n");
}

}  // namespace server
