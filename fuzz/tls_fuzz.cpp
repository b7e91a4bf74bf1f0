// Feeds arbitrary bytes, cut at arbitrary places, to a TLS server session as a client's
// ciphertext and checks that it never gives more plaintext than it was given, never
// answers one read with more than a handshake flight, never takes more handshake than
// its limit, always says why it failed, and is ended by the end of the input.
//
// The first byte is the cut (0: the whole input at once), the second says whether game
// output is sent before the handshake and whether the session is closed or cut at the
// end. Seeds: ClientHellos of the program's own client and of OpenSSL's (TLS 1.2 only,
// with ALPN), and HTTP.
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "tls/tls_server.h"
#include "tls/tls_session.h"

namespace {

// Far more than the server's first flight (its certificate and the handshake messages
// around it) or an alert.
constexpr std::size_t kMaxAnswer = 8 * 1024;

std::shared_ptr<const tls::ServerContext> context;

bool WritePem(const std::string& path, X509* cert, EVP_PKEY* key) {
  FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return false;
  const bool ok = cert != nullptr
                      ? PEM_write_X509(file, cert) == 1
                      : PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  return std::fclose(file) == 0 && ok;
}

// A self-signed certificate, made once: the server never checks its own.
void MakeContext() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  if (key == nullptr || cert == nullptr) std::abort();
  X509_set_version(cert, X509_VERSION_3);
  X509_gmtime_adj(X509_getm_notBefore(cert), 0);
  X509_gmtime_adj(X509_getm_notAfter(cert), 3600);
  X509_NAME_add_entry_by_txt(X509_get_subject_name(cert), "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, X509_get_subject_name(cert));
  X509_set_pubkey(cert, key);
  X509_sign(cert, key, EVP_sha256());
  char folder[] = "/tmp/tls_fuzz-XXXXXX";
  if (::mkdtemp(folder) == nullptr) std::abort();
  const tls::ServerOptions options{
      std::string(folder) + "/cert.pem", std::string(folder) + "/key.pem", {"http/1.1"}};
  if (!WritePem(options.certificateFile, cert, nullptr) ||
      !WritePem(options.keyFile, nullptr, key) ||
      !tls::ServerContext::Load(options, context).ok()) {
    std::abort();
  }
  ::unlink(options.certificateFile.c_str());
  ::unlink(options.keyFile.c_str());
  ::rmdir(folder);
  X509_free(cert);
  EVP_PKEY_free(key);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  MakeContext();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::size_t step = data[0] == 0 ? stream.size() + 1 : data[0];
  tls::ServerSession session(context);
  if ((data[1] & 1) != 0) session.Send("Welcome to Pelthollow.\n");
  std::string plaintext;
  std::string answer;
  std::size_t given = 0;
  for (std::size_t at = 0; at < stream.size(); at += step) {
    const std::string_view piece = stream.substr(at, step);
    session.Receive(piece, plaintext);
    given += piece.size();
    if (plaintext.size() > given) std::abort();
    answer.clear();
    session.TakeOutput(answer);
    if (answer.size() > kMaxAnswer + piece.size()) std::abort();
    if (session.WantsWrite()) std::abort();
    if (session.state() == tls::Session::State::kHandshake &&
        given > tls::kMaxServerHandshakeBytes) {
      std::abort();
    }
    if ((session.state() == tls::Session::State::kFailed) == session.Failure().empty()) {
      std::abort();
    }
  }
  if ((data[1] & 2) != 0) {
    session.Close();
  } else {
    session.ReceiveEnd();
  }
  const tls::Session::State end = session.state();
  if (end != tls::Session::State::kClosed && end != tls::Session::State::kFailed) std::abort();
  return 0;
}
