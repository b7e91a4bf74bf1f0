#include "base/password.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <string>

namespace {

TEST(PasswordTest, HashesAndPlainPasswordsFromOlderFiles) {
  const std::string hash = base::HashPassword("secret").value();
  EXPECT_TRUE(base::IsPasswordHash(hash));
  EXPECT_TRUE(base::PasswordMatches(hash, "secret"));
  EXPECT_FALSE(base::PasswordMatches(hash, "secre"));
  EXPECT_FALSE(base::PasswordNeedsRehash(hash));
  EXPECT_NE(base::HashPassword("secret").value(), hash);  // salted

  EXPECT_FALSE(base::IsPasswordHash("secret"));
  EXPECT_TRUE(base::PasswordMatches("secret", "secret"));
  EXPECT_FALSE(base::PasswordMatches("secret", "secret "));
  EXPECT_TRUE(base::PasswordMatches("", ""));
  EXPECT_TRUE(base::PasswordNeedsRehash("secret"));
  // A plain password that begins like a hash is still plain, and still lets its cat in.
  const std::string lookalike = "$argon2id$v=19$m=19456,t=2,p=1$my-old-password";
  EXPECT_FALSE(base::IsPasswordHash(lookalike));
  EXPECT_TRUE(base::PasswordMatches(lookalike, lookalike));
}

// --- Error paths -------------------------------------------------------------------

TEST(PasswordTest, DamagedHashesNeverMatchAndOldCostsAreRehashed) {
  const std::string hash = base::HashPassword("secret").value();
  EXPECT_FALSE(base::PasswordMatches(hash.substr(0, hash.size() - 1), "secret"));
  EXPECT_FALSE(base::PasswordMatches("$argon2id$", ""));
  EXPECT_FALSE(base::PasswordMatches(base::DummyPasswordHash(), ""));

  char cheaper[crypto_pwhash_STRBYTES];
  ASSERT_EQ(crypto_pwhash_str_alg(cheaper, "secret", 6, 1, 8 * 1024 * 1024,
                                  crypto_pwhash_ALG_ARGON2ID13),
            0);
  EXPECT_TRUE(base::PasswordMatches(cheaper, "secret"));
  EXPECT_TRUE(base::PasswordNeedsRehash(cheaper));
}

}  // namespace
