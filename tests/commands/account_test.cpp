#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/password.h"
#include "commands/interpreter.h"
#include "world/territory.h"
#include "world_fixture.h"

namespace {

using Texts = std::vector<std::string>;
using world::Clan;
using world::Role;

const std::string kFormat =
    "format: setup name password pronouns age(moons) role clan \" description \" genitalia nipples";
const std::string kCreated = "Character created. Entering game...";

class AccountTest : public WorldTest {
 protected:
  // Sets up a character on `socket` from the words after "setup", dropping the replies.
  const world::Character* Make(core::Socket socket, const std::string& words) {
    Type(socket, "setup " + words);
    Lines(socket);
    return Characters().CharacterOf(socket);
  }

  // Puts a stored character named `name` with password "pw" at (x, y).
  void Store(const std::string& name, int x, int y) {
    auto c = std::make_unique<world::Character>();
    c->name = name;
    c->password = "pw";
    c->role = Role::Warrior;
    c->x = x;
    c->y = y;
    Characters().Store(std::move(c));
  }

  std::size_t Held() {
    return Characters().InPlay().size() + Characters().Stored().size() + Characters().Kits().size();
  }
};

TEST_F(AccountTest, MinimalSetupEntersPlayAndDescribesTheDen) {
  Type(4, "setup Ash secret she 12 warrior ember \" \" x y");
  EXPECT_EQ(Lines(4),
            (Texts{kCreated, "You are in the Emberfold warriors' den.",
                   "North of you is Emberfold territory.",
                   "South of you is the Emberfold medicine cat's den.",
                   "East of you is the Emberfold camp.", "West of you is Emberfold territory."}));
  const world::Character* c = Characters().CharacterOf(4);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->name, "Ash");
  EXPECT_TRUE(base::PasswordMatches(c->password.Text(), "secret"));
  EXPECT_TRUE(base::IsPasswordHash(c->password.Text()));
  EXPECT_EQ(c->pronouns, "she");
  EXPECT_EQ(c->age, 360);
  EXPECT_EQ(c->role, Role::Warrior);
  EXPECT_EQ(c->clan, Clan::Emberfold);
  EXPECT_EQ(c->description, "");
  EXPECT_TRUE(c->anatomyFlag1);
  EXPECT_TRUE(c->anatomyFlag2);
  EXPECT_EQ(c->x, 22);
  EXPECT_EQ(c->y, 23);
  EXPECT_EQ(c->following, nullptr);
  EXPECT_EQ(c->healthOverall, 4);
  EXPECT_EQ(c->healthRightBackLeg, 4);
  ASSERT_NE(Characters().MoveQueueOf(*c), nullptr);
  EXPECT_TRUE(Characters().MoveQueueOf(*c)->Empty());
}

TEST_F(AccountTest, DescriptionAgeAndAnatomyWords) {
  const world::Character* c =
      Make(1, "Ash pw she 12moons warrior moss \" a small cat \" penis male");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->description, "a small cat ");
  EXPECT_EQ(c->age, 360);
  EXPECT_FALSE(c->anatomyFlag1);
  EXPECT_FALSE(c->anatomyFlag2);
  // The word opening the description is not examined; words after the two anatomy
  // words are ignored; empty words are words.
  c = Make(2, "Birch pw he +5 warrior moss anything  \"  mA extra words");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->description, " ");
  EXPECT_EQ(c->age, 150);
  EXPECT_TRUE(c->anatomyFlag1);
  EXPECT_TRUE(c->anatomyFlag2);
  c = Make(3, "Cedar pw he \t-2x warrior moss \" \" Penis m");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->age, -60);
  EXPECT_TRUE(c->anatomyFlag1);
  EXPECT_TRUE(c->anatomyFlag2);
  c = Make(5, "Dusk pw he 71582788 warrior moss \" \" a ma");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->age, 2147483640);
  EXPECT_FALSE(c->anatomyFlag2);
}

