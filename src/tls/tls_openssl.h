// What the files of src/tls/ share behind their headers: the owners of OpenSSL's
// objects, the settings both ends use, the reading of PEM files and the OpenSSL error
// queue as text. Included only by src/tls/*.cpp; any thread.
#pragma once

#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <memory>
#include <string>
#include <string_view>

#include "base/status.h"
#include "tls/file_stamp.h"

namespace tls::detail {

struct SslCtxFree {
  void operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
using SslCtxPtr = std::unique_ptr<SSL_CTX, SslCtxFree>;
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

// TLS 1.2 suites: Mozilla's "intermediate" list without its DHE suites, so that no
// Diffie-Hellman parameters need configuring: ECDHE with AES-GCM or ChaCha20-Poly1305.
// TLS 1.3 keeps OpenSSL's default suites.
inline constexpr char kTls12Ciphers[] =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
inline constexpr char kGroups[] = "X25519:P-256:P-384";

// The largest PEM file read: a certificate chain or a bundle of authorities is far
// smaller.
inline constexpr std::size_t kMaxPemFileBytes = 1u << 20;

// The settings both ends share: TLS 1.2 and 1.3 only, the suites and groups above, no
// renegotiation, no compression, no session tickets, and read and write buffers given
// back whenever they run empty. False when OpenSSL refused one (out of memory).
bool ApplyCommonSettings(SSL_CTX* ctx);

// The file at `path` as it is now (stat, following symbolic links). Reads nothing.
FileStamp StampOf(const std::string& path);

// Reads the whole file at `path` (`what` names it in messages: "TLS certificate file")
// into `bytes` and its stamp, taken from the open file, into `stamp`: without blocking,
// and only a regular file of at most kMaxPemFileBytes (base/whole_file.h), so that a
// FIFO put in its place stops nobody. On failure returns the Status and leaves both
// untouched.
base::Status ReadPemFile(const std::string& path, std::string_view what, std::string& bytes,
                         FileStamp& stamp);

// A pass phrase callback that gives none: OpenSSL would otherwise ask the terminal for
// the pass phrase of an encrypted key, which then simply does not load.
int NoPassPhrase(char* buffer, int size, int writing, void* data);

// True when the error that ended a PEM read is only the end of the PEM text.
bool AtEndOfPem();

// The reason of the oldest error in this thread's OpenSSL error queue ("wrong version
// number", "key values mismatch"), or `otherwise` when the queue is empty. Empties the
// queue.
std::string TakeErrorText(std::string_view otherwise);

// The type of BIO through which a session's SSL reads the caller's ciphertext and
// writes the session's output (tls_session.cpp). One serves any number of sessions and
// must outlive them. Get() is null when it could not be made (out of memory).
class BioMethod {
 public:
  BioMethod();
  ~BioMethod();
  BioMethod(const BioMethod&) = delete;
  BioMethod& operator=(const BioMethod&) = delete;
  const BIO_METHOD* Get() const { return method_; }

 private:
  BIO_METHOD* method_;
};

}  // namespace tls::detail
