#include "tls/tls_client.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <utility>

#include "base/address.h"
#include "tls/tls_openssl.h"

namespace tls {

namespace {

using base::Status;

// Trusts the authorities of the PEM file at `path`, and those alone.
Status UseCaFile(SSL_CTX* ctx, const std::string& path) {
  std::string pem;
  FileStamp stamp;
  const Status status = detail::ReadPemFile(path, "TLS CA file", pem, stamp);
  if (!status.ok()) return status;
  const std::string file = "TLS CA file " + path;
  detail::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  X509_STORE* store = SSL_CTX_get_cert_store(ctx);
  if (bio == nullptr || store == nullptr) return Status::Failure("Out of memory reading " + file);
  int count = 0;
  for (;;) {
    detail::X509Ptr cert(PEM_read_bio_X509(bio.get(), nullptr, detail::NoPassPhrase, nullptr));
    if (cert == nullptr) break;
    if (X509_STORE_add_cert(store, cert.get()) != 1) {
      return Status::Failure(
          file + " has a certificate that was refused: " + detail::TakeErrorText("refused"));
    }
    ++count;
  }
  if (!detail::AtEndOfPem()) {
    return Status::Failure(file +
                           " holds a damaged certificate: " + detail::TakeErrorText("damaged"));
  }
  ERR_clear_error();
  if (count == 0) return Status::Failure(file + " holds no PEM certificate");
  return Status();
}

// Sets what the server's certificate must be for: an IP address for an address, a
// name otherwise, and the name goes out in SNI (which carries no addresses).
bool CheckHost(SSL* ssl, const std::string& host) {
  base::Address address;
  if (base::ParseAddress(host, address)) {
    return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), host.c_str()) == 1;
  }
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  return SSL_set_tlsext_host_name(ssl, host.c_str()) == 1 && SSL_set1_host(ssl, host.c_str()) == 1;
}

}  // namespace

Status ClientSession::Make(const ClientOptions& options, std::unique_ptr<ClientSession>& session) {
  std::string host = options.host;
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  if (host.empty() || host.find('\0') != std::string::npos) {
    return Status::Failure("No host to check the server's TLS certificate against");
  }
  detail::SslCtxPtr ctx(SSL_CTX_new(TLS_client_method()));
  auto method = std::make_shared<const detail::BioMethod>();
  if (ctx == nullptr || method->Get() == nullptr || !detail::ApplyCommonSettings(ctx.get())) {
    ERR_clear_error();
    return Status::Failure("Out of memory making a TLS context");
  }
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  if (options.caFile.empty()) {
    if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
      return Status::Failure("Error loading the system's TLS trust store: " +
                             detail::TakeErrorText("not found"));
    }
  } else {
    const Status status = UseCaFile(ctx.get(), options.caFile);
    if (!status.ok()) return status;
  }
  SSL* ssl = SSL_new(ctx.get());  // holds its own reference to ctx
  if (ssl == nullptr) {
    ERR_clear_error();
    return Status::Failure("Out of memory making a TLS session");
  }
  if (!CheckHost(ssl, host)) {
    SSL_free(ssl);
    return Status::Failure("TLS host " + host +
                           " cannot be checked: " + detail::TakeErrorText("refused"));
  }
  SSL_set_connect_state(ssl);
  std::unique_ptr<ClientSession> made(new ClientSession(ssl, std::move(method)));
  made->Handshake();
  session = std::move(made);
  return Status();
}

ClientSession::ClientSession(ssl_st* ssl, std::shared_ptr<const detail::BioMethod> method)
    : Session(ssl, method->Get(), method, kMaxClientHandshakeBytes) {}

}  // namespace tls