TEST_F(AccountTest, RoleWordsAndTheHealthOfEachRole) {
  struct Case {
    const char* word;
    Role role;
    int health;
  };
  const Case cases[] = {{"apprentice", Role::Apprentice, 2}, {"deputy", Role::Deputy, 4},
                        {"queen", Role::Queen, 4},           {"leader", Role::Leader, 4},
                        {"medicine", Role::MedicineCat, 4},  {"warrior", Role::Warrior, 4},
                        {"Leader", Role::Warrior, 4},        {"kitten", Role::Warrior, 4}};
  core::Socket socket = 10;
  for (const Case& test : cases) {
    const world::Character* c =
        Make(socket, std::string("N").append(std::to_string(socket)) + " pw x 3 " + test.word + " lark \" \" a b");
    ASSERT_NE(c, nullptr) << test.word;
    EXPECT_EQ(c->role, test.role) << test.word;
    EXPECT_EQ(c->healthHead, test.health) << test.word;
    EXPECT_EQ(c->healthLeftBackLeg, test.health) << test.word;
    ++socket;
  }
}

TEST_F(AccountTest, MedicineCatWrittenAsTwoWordsShiftsTheRest) {
  // "cat" becomes the clan word, "lark" opens the description and the first quote
  // closes it at once.
  const world::Character* c = Make(1, "Ash pw she 12 medicine cat lark \" x \" a b");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->role, Role::MedicineCat);
  EXPECT_EQ(c->clan, Clan::Fernfold);
  EXPECT_EQ(c->description, "");
  EXPECT_EQ(c->x, 22);  // Fernfold medicine cat's den
  EXPECT_EQ(c->y, 6);
}

TEST_F(AccountTest, ClanWordsCountByTheirBeginningAndCase) {
  const std::pair<const char*, Clan> cases[] = {
      {"lark", Clan::Larkfold},    {"larkfold", Clan::Larkfold}, {"Lark", Clan::Fernfold},
      {"embers", Clan::Emberfold}, {"ember", Clan::Emberfold},   {"emb", Clan::Fernfold},
      {"mossy", Clan::Mossfold},   {"fern", Clan::Fernfold},     {"", Clan::Fernfold}};
  core::Socket socket = 10;
  for (const auto& [word, clan] : cases) {
    const world::Character* c =
        Make(socket, std::string("N").append(std::to_string(socket)) + " pw x 3 queen " + word + " \" \" a b");
    ASSERT_NE(c, nullptr) << word;
    EXPECT_EQ(c->clan, clan) << word;
    const world::Cell nursery = world::StartCell(clan, Role::Queen);
    EXPECT_EQ(c->x, nursery.x) << word;
    EXPECT_EQ(c->y, nursery.y) << word;
    ++socket;
  }
}

TEST_F(AccountTest, UniqueRolesAreCheckedAgainstCharactersInPlayOnly) {
  Make(1, "Lead pw he 30 leader ember \" \" a b");
  Type(2, "setup Second pw he 30 leader ember \" \" a b");
  const Texts lines = Lines(2);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[0], "Role already taken, character set to Warrior.");
  EXPECT_EQ(lines[1], kCreated);
  EXPECT_EQ(lines[2], "You are in the Emberfold warriors' den.");
  EXPECT_EQ(Characters().CharacterOf(2)->role, Role::Warrior);
  EXPECT_EQ(Characters().CharacterOf(2)->healthOverall, 4);

  // Another clan, or another unique role, is free.
  EXPECT_EQ(Make(3, "Moss pw he 30 leader moss \" \" a b")->role, Role::Leader);
  EXPECT_EQ(Make(4, "Dep pw he 30 deputy ember \" \" a b")->role, Role::Deputy);
  EXPECT_EQ(Make(5, "Dep2 pw he 30 deputy ember \" \" a b")->role, Role::Warrior);
  EXPECT_EQ(Make(6, "Med pw he 30 medicine ember \" \" a b")->role, Role::MedicineCat);
  EXPECT_EQ(Make(7, "Med2 pw he 30 medicine ember \" \" a b")->role, Role::Warrior);

  // Once the first leader is stored away, the role is free again.
  Characters().LeavePlay(1);
  Type(8, "setup Third pw he 30 leader ember \" \" a b");
  const Texts third = Lines(8);
  ASSERT_FALSE(third.empty());
  EXPECT_EQ(third[0], kCreated);
  EXPECT_EQ(Characters().CharacterOf(8)->role, Role::Leader);
  EXPECT_EQ(Characters().CharacterOf(8)->y, 22);
}

