#include "tls_certs.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include "folder.h"

namespace harness {

namespace {

bool IsAddress(const std::string& text) {
  unsigned char bytes[16];
  return ::inet_pton(AF_INET, text.c_str(), bytes) == 1 ||
         ::inet_pton(AF_INET6, text.c_str(), bytes) == 1;
}

bool AddExtension(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (extension == nullptr) return false;
  const bool added = X509_add_ext(cert, extension, -1) == 1;
  X509_EXTENSION_free(extension);
  return added;
}

// A certificate for `key` named `name`, its serial random, not yet signed.
X509* NewCertificate(EVP_PKEY* key, const std::string& name) {
  X509* cert = X509_new();
  if (cert == nullptr) return nullptr;
  BIGNUM* serial = BN_new();
  X509_NAME* subject = X509_get_subject_name(cert);
  const bool ok = serial != nullptr && X509_set_version(cert, X509_VERSION_3) == 1 &&
                  BN_rand(serial, 63, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) == 1 &&
                  BN_to_ASN1_INTEGER(serial, X509_get_serialNumber(cert)) != nullptr &&
                  X509_gmtime_adj(X509_getm_notBefore(cert), -3600) != nullptr &&
                  X509_gmtime_adj(X509_getm_notAfter(cert), 30L * 24 * 3600) != nullptr &&
                  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                             reinterpret_cast<const unsigned char*>(name.c_str()),
                                             -1, -1, 0) == 1 &&
                  X509_set_pubkey(cert, key) == 1;
  BN_free(serial);
  if (!ok) {
    X509_free(cert);
    return nullptr;
  }
  return cert;
}

std::string Pem(X509* cert, EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  if (bio == nullptr) return "";
  const bool ok = cert != nullptr ? PEM_write_bio_X509(bio, cert) == 1
                                  : PEM_write_bio_PrivateKey(bio, key, nullptr, nullptr, 0, nullptr,
                                                             nullptr) == 1;
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  std::string text = ok && size > 0 ? std::string(data, static_cast<std::size_t>(size)) : "";
  BIO_free(bio);
  return text;
}

std::string SpkiSha256(X509* cert) {
  unsigned char* der = nullptr;
  const int size = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert), &der);
  if (size <= 0) return "";
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digestSize = 0;
  const bool ok = EVP_Digest(der, static_cast<std::size_t>(size), digest, &digestSize, EVP_sha256(),
                             nullptr) == 1;
  OPENSSL_free(der);
  if (!ok) return "";
  unsigned char text[2 * EVP_MAX_MD_SIZE];
  const int length = EVP_EncodeBlock(text, digest, static_cast<int>(digestSize));
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(length));
}

// Adds an authority's extensions to `cert` and signs it with `issuerKey`; `issuer` is
// null for a self-signed root. Key identifiers come after the subject's name and key
// (strict verifiers such as Python's ask for both).
bool SignAuthority(X509* cert, X509* issuer, EVP_PKEY* issuerKey, const char* pathLength) {
  X509* signer = issuer != nullptr ? issuer : cert;
  return X509_set_issuer_name(cert, X509_get_subject_name(signer)) == 1 &&
         AddExtension(cert, signer, NID_basic_constraints,
                      std::string("critical,CA:TRUE") + pathLength) &&
         AddExtension(cert, signer, NID_key_usage, "critical,keyCertSign,cRLSign") &&
         AddExtension(cert, signer, NID_subject_key_identifier, "hash") &&
         AddExtension(cert, signer, NID_authority_key_identifier, "keyid:always") &&
         X509_sign(cert, issuerKey, EVP_sha256()) > 0;
}

}  // namespace

TestAuthority::TestAuthority(const std::string& folder, const std::string& name,
                             const std::string& stem)
    : folder_(folder) {
  EVP_PKEY* rootKey = EVP_EC_gen("P-256");
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* root = rootKey != nullptr ? NewCertificate(rootKey, name) : nullptr;
  X509* cert = key != nullptr ? NewCertificate(key, name + " Intermediate") : nullptr;
  const bool ok = root != nullptr && cert != nullptr && SignAuthority(root, nullptr, rootKey, "") &&
                  SignAuthority(cert, root, rootKey, ",pathlen:0");
  const std::string rootPem = ok ? Pem(root, nullptr) : "";
  const std::string pem = ok ? Pem(cert, nullptr) : "";
  X509_free(root);
  EVP_PKEY_free(rootKey);
  if (rootPem.empty() || pem.empty()) {
    X509_free(cert);
    EVP_PKEY_free(key);
    return;
  }
  caFile_ = folder_ + "/" + stem + ".pem";
  WriteFile(caFile_, rootPem);
  key_ = key;
  cert_ = cert;
  intermediatePem_ = pem;
}

TestAuthority::~TestAuthority() {
  X509_free(cert_);
  EVP_PKEY_free(key_);
}

IssuedCertificate TestAuthority::Issue(const std::string& stem,
                                       const std::vector<std::string>& names) const {
  if (key_ == nullptr || names.empty()) return {};
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = key != nullptr ? NewCertificate(key, names.front()) : nullptr;
  std::string alternatives;
  for (const std::string& name : names) {
    if (!alternatives.empty()) alternatives += ',';
    alternatives += IsAddress(name) ? "IP:" : "DNS:";
    alternatives += name;
  }
  const bool ok = cert != nullptr &&
                  X509_set_issuer_name(cert, X509_get_subject_name(cert_)) == 1 &&
                  AddExtension(cert, cert_, NID_basic_constraints, "critical,CA:FALSE") &&
                  AddExtension(cert, cert_, NID_key_usage, "critical,digitalSignature") &&
                  AddExtension(cert, cert_, NID_ext_key_usage, "serverAuth") &&
                  AddExtension(cert, cert_, NID_subject_alt_name, alternatives) &&
                  AddExtension(cert, cert_, NID_subject_key_identifier, "hash") &&
                  AddExtension(cert, cert_, NID_authority_key_identifier, "keyid:always") &&
                  X509_sign(cert, key_, EVP_sha256()) > 0;
  IssuedCertificate issued;
  const std::string leaf = ok ? Pem(cert, nullptr) : "";
  const std::string keyPem = ok ? Pem(nullptr, key) : "";
  if (!leaf.empty() && !keyPem.empty()) {
    issued.certificateFile = folder_ + "/" + stem + ".crt";
    issued.keyFile = folder_ + "/" + stem + ".key";
    issued.spkiSha256 = SpkiSha256(cert);
    WriteFile(issued.certificateFile, leaf + intermediatePem_);
    WriteFile(issued.keyFile, keyPem);
  }
  X509_free(cert);
  EVP_PKEY_free(key);
  return issued;
}

}  // namespace harness
