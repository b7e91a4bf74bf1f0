#include "base/stored_password.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "base/password.h"

namespace {

// Whatever its form, a stored password gives back the very text it was made from, copied,
// moved and compared.
TEST(StoredPasswordTest, GivesBackEveryTextExactly) {
  const std::string hash = "$argon2id$v=19$m=19456,t=2,p=1$AQIDBAUGBwgJCgsMDQ4PEA$"
                           "ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgoM";
  struct Case {
    std::string text;
    bool compact;
  };
  const Case cases[] = {
      {hash, true},
      {base::HashPassword("secret").value(), true},
      {"$argon2id$v=19$m=8,t=1,p=1$AQIDBAUGBwgJCgsMDQ4PEA$ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgoM", true},
      {"", false},
      {"moonstone", false},
      {"$argon2id$v=19$m=19456,t=2,p=1$my-old-password", false},
      // Spare bits set in the last character of the salt: decoding and encoding again
      // would change it.
      {"$argon2id$v=19$m=19456,t=2,p=1$AQIDBAUGBwgJCgsMDQ4PEB$ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgoM", false},
      {"$argon2id$v=19$m=19456,t=2,p=1$AQIDBAUGBwgJCgsMDQ4PEA$ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgo", false},
      {"$argon2i$v=19$m=19456,t=2,p=1$AQIDBAUGBwgJCgsMDQ4PEA$ZGVmZ2hpamtsbW5vcHFyc3R1dnd4eXp7fH1+f4CBgoM", false},
  };
  for (const Case& c : cases) {
    const base::StoredPassword stored(c.text);
    EXPECT_EQ(stored.Text(), c.text);
    EXPECT_EQ(stored.Compact(), c.compact) << c.text;
    base::StoredPassword copy = stored;
    EXPECT_EQ(copy, stored);
    base::StoredPassword moved = std::move(copy);
    EXPECT_EQ(moved.Text(), c.text);
    moved = "other";
    EXPECT_EQ(moved.Text(), "other");
    moved = stored;
    EXPECT_EQ(moved, c.text);
  }
  EXPECT_FALSE(base::StoredPassword(hash) == base::StoredPassword("moonstone"));
  EXPECT_TRUE(base::PasswordMatches(base::StoredPassword(cases[1].text).Text(), "secret"));
}

}  // namespace