TEST_F(AccountTest, KitsWaitInTheKitQueue) {
  Type(4, "setup Tiny pw she 1 kit moss \" \" a b");
  const std::string kitReply =
      "Entering into kit queue. You need to be born before you can play. "
      "(THIS IS UNIMPLEMENTED PLEASE CLOSE THE GAME)";
  EXPECT_EQ(Lines(4), Texts{kitReply});
  EXPECT_EQ(Characters().CharacterOf(4), nullptr);
  ASSERT_EQ(Characters().Kits().count(4), 1u);
  const world::Character& kit = *Characters().Kits().at(4);
  EXPECT_EQ(kit.x, -1);
  EXPECT_EQ(kit.y, -1);
  EXPECT_EQ(kit.healthTail, 1);
  EXPECT_EQ(Characters().MoveQueueOf(kit), nullptr);
  EXPECT_TRUE(Characters().Consistent());
  // Still not in play: help offers setup and login again.
  Type(4, "help");
  EXPECT_EQ(Lines(4).size(), 3u);
  // A second kit on the connection gets the same reply and is not kept.
  Type(4, "setup Tinier pw she 1 kit moss \" \" a b");
  EXPECT_EQ(Lines(4), Texts{kitReply});
  EXPECT_EQ(Characters().Kits().size(), 1u);
  EXPECT_EQ(Characters().Kits().at(4)->name, "Tiny");
  EXPECT_FALSE(Characters().NameTaken("Tinier"));
}

TEST_F(AccountTest, NamesHeldAnywhereAreTakenAndTheirOtherCasesTooClose) {
  Make(1, "Ash pw she 1 warrior moss \" \" a b");
  Make(2, "Tiny pw she 1 kit moss \" \" a b");
  Store("Stored", 3, 3);
  for (const char* name : {"Ash", "Tiny", "Stored"}) {
    Type(5, std::string("setup ") + name + " pw she 1 warrior moss \" \" a b");
    EXPECT_EQ(Lines(5), Texts{"Name already taken. Log in, or choose a different name."}) << name;
  }
  EXPECT_EQ(Characters().CharacterOf(5), nullptr);
  Type(5, "setup ash pw she 1 warrior moss \" \" a b");
  EXPECT_EQ(Lines(5), Texts{"That name is too close to another cat's name."});
}

TEST_F(AccountTest, ANameThatReadsLikeAnotherCatsIsRefused) {
  Store("Ashpaw", 3, 3);
  Store("Kestrel", 3, 3);
  Store("Griffin", 3, 3);
  Store("Ian", 3, 3);
  Make(1, "Tiny pw she 1 kit moss \" \" a b");
  const char* lookalikes[] = {
      "ashpaw", "ASHPAW", "Ashpaw.", "-Ash.paw-",
      "\xD0\x90shpaw",             // a Cyrillic A
      "Ashpa\xE1\xBA\x81",         // w with a grave accent
      "Ashpaw\xCC\x81",             // a combining acute after it
      "\xE2\x84\xAA" "estrel",     // the Kelvin sign
      "Gri\xEF\xAC\x83" "n",       // the ligature ffi
      "lan",                         // a capital I passes for an l
      "T\xD1\x96ny",                // a Cyrillic i, beside a waiting kit
  };
  for (const char* name : lookalikes) {
    Type(5, std::string("setup ") + name + " pw she 1 warrior moss \" \" a b");
    EXPECT_EQ(Lines(5), Texts{"That name is too close to another cat's name."}) << name;
  }
  EXPECT_EQ(Held(), 5u);
  // A kit's name is free once it is gone; names that only share letters are others.
  Characters().DropKit(1);
  EXPECT_NE(Make(7, "TINY pw she 1 warrior moss \" \" a b"), nullptr);
  EXPECT_NE(Make(8, "Ashpelt pw she 1 warrior moss \" \" a b"), nullptr);
  EXPECT_NE(Make(9, "Aschenbr\xC3\xB6" "del pw sie 2 warrior ember \" \" x y"), nullptr);
  EXPECT_TRUE(Characters().Consistent());
}

