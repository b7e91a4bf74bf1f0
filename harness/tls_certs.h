// Test certificates for TLS: an authority made on the spot and the server certificates
// it signs, written as PEM files into a folder, for the unit tests and the end-to-end
// ones (Python's ssl, Chromium or tt++ trust the authority's file or the key's hash; a
// second certificate tests a swap). Any thread; an authority is used by one at a time.
#pragma once

#include <string>
#include <vector>

struct evp_pkey_st;
struct x509_st;

namespace harness {

struct IssuedCertificate {
  // The certificate, then the intermediate authority's that signed it: the full chain
  // a server sends.
  std::string certificateFile;
  std::string keyFile;  // its EC P-256 key, PKCS#8 PEM, not encrypted
  // The base64 SHA-256 of its public key, as Chromium's
  // --ignore-certificate-errors-spki-list takes it.
  std::string spkiSha256;
};

class TestAuthority {
 public:
  // Makes an authority with the common name `name`: a self-signed root, written to
  // `folder`/`stem`.pem, and an intermediate authority it signs, which signs the
  // server certificates, as public authorities do; EC P-256 keys, each valid from an
  // hour ago for 30 days. Ok() tells whether it worked.
  explicit TestAuthority(const std::string& folder, const std::string& name = "Pelthollow Test CA",
                         const std::string& stem = "ca");
  ~TestAuthority();
  TestAuthority(const TestAuthority&) = delete;
  TestAuthority& operator=(const TestAuthority&) = delete;

  bool Ok() const { return key_ != nullptr; }
  // The root's certificate, for a client to trust (PELTHOLLOW_TLS_CA, cafile=).
  const std::string& CaFile() const { return caFile_; }

  // Issues a server certificate for `names` (DNS names, and IP addresses, which go in
  // as addresses; the first is also the common name), valid from an hour ago for 30
  // days, and writes `folder`/`stem`.crt and `stem`.key, replacing files of those names
  // in place. All fields empty when it failed.
  IssuedCertificate Issue(const std::string& stem, const std::vector<std::string>& names = {
                                                       "localhost", "127.0.0.1", "::1"}) const;

 private:
  std::string folder_;
  std::string caFile_;
  evp_pkey_st* key_ = nullptr;  // the intermediate's
  x509_st* cert_ = nullptr;
  std::string intermediatePem_;
};

}  // namespace harness
