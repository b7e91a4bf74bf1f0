#include "base/password.h"

#include <sodium.h>

#include <array>

namespace base {

namespace {

constexpr std::string_view kHashPrefix = "$argon2id$";

// One per process, like the environment that chooses them: set once before other
// threads start (UseCheapPasswordHashes), then only read.
unsigned long long Passes = kPasswordPasses;
std::size_t MemoryBytes = kPasswordMemoryBytes;

bool SodiumReady() {
  static const bool ready = sodium_init() >= 0;  // safe to run from any thread, once
  return ready;
}

// libsodium takes its strings NUL-terminated.
std::string Terminated(std::string_view text) { return std::string(text); }

// A fixed-size digest, so that plain passwords of any lengths compare in constant time.
std::array<unsigned char, crypto_generichash_BYTES> Digest(std::string_view text) {
  std::array<unsigned char, crypto_generichash_BYTES> digest{};
  crypto_generichash(digest.data(), digest.size(),
                     reinterpret_cast<const unsigned char*>(text.data()), text.size(), nullptr, 0);
  return digest;
}

}  // namespace

void UseCheapPasswordHashes() {
  Passes = crypto_pwhash_argon2id_OPSLIMIT_MIN;
  MemoryBytes = crypto_pwhash_argon2id_MEMLIMIT_MIN;
}

bool CheapPasswordHashes() { return Passes != kPasswordPasses || MemoryBytes != kPasswordMemoryBytes; }

bool IsPasswordHash(std::string_view stored) {
  // A plain password may begin like a hash too: only one that libsodium can read is one
  // (needs_rehash is -1 for a string it cannot decode, whatever the costs asked).
  return stored.starts_with(kHashPrefix) && SodiumReady() &&
         crypto_pwhash_str_needs_rehash(Terminated(stored).c_str(), Passes, MemoryBytes) != -1;
}

std::optional<std::string> HashPassword(std::string_view plain) {
  if (!SodiumReady()) return std::nullopt;
  char out[crypto_pwhash_STRBYTES];
  if (crypto_pwhash_str_alg(out, plain.data(), plain.size(), Passes, MemoryBytes,
                            crypto_pwhash_ALG_ARGON2ID13) != 0) {
    return std::nullopt;
  }
  return std::string(out);
}

bool PasswordMatches(std::string_view stored, std::string_view typed) {
  if (!SodiumReady()) return false;
  if (IsPasswordHash(stored)) {
    return crypto_pwhash_str_verify(Terminated(stored).c_str(), typed.data(), typed.size()) == 0;
  }
  const auto a = Digest(stored);
  const auto b = Digest(typed);
  return sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

bool PasswordNeedsRehash(std::string_view stored) {
  if (!IsPasswordHash(stored) || !SodiumReady()) return true;
  return crypto_pwhash_str_needs_rehash(Terminated(stored).c_str(), Passes, MemoryBytes) != 0;
}

const std::string& DummyPasswordHash() {
  static const std::string dummy = HashPassword("no cat has this password").value_or("");
  return dummy;
}

}  // namespace base