TEST_F(AccountTest, NamesThatAlreadyReadAlikeAreAllKept) {
  // A save file from before the rule: both load and can log in; a third is refused.
  Store("Ashpaw", 3, 3);
  Store("ASHPAW", 3, 3);
  EXPECT_TRUE(Characters().Consistent());
  Type(4, "login ASHPAW pw");
  EXPECT_EQ(Lines(4).front(), "Login successful. Entering game...");
  Type(5, "setup AshPaw pw she 1 warrior moss \" \" a b");
  EXPECT_EQ(Lines(5), Texts{"That name is too close to another cat's name."});
  // Names stay exact for login.
  Type(6, "login ashpaw pw");
  EXPECT_EQ(Lines(6), Texts{"Invalid username."});
}

TEST_F(AccountTest, LoginTakesAStoredCharacterWhereItStood) {
  Store("First", 1, 1);
  Store("Ash", 23, 23);
  Store("Last", 2, 2);
  world::Character* ash = Characters().FindStoredByName("Ash");
  ash->following = ash;  // login leaves following alone
  Type(4, "login Ash pw and more words");
  EXPECT_EQ(Lines(4),
            (Texts{"Login successful. Entering game...", "You are in the Emberfold camp.",
                   "North of you is the Emberfold leader's den.",
                   "South of you is the Emberfold camp.", "East of you is the Emberfold nursery.",
                   "West of you is the Emberfold warriors' den."}));
  EXPECT_EQ(Characters().CharacterOf(4), ash);
  EXPECT_EQ(ash->following, ash);
  ASSERT_EQ(Characters().Stored().size(), 2u);
  EXPECT_EQ(Characters().Stored()[0]->name, "First");
  EXPECT_EQ(Characters().Stored()[1]->name, "Last");
  EXPECT_TRUE(Characters().MoveQueueOf(*ash)->Empty());
  // Around again: store it, log in from another connection.
  Characters().LeavePlay(4);
  Type(9, "login Ash pw");
  EXPECT_EQ(Lines(9).size(), 6u);
  EXPECT_EQ(Characters().CharacterOf(9), ash);
  EXPECT_EQ(ash->x, 23);
}

TEST_F(AccountTest, LoginOfARecordOffTheMapPlacesItAtItsCamp) {
  Store("Lost", 40, -3);
  Characters().FindStoredByName("Lost")->clan = Clan::Larkfold;
  Type(4, "login Lost pw");
  EXPECT_EQ(Lines(4)[1], "You are in the Larkfold camp.");
  EXPECT_EQ(Characters().CharacterOf(4)->x, 7);
  EXPECT_EQ(Characters().CharacterOf(4)->y, 7);
}

// --- Refusals ---------------------------------------------------------------------

TEST_F(AccountTest, MalformedSetupLinesCreateNothing) {
  // Every byte prefix of a good line lacks a word or two: the format line, nothing made.
  const std::string good = "setup Ash pw she 12 leader ember \" a small cat \" x y";
  for (std::size_t length = 5; length < good.size(); ++length) {
    Type(4, good.substr(0, length));
    EXPECT_EQ(Lines(4), Texts{kFormat}) << good.substr(0, length);
    EXPECT_EQ(Held(), 0u) << good.substr(0, length);
  }
  const char* lines[] = {
      "setup Ash pw she old warrior ember \" \" x y",    // no number
      "setup Ash pw she  warrior ember \" \" x y \" z",  // empty age word
      "setup Ash pw she + warrior ember \" \" x y",
      "setup Ash pw she +-5 warrior ember \" \" x y",
      "setup Ash pw she -+5 warrior ember \" \" x y",
      "setup Ash pw she - warrior ember \" \" x y",
      "setup Ash pw she 71582789 warrior ember \" \" x y",  // 30 times is past 2^31-1
      "setup Ash pw she -71582789 warrior ember \" \" x y",
      "setup Ash pw she 99999999999 warrior ember \" \" x y",
      "setup  pw she 1 warrior ember \" \" x y",  // an empty name
  };
  for (const char* line : lines) {
    Type(4, line);
    EXPECT_EQ(Lines(4), Texts{kFormat}) << line;
    EXPECT_EQ(Held(), 0u) << line;
  }
  // The lowest age that fits still makes a character.
  EXPECT_EQ(Make(4, "Ash pw she -71582788 warrior ember \" \" x y")->age, -2147483640);
}

