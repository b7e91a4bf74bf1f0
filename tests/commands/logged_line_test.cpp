#include "commands/logged_line.h"

#include <gtest/gtest.h>

#include <string>

#include "commands/handlers.h"
#include "core/log.h"

namespace {

struct Case {
  std::string line;
  std::string logged;
  bool maskNext;
};

struct Logged {
  std::string text;
  bool maskNext;
};

// As the interpreter logs it.
Logged Log(const std::string& line, bool secret = false) {
  const commands::CommandLine split = commands::SplitWords(line);
  const bool setupParses = split.command == "setup" && commands::SetupLineParses(split);
  const std::vector<base::utf8::Character> characters = base::utf8::Characters(line);
  const commands::LoggedLine logged = commands::LogLine(line, split, characters, setupParses, secret);
  return {core::ShownText(line, characters, logged.shown), logged.maskNext};
}

TEST(LoggedLineTest, NoPasswordReachesTheLogHoweverItIsTyped) {
  const std::string setupRest = " she/her 8 apprentice ember \" small grey cat \" - -";
  const Case cases[] = {
      {"login Ashpaw SECRET", "login Ashpaw ***", false},
      {"login Oldtimer  hunter2", "login Oldtimer ***", false},
      {"login  Ashpaw SECRET", "login  ***", false},
      {"login Ashpaw SECRET and more", "login Ashpaw *** and more", false},
      {"login Ashpaw  ", "login Ashpaw *** ", true},
      {"setup Ash SECRET" + setupRest, "setup Ash ***" + setupRest, false},
      {"setup Ash \"" + setupRest, "setup Ash ***" + setupRest, false},  // a quote for a password
      {"setup Typo  SECRET 8 apprentice ember \" d \" - -",
       "setup Typo *** 8 apprentice ember \" d \" - -", false},
      // Lines that do not parse (the end-to-end test has the rest of the ways seen).
      {"setup Typo  SECRET" + setupRest, "setup ***", true},
      {"Login Ashpaw SECRET", "Login ***", true},
      {"\u3000LOGIN Ashpaw SECRET", "LOGIN ***", true},
      {"\ufeffSetup Ash SECRET" + setupRest, "Setup ***", true},
      {"setup", "setup ***", true},
      // Both words of a password change, and whatever follows them.
      {"password OLD NEW", "password *** ***", false},
      {"password OLD NEW NEW", "password *** ***", false},
      {"password  OLD NEW", "password ***", true},
      {"Password OLD NEW", "Password ***", true},
      {"password OLD", "password ***", true},
      // Not the command at all.
      {"loginAshpaw SECRET", "loginAshpaw SECRET", false},
      {"say login\x1b[2J", "say login\\x1b[2J", false},
  };
  for (const Case& c : cases) {
    const Logged logged = Log(c.line);
    EXPECT_EQ(logged.text, c.logged) << c.line;
    EXPECT_EQ(logged.maskNext, c.maskNext) << c.line;
  }
}

TEST(LoggedLineTest, TheLineAfterALoginWithoutItsPasswordIsMaskedWhole) {
  EXPECT_EQ(Log("SECRET", true).text, "***");
  EXPECT_FALSE(Log("SECRET", true).maskNext);
  EXPECT_EQ(Log("login Ashpaw SECRET", true).text, "login Ashpaw ***");
  EXPECT_EQ(Log("look", false).text, "look");
}

}  // namespace
