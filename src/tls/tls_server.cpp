#include "tls/tls_server.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <utility>

#include "tls/tls_openssl.h"

namespace tls {

namespace {

using base::Status;

// The first certificate of `pem` as the context's own, the others as its chain.
Status UseCertificates(SSL_CTX* ctx, const std::string& pem, const std::string& path) {
  const std::string file = "TLS certificate file " + path;
  detail::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (bio == nullptr) return Status::Failure("Out of memory reading " + file);
  detail::X509Ptr leaf(PEM_read_bio_X509(bio.get(), nullptr, detail::NoPassPhrase, nullptr));
  if (leaf == nullptr) {
    return Status::Failure(file +
                           " holds no PEM certificate: " + detail::TakeErrorText("no certificate"));
  }
  if (SSL_CTX_use_certificate(ctx, leaf.get()) != 1) {
    return Status::Failure(file + " was refused: " + detail::TakeErrorText("refused"));
  }
  for (;;) {
    detail::X509Ptr next(PEM_read_bio_X509(bio.get(), nullptr, detail::NoPassPhrase, nullptr));
    if (next == nullptr) {
      if (!detail::AtEndOfPem()) {
        return Status::Failure(file + " holds a damaged certificate after the first: " +
                               detail::TakeErrorText("damaged"));
      }
      ERR_clear_error();
      return Status();
    }
    if (SSL_CTX_add0_chain_cert(ctx, next.get()) != 1) {
      return Status::Failure(
          file + " has a chain certificate that was refused: " + detail::TakeErrorText("refused"));
    }
    (void)next.release();  // the context owns it now
  }
}

Status UseKey(SSL_CTX* ctx, const std::string& pem, const ServerOptions& options) {
  const std::string file = "TLS key file " + options.keyFile;
  detail::BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (bio == nullptr) return Status::Failure("Out of memory reading " + file);
  detail::PkeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, detail::NoPassPhrase, nullptr));
  if (key == nullptr) {
    return Status::Failure(
        file + " holds no unencrypted PEM private key: " + detail::TakeErrorText("no key"));
  }
  // A key of another type than the certificate's goes in unchecked; the check catches it.
  if (SSL_CTX_use_PrivateKey(ctx, key.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    ERR_clear_error();
    return Status::Failure(file + " does not match the certificate in " + options.certificateFile);
  }
  return Status();
}

// ALPN: the first protocol of ours that the client offers. None in common refuses the
// handshake (RFC 7301); a client that offers none never comes here.
int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outSize,
               const unsigned char* offered, unsigned int offeredSize, void* wire) {
  const auto& ours = *static_cast<const std::string*>(wire);
  unsigned char* selected = nullptr;
  unsigned char selectedSize = 0;
  if (SSL_select_next_proto(
          &selected, &selectedSize, reinterpret_cast<const unsigned char*>(ours.data()),
          static_cast<unsigned int>(ours.size()), offered, offeredSize) != OPENSSL_NPN_NEGOTIATED) {
    return SSL_TLSEXT_ERR_ALERT_FATAL;
  }
  *out = selected;
  *outSize = selectedSize;
  return SSL_TLSEXT_ERR_OK;
}

SSL* NewAccepting(SSL_CTX* ctx) {
  SSL* ssl = SSL_new(ctx);
  if (ssl != nullptr) SSL_set_accept_state(ssl);
  return ssl;
}

}  // namespace

Status ServerContext::Load(const ServerOptions& options,
                           std::shared_ptr<const ServerContext>& context) {
  std::string alpnWire;
  for (const std::string& name : options.alpn) {
    if (name.empty() || name.size() > 255) {
      return Status::Failure("ALPN protocol name \"" + name + "\" is not 1 to 255 bytes");
    }
    alpnWire += static_cast<char>(name.size());
    alpnWire += name;
  }
  std::string certificatePem;
  std::string keyPem;
  FileStamp certificateStamp;
  FileStamp keyStamp;
  Status status = detail::ReadPemFile(options.certificateFile, "TLS certificate file",
                                      certificatePem, certificateStamp);
  if (!status.ok()) return status;
  status = detail::ReadPemFile(options.keyFile, "TLS key file", keyPem, keyStamp);
  if (!status.ok()) return status;

  std::shared_ptr<ServerContext> made(new ServerContext());
  made->ctx_ = SSL_CTX_new(TLS_server_method());
  made->method_ = std::make_unique<detail::BioMethod>();
  if (made->ctx_ == nullptr || made->method_->Get() == nullptr ||
      !detail::ApplyCommonSettings(made->ctx_)) {
    ERR_clear_error();
    return Status::Failure("Out of memory making a TLS context");
  }
  // The server's order of suites holds (every one is AEAD with forward secrecy), except
  // that a client that puts ChaCha20 first, having no AES in hardware, gets it.
  SSL_CTX_set_options(made->ctx_, SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_PRIORITIZE_CHACHA);
  status = UseCertificates(made->ctx_, certificatePem, options.certificateFile);
  if (!status.ok()) return status;
  status = UseKey(made->ctx_, keyPem, options);
  if (!status.ok()) return status;
  made->alpnWire_ = std::move(alpnWire);
  if (!made->alpnWire_.empty()) {
    // The callback's argument lives in the context, which outlives its sessions.
    SSL_CTX_set_alpn_select_cb(made->ctx_, SelectAlpn, &made->alpnWire_);
  }
  made->options_ = options;
  made->certificateStamp_ = certificateStamp;
  made->keyStamp_ = keyStamp;
  context = std::move(made);
  return Status();
}

Status ServerContext::Reload(std::shared_ptr<const ServerContext>& fresh) const {
  return Load(options_, fresh);
}

bool ServerContext::Changed() const {
  return Stamps(options_) != LoadedStamps();
}

std::pair<FileStamp, FileStamp> ServerContext::Stamps(const ServerOptions& options) {
  return {detail::StampOf(options.certificateFile), detail::StampOf(options.keyFile)};
}

ServerContext::~ServerContext() {
  SSL_CTX_free(ctx_);
}

ServerSession::ServerSession(std::shared_ptr<const ServerContext> context)
    : Session(NewAccepting(context->ctx_), context->method_->Get(), context,
              kMaxServerHandshakeBytes) {}

}  // namespace tls