TEST_F(AccountTest, ControlBytesInStoredWordsCreateNothing) {
  const std::string lines[] = {
      "setup A\x1b[2Jsh pw she 1 warrior ember \" \" x y",
      "setup Ash p\tw she 1 warrior ember \" \" x y",
      "setup Ash pw sh\x7f 1 warrior ember \" \" x y",
      "setup Ash pw she 1 warrior ember \" a gr\ray cat \" x y",
      "setup Ash pw she 1 kit ember \" \x01 \" x y",
      // C1 controls, lone and as characters; format characters and separators
      "setup Ash pw she 1 warrior ember \" a\xC2\x85" "b \" x y",
      "setup Ash\xE2\x80\x8B pw she 1 warrior ember \" \" x y",
      "setup Ash pw sh\xE2\x80\xAE" "e 1 warrior ember \" \" x y",
      "setup Ash p\xE2\x80\xA8w she 1 warrior ember \" \" x y",
      "setup Ash\xC2\xA0" "Fur pw she 1 warrior ember \" \" x y",  // a space in a name
      // In a name, whatever shows as nothing: a grapheme joiner, variation selectors,
      // a Khmer inherent vowel, Hangul fillers, a blank Braille pattern, joiners and
      // marks that speech may hold, bytes that are no UTF-8
      "setup Ashpaw\xCD\x8F pw she 1 warrior ember \" \" x y",
      "setup Ashpaw\xEF\xB8\x8F pw she 1 warrior ember \" \" x y",
      "setup Ashpaw\xF3\xA0\x84\x80 pw she 1 warrior ember \" \" x y",
      "setup Ashpaw\xE1\x9E\xB4 pw she 1 warrior ember \" \" x y",
      "setup Ashpaw\xE3\x85\xA4 pw she 1 warrior ember \" \" x y",
      "setup Ashpaw\xE1\x85\x9F pw she 1 warrior ember \" \" x y",
      "setup Ashpaw\xE2\xA0\x80 pw she 1 warrior ember \" \" x y",
      "setup \xE3\x85\xA4 pw she 1 warrior ember \" \" x y",
      "setup Ash\xE2\x80\x8Dpaw pw she 1 warrior ember \" \" x y",
      "setup Ashpaw\xE2\x80\x8F pw she 1 warrior ember \" \" x y",
  };
  for (const std::string& line : lines) {
    Type(4, line);
    EXPECT_EQ(Lines(4), Texts{"Control characters are not allowed."});
    EXPECT_EQ(Held(), 0u);
  }
  // Words that are not stored as text may hold them; the age word may start with a tab.
  const world::Character* c = Make(4, "Ash pw she \t2 warrior\t ember\x1b \"\x07 \" x\n y\r");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->age, 60);
  EXPECT_EQ(c->role, Role::Warrior);
  EXPECT_EQ(c->clan, Clan::Emberfold);
  // Letters of any script, and a no-break space outside the name, are words.
  c = Make(5, "Aschenbrödel pw sie 2 warrior ember \" grau\xC2\xA0getigert \" x y");
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->description, "grau\xC2\xA0getigert ");
  EXPECT_NE(Make(6, "Пепел pw она 2 warrior ember \" \" x y"), nullptr);
}

TEST_F(AccountTest, ANameWithoutALetterCreatesNothing) {
  for (const char* name : {"...", "-", "42", "\xE2\x98\x85", "\xE2\x80\xA6!"}) {
    Type(4, std::string("setup ") + name + " pw she 1 warrior ember \" \" x y");
    EXPECT_EQ(Lines(4), Texts{"A name must hold a letter."}) << name;
  }
  EXPECT_EQ(Held(), 0u);
  EXPECT_NE(Make(4, "R2 pw she 1 warrior ember \" \" x y"), nullptr);
  EXPECT_NE(Make(5, "\xE7\x81\xB0 pw she 1 warrior ember \" \" x y"), nullptr);  // a CJK letter
}

