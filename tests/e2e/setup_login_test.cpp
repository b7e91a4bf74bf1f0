// A player makes a character, meets another in its den, and takes the character back
// from a new connection after losing the first one; all through the real server.

#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"

namespace {

using e2e::Client;
using e2e::Server;
using namespace std::chrono_literals;

const std::string kWarriorsDen =
    "You are in the Emberfold warriors' den.\n"
    "North of you is Emberfold territory.\n"
    "South of you is the Emberfold medicine cat's den.\n"
    "East of you is the Emberfold camp.\n"
    "West of you is Emberfold territory.";

std::string SetupWarrior(const std::string& name) {
  return "setup " + name + " pw-" + name + " she 12 warrior emberfold \" a grey cat \" x y";
}

TEST(SetupLoginE2E, SetupShowsTheNewCharactersDen) {
  Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  Client a(server.Port());
  ASSERT_TRUE(a.ReadWelcome());
  EXPECT_EQ(a.Ask(SetupWarrior("Ash")), "Character created. Entering game...\n" + kWarriorsDen);
  EXPECT_EQ(a.Ask("look Ash"), "You see a a grey cat .");
  // The password never reaches the log.
  EXPECT_TRUE(server.WaitForLog(" : setup Ash *** she 12 warrior"));
  EXPECT_EQ(server.Log().find("pw-Ash"), std::string::npos);
}

TEST(SetupLoginE2E, CharactersInOneDenSeeEachOtherInConnectionOrder) {
  Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  Client a(server.Port());
  ASSERT_TRUE(a.ReadWelcome());
  Client b(server.Port());
  ASSERT_TRUE(b.ReadWelcome());
  Client c(server.Port());
  ASSERT_TRUE(c.ReadWelcome());
  // Made in the order c, a, b: the listing follows the connections, not the setups.
  ASSERT_TRUE(c.Ask(SetupWarrior("Cedar")));
  ASSERT_TRUE(a.Ask(SetupWarrior("Ash")));
  EXPECT_EQ(b.Ask(SetupWarrior("Birch")), "Character created. Entering game...\n" + kWarriorsDen +
                                              "\nEmberfold warrior Ash is here."
                                              "\nEmberfold warrior Cedar is here.");
  EXPECT_EQ(c.Ask("look"), kWarriorsDen +
                               "\nEmberfold warrior Ash is here."
                               "\nEmberfold warrior Birch is here.");
  // A second leader of the clan while the first is in play becomes a warrior.
  Client d(server.Port());
  ASSERT_TRUE(d.ReadWelcome());
  Client e(server.Port());
  ASSERT_TRUE(e.ReadWelcome());
  ASSERT_TRUE(d.Ask("setup Dusk pw he 40 leader ember \" \" x y"));
  const auto second = e.Ask("setup Elm pw he 40 leader ember \" \" x y");
  ASSERT_TRUE(second);
  EXPECT_EQ(second->rfind("Role already taken, character set to Warrior.\n"
                          "Character created. Entering game...\n" +
                              kWarriorsDen,
                          0),
            0u)
      << *second;
}

TEST(SetupLoginE2E, LoginFromANewConnectionStandsWhereTheCharacterStood) {
  Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  {
    Client first(server.Port());
    ASSERT_TRUE(first.ReadWelcome());
    ASSERT_TRUE(first.Ask("setup Fern pw she 30 leader lark \" \" x y"));
    // Out of the leader's den, so that the cell is none a setup would choose.
    ASSERT_EQ(first.Ask("w"), "Movement queued.");
    ASSERT_TRUE(first.WaitForFrame("Fern has entered the area.", 12s));
    ASSERT_EQ(first.Ask("navigate"),
              "The Larkfold camp is northeast of here.\nOldmeadow is southeast of here.");
  }
  ASSERT_TRUE(server.WaitForLog(" disconnected"));
  Client again(server.Port());
  ASSERT_TRUE(again.ReadWelcome());
  EXPECT_EQ(again.Ask("login Fern nope"), "Incorrect password.");
  EXPECT_EQ(again.Ask("login Fern pw"),
            "Login successful. Entering game...\n"
            "You are in Larkfold territory.\n"
            "North of you is the Larkfold warriors' den.\n"
            "South of you is Larkfold territory.\n"
            "East of you is the Larkfold leader's den.\n"
            "West of you is Larkfold territory.");
  EXPECT_EQ(again.Ask("status").value_or("").substr(0, 29), "Overall, your health is good.");
}

TEST(SetupLoginE2E, ThirdWrongPasswordEndsTheConnection) {
  Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  Client maker(server.Port());
  ASSERT_TRUE(maker.ReadWelcome());
  ASSERT_TRUE(maker.Ask("setup Rowan pw he 20 warrior moss \" \" x y"));
  maker.Close();
  ASSERT_TRUE(server.WaitForLog(" disconnected"));
  Client guesser(server.Port());
  ASSERT_TRUE(guesser.ReadWelcome());
  EXPECT_EQ(guesser.Ask("login Rowan a"), "Incorrect password.");
  EXPECT_EQ(guesser.Ask("login Nobody a"), "Invalid username.");
  EXPECT_EQ(guesser.Ask("login Rowan b"), "Incorrect password.");
  EXPECT_EQ(guesser.Ask("login Rowan c"), "Incorrect password.");
  EXPECT_TRUE(guesser.WaitForClose());
  // The server ended it and logged that like any other end.
  const std::size_t first = server.Log().find(" disconnected");
  EXPECT_TRUE(server.Proc().WaitForOutput(" disconnected", e2e::kTimeout, first + 1));
  // The character is still there for the right password.
  Client owner(server.Port());
  ASSERT_TRUE(owner.ReadWelcome());
  const auto frame = owner.Ask("login Rowan pw");
  ASSERT_TRUE(frame);
  EXPECT_EQ(
      frame->rfind("Login successful. Entering game...\nYou are in the Mossfold warriors' den.", 0),
      0u);
}

TEST(SetupLoginE2E, AKitsNameIsFreeOnceItsConnectionEnds) {
  Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  {
    Client parent(server.Port());
    ASSERT_TRUE(parent.ReadWelcome());
    ASSERT_EQ(parent.Ask("setup Tiny pw she 1 kit moss \" \" x y")->substr(0, 24),
              "Entering into kit queue.");
  }
  ASSERT_TRUE(server.WaitForLog(" disconnected"));
  Client again(server.Port());
  ASSERT_TRUE(again.ReadWelcome());
  EXPECT_EQ(again.Ask(SetupWarrior("Tiny")), "Character created. Entering game...\n" + kWarriorsDen);
}

TEST(SetupLoginE2E, MalformedSetupLinesMakeNothing) {
  Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  Client a(server.Port());
  ASSERT_TRUE(a.ReadWelcome());
  const std::string format =
      "format: setup name password pronouns age(moons) role clan \" description \" genitalia "
      "nipples";
  EXPECT_EQ(a.Ask("setup Ash pw she 12 warrior ember \" no closing quote here"), format);
  EXPECT_EQ(a.Ask("setup Ash pw she 12 warrior ember \" \" x"), format);
  EXPECT_EQ(a.Ask("setup Ash pw she old warrior ember \" \" x y"), format);
  EXPECT_EQ(a.Ask("setup Ash pw she 99999999999 warrior ember \" \" x y"), format);
  EXPECT_EQ(a.Ask(std::string("setup A\x1b[2Jsh pw she 1 warrior ember \" \" x y")),
            "Control characters are not allowed.");
  EXPECT_EQ(a.Ask("login Ash pw"), "Invalid username.");
  EXPECT_EQ(a.Ask(SetupWarrior("Ash")), "Character created. Entering game...\n" + kWarriorsDen);
}

}  // namespace
