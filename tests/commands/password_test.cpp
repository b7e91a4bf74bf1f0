#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/password.h"
#include "commands/interpreter.h"
#include "world_fixture.h"

namespace {

using Texts = std::vector<std::string>;

class PasswordCommandTest : public WorldTest {
 protected:
  PasswordCommandTest() {
    ash_ = &Place(4, "Ash", 3, 3);
    ash_->password = *base::HashPassword("old");
    Characters().TakeChanges();
  }
  ~PasswordCommandTest() override { World().keeping.Set(true); }

  world::Character* ash_;
};

TEST_F(PasswordCommandTest, TheRightOldPasswordSetsTheNewOneForTheNextSave) {
  Type(4, "password old n3w extra");
  EXPECT_EQ(Lines(4), Texts{"Password changed."});
  EXPECT_TRUE(base::PasswordMatches(ash_->password.Text(), "n3w"));
  EXPECT_TRUE(Characters().TakeChanges());
}

TEST_F(PasswordCommandTest, AWrongOldPasswordIsAFailedLoginAndTheThirdEndsTheConnection) {
  for (int i = 1; i <= 3; ++i) {
    EXPECT_FALSE(Interpreter().sessions.EndRequested(4)) << i;
    Type(4, "password guess" + std::to_string(i) + " new");
    EXPECT_EQ(Lines(4), Texts{"Incorrect password."});
  }
  EXPECT_TRUE(Interpreter().sessions.EndRequested(4));
  EXPECT_TRUE(base::PasswordMatches(ash_->password.Text(), "old"));
  EXPECT_FALSE(Characters().TakeChanges());
}

TEST_F(PasswordCommandTest, MissingWordsControlBytesAndAnUnsavableWorldChangeNothing) {
  for (const char* line : {"password", "password old", "password  old new", "password old "}) {
    Type(4, line);
    EXPECT_EQ(Lines(4), Texts{"format: password old new"}) << line;
  }
  Type(4, "password old n\x1b[2Jw");
  EXPECT_EQ(Lines(4), Texts{"Control characters are not allowed."});
  World().keeping.Set(false);
  Type(4, "password old new");
  EXPECT_EQ(Lines(4), Texts{"The world cannot be saved right now. Try again later."});
  EXPECT_TRUE(base::PasswordMatches(ash_->password.Text(), "old"));
  EXPECT_EQ(Interpreter().sessions.Of(4).failedLogins, 0);
}

}  // namespace
