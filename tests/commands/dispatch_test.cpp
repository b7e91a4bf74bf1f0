#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "world_fixture.h"

namespace {

using Texts = std::vector<std::string>;

class DispatchTest : public WorldTest {};

TEST_F(DispatchTest, UnknownWordsAndEmptyLines) {
  for (const std::string line : {"", "   ", "HELP", "swat", "Help me", "North", "no"}) {
    Type(5, line);
    EXPECT_EQ(Lines(5), Texts{"Unknown command."}) << '"' << line << '"';
  }
}

TEST_F(DispatchTest, CommandsOfTheOtherStateAreRefusedBeforeTheirWords) {
  for (const std::string line : {"look", "say hi", "n", "status", "time", "follow", "navigate", "stop", "password a b"}) {
    Type(5, line);
    EXPECT_EQ(Lines(5), Texts{"This command is not valid for you right now."}) << line;
  }
  Place(5, "Ash", 3, 3);
  for (const std::string line : {"setup", "login", "login Ash pw"}) {
    Type(5, line);
    EXPECT_EQ(Lines(5), Texts{"This command is not valid for you right now."}) << line;
  }
}

// Whatever the command, and in either state: a name or speech in another encoding
// would reach the others garbled.
TEST_F(DispatchTest, ALineThatIsNotUtf8IsAnsweredSoAndDoesNothing) {
  const Texts notUtf8{"Your client sent text that is not UTF-8; set its encoding to UTF-8."};
  for (const std::string line : {"setup Ren\xe9 pw she 1 warrior ember \" \" x y", "setup A\x9b" "2Jsh pw she 1 warrior ember \" \" x y",
                                 "login Ash\xff pw", "help \xc3"}) {
    Type(5, line);
    EXPECT_EQ(Lines(5), notUtf8) << line;
  }
  EXPECT_TRUE(Characters().Kits().empty() && Characters().InPlay().empty());
  Place(5, "Ash", 3, 3);
  Place(6, "Birch", 3, 3);
  Type(5, "say caf\xe9");
  EXPECT_EQ(Frames(), (std::map<core::Socket, std::string>{{5, notUtf8.front()}}));
  Type(5, "say caf\xc3\xa9");
  EXPECT_EQ(Lines(6), Texts{"Ash: caf\xc3\xa9 "});
}

TEST_F(DispatchTest, HelpBeforeAndAfterEnteringPlay) {
  Type(5, "help");
  EXPECT_EQ(Lines(5), (Texts{"help\tdisplays this message", "setup\tcreates a character",
                             "login\ttakes control of an existing character on the server"}));
  Place(5, "Ash", 3, 3);
  Type(5, "help");
  EXPECT_EQ(Lines(5),
            (Texts{"help\tdisplays this message", "categories:", "general", "movement",
                   "hunting (NOT IMPLEMENTED)", "combat (NOT IMPLEMENTED)",
                   "mating (NOT IMPLEMENTED)"}));
}

TEST_F(DispatchTest, HelpCategoriesInEitherState) {
  Type(5, "help general extra words");
  const Texts general = Lines(5);
  ASSERT_EQ(general.size(), 10u);
  EXPECT_EQ(general.front(), "help\tdisplays this message");
  EXPECT_EQ(general[6], "look\tshows what's around you, or the description of someone");
  EXPECT_EQ(general[7], "quit\tleaves the game");
  EXPECT_EQ(general[8], "screenreader\tturns screen reader mode on or off");
  EXPECT_EQ(general.back(), "password\tchanges your password");
  Type(5, "help movement");
  const Texts movement = Lines(5);
  ASSERT_EQ(movement.size(), 7u);
  EXPECT_EQ(movement.front(), "north\tmoves one area north");
  EXPECT_EQ(movement[5], "navigate\tdisplays direction to important landmarks");
  EXPECT_EQ(movement.back(), "stop\tforgets the movements you queued");
  Type(5, "help combat");
  EXPECT_EQ(Lines(5).size(), 5u);
  Type(5, "help mating");
  const Texts mating = Lines(5);
  ASSERT_EQ(mating.size(), 4u);
  EXPECT_EQ(mating.back(),
            "safeword\tsummons the force of skyfold to get you out of an uncomfy situation");
}

TEST_F(DispatchTest, QuitAndItsOtherWordsEndTheConnectionInEitherState) {
  Place(6, "Ash", 3, 3);
  for (const auto& [socket, line] : {std::pair{5, "quit"}, {6, "logout now"}, {7, "exit"}}) {
    EXPECT_FALSE(Interpreter().sessions.EndRequested(socket)) << line;
    Type(socket, line);
    EXPECT_EQ(Lines(socket), Texts{"Goodbye."}) << line;
    EXPECT_TRUE(Interpreter().sessions.EndRequested(socket)) << line;
  }
}

TEST_F(DispatchTest, UnknownHelpCategoriesGetNoAnswer) {
  for (const std::string line : {"help hunting", "help  general", "help General"}) {
    Type(5, line);
    EXPECT_TRUE(Frames().empty()) << line;
  }
}

}  // namespace