TEST_F(AccountTest, ANameOfUnusualLettersOrOfTwoScriptsCreatesNothing) {
  Store("Ashpaw", 3, 3);
  const char* unusual[] = {
      "\xE1\xB4\x80shpaw",     // a small capital A
      "\xF0\x9C\xB3\x96shpaw",  // U+1CCD6, unknown to this server's Unicode
      "Ashpaw\xF0\x90\xB5\x90",  // U+10D50, the same
      "Birch\xD0\xB0",           // a Cyrillic a after Latin letters
      "Ash\xE7\x81\xB0",          // Latin and Han
  };
  for (const char* name : unusual) {
    Type(5, std::string("setup ") + name + " pw she 1 warrior moss \" \" a b");
    EXPECT_EQ(Lines(5), Texts{"A name must use the ordinary letters of one alphabet."}) << name;
  }
  EXPECT_EQ(Held(), 1u);
  // One script besides digits and the few marks names hold, accents included; Japanese
  // writes Han and kana together.
  core::Socket socket = 10;
  for (const char* name : {"\xD0\x9F\xD0\xB5\xD0\xBF\xD0\xB5\xD0\xBB", "\xCE\xA3\xCE\xBA\xCE\xB9\xCE\xAC",
                           "\xE7\x81\xB0\xE8\x89\xB2\xE3\x81\xAE\xE3\x81\xAD\xE3\x81\x93", "Zo\xC3\xAB",
                           "O'Malley-2"}) {
    EXPECT_NE(Make(socket++, std::string(name) + " pw she 1 warrior moss \" \" a b"), nullptr) << name;
  }
  // A name from before the rule still logs in.
  Store("\xE1\xB4\x80shfur", 3, 3);
  Type(4, "login \xE1\xB4\x80shfur pw");
  EXPECT_EQ(Lines(4).front(), "Login successful. Entering game...");
}

TEST_F(AccountTest, EachSetupAsksWhetherTheWorldCanBeSavedThen) {
  // The disk filled, or a save failed, since the last tick: the saver's check says so.
  World().keeping.SetCheck([] { return false; });
  Type(4, "setup Ash pw she 1 warrior moss \" \" a b");
  World().keeping.SetCheck(nullptr);
  EXPECT_EQ(Lines(4), Texts{"The world cannot be saved right now. Try again later."});
  EXPECT_EQ(Held(), 0u);
}

TEST_F(AccountTest, NameTakenIsAnsweredBeforeTheShapeOfTheLine) {
  Make(1, "Ash pw she 1 warrior moss \" \" a b");
  Type(2, "setup Ash pw she old warrior moss \" no closing quote");
  EXPECT_EQ(Lines(2), Texts{"Name already taken. Log in, or choose a different name."});
}

TEST_F(AccountTest, LoginRefusals) {
  Store("Ash", 3, 3);
  Make(1, "Playing pw she 1 warrior moss \" \" a b");
  Make(2, "Tiny pw she 1 kit moss \" \" a b");
  Type(4, "login");
  EXPECT_EQ(Lines(4), Texts{"format: login name password"});
  Type(4, "login Ash");
  EXPECT_EQ(Lines(4), Texts{"format: login name password"});
  for (const char* line :
       {"login Nobody pw", "login ash pw", "login Playing pw", "login Tiny pw"}) {
    Type(4, line);
    EXPECT_EQ(Lines(4), Texts{"Invalid username."}) << line;
  }
  EXPECT_EQ(Characters().CharacterOf(4), nullptr);
  EXPECT_EQ(Interpreter().sessions.Of(4).failedLogins, 0);
}

TEST_F(AccountTest, TheThirdWrongPasswordOnAConnectionEndsIt) {
  Store("Ash", 3, 3);
  Store("Birch", 3, 3);
  Type(4, "login Ash PW");
  EXPECT_EQ(Lines(4), Texts{"Incorrect password."});
  Type(4, "login Birch wrong");
  EXPECT_EQ(Lines(4), Texts{"Incorrect password."});
  EXPECT_FALSE(Interpreter().sessions.EndRequested(4));
  // Another connection keeps its own count.
  Type(5, "login Ash nope");
  EXPECT_EQ(Lines(5), Texts{"Incorrect password."});
  Type(4, "login Ash  pw");
  EXPECT_EQ(Lines(4), Texts{"Incorrect password."});
  EXPECT_TRUE(Interpreter().sessions.EndRequested(4));
  EXPECT_FALSE(Interpreter().sessions.EndRequested(5));
  EXPECT_EQ(Characters().Stored().size(), 2u);
}

}  // namespace
