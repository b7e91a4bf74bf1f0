// The save file writer: the exact bytes of a record, the order of the records, and a
// round trip through the reader of a world of many characters.
#include "persist/save_writer.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "persist/save_reader.h"
#include "world_fixture.h"

namespace {

class SaveWriterTest : public WorldTest {
 protected:
  static std::unique_ptr<world::Character> Stored(const std::string& name) {
    auto c = std::make_unique<world::Character>();
    c->name = name;
    c->x = 3;
    c->y = 4;
    return c;
  }
  void Store(const std::string& name) { Characters().Store(Stored(name)); }

  std::string Save() { return persist::FormatSave(World().clock, Characters().CharactersToSave()); }
};

TEST_F(SaveWriterTest, WritesEveryFieldOnItsOwnLine) {
  World().clock = {-3, 2879};
  auto c = Stored("Ash Tail");
  c->password = " p w ";
  c->pronouns = "";
  c->age = -360;
  c->role = world::Role::MedicineCat;
  c->clan = world::Clan::Fernfold;
  c->description = "a grey cat ";
  c->anatomyFlag1 = false;
  c->anatomyFlag2 = true;
  c->x = 0;
  c->y = 29;
  c->healthOverall = INT32_MIN;
  c->healthHead = -1;
  c->healthBody = 0;
  c->healthTail = 1;
  c->healthLeftFrontLeg = 2;
  c->healthRightFrontLeg = 3;
  c->healthLeftBackLeg = 4;
  c->healthRightBackLeg = INT32_MAX;
  c->extra1 = 10;
  c->extra2 = -20;
  Characters().Store(std::move(c));
  EXPECT_EQ(Save(),
            "PLTHO\n-3\n2879\nCHARAS\n"
            "CHARA\nAsh Tail\n p w \n\n-360\n32\n4\na grey cat \n0\n1\n0\n29\n"
            "-2147483648\n-1\n0\n1\n2\n3\n4\n2147483647\n10\n-20\n"
            "CHARAEND\n"
            "CHARASEND\n");
}

TEST_F(SaveWriterTest, AnEmptyWorldIsFiveLines) {
  EXPECT_EQ(Save(), "PLTHO\n0\n0\nCHARAS\nCHARASEND\n");
}

TEST_F(SaveWriterTest, StoredFirstThenInPlayByHandleAndNeverKits) {
  Store("Stored1");
  Store("Stored2");
  Place(9, "Nine", 5, 5);
  Place(2, "Two", 5, 5);
  Place(5, "Five", 6, 6).following = Characters().CharacterOf(2);
  Characters().LeavePlay(5);  // stored after the loaded ones
  auto kit = Stored("Kit");
  kit->x = kit->y = -1;
  Characters().ParkKit(7, std::move(kit));

  const persist::SaveContents back = persist::ParseSave(Save());
  std::vector<std::string> names;
  for (const auto& c : back.characters) names.push_back(c->name);
  EXPECT_EQ(names, (std::vector<std::string>{"Stored1", "Stored2", "Five", "Two", "Nine"}));
  EXPECT_EQ(back.characters[2]->following, nullptr);
  // The save moved nothing: the characters in play are still in play.
  EXPECT_EQ(Characters().InPlay().size(), 2u);
  EXPECT_EQ(Characters().Stored().size(), 3u);
  EXPECT_EQ(Characters().Kits().size(), 1u);
}

TEST_F(SaveWriterTest, ALineEndInsideATextCannotBreakTheLayout) {
  auto c = Stored("Ash\nCHARASEND");
  c->description = "two\r\nlines\r";
  Characters().Store(std::move(c));
  Store("Birch");
  const persist::SaveContents back = persist::ParseSave(Save());
  EXPECT_EQ(back.messages, "");
  ASSERT_EQ(back.characters.size(), 2u);
  EXPECT_EQ(back.characters[0]->name, "Ash CHARASEND");
  EXPECT_EQ(back.characters[0]->description, "two  lines ");
  EXPECT_EQ(back.characters[1]->name, "Birch");
}

// A world of many characters, every field varied, comes back field for field, and
// writing it again gives the same bytes.
TEST_F(SaveWriterTest, ManyCharactersSurviveARoundTrip) {
  World().clock = {400, 1591};
  std::uint32_t seed = 12345;
  const auto next = [&] {
    seed = seed * 1103515245u + 12345u;
    return static_cast<std::int32_t>(seed);
  };
  const auto text = [&](int length) {
    std::string s;
    for (int i = 0; i < length; ++i) {
      char ch = static_cast<char>(next() >> 8);
      if (ch == '\n' || ch == '\r') ch = ' ';
      s += ch;
    }
    return s;
  };
  for (int i = 0; i < 3000; ++i) {
    auto c = std::make_unique<world::Character>();
    c->name = "Cat" + std::to_string(i) + text(i % 7);
    c->password = text(i % 5);
    c->pronouns = i % 3 == 0 ? "" : "they";
    c->age = next();
    c->role = static_cast<world::Role>(next());
    c->clan = static_cast<world::Clan>(next() % 5);
    c->description = i % 4 == 0 ? "" : std::string(" ").append(text(i % 40)).append(" ");
    c->anatomyFlag1 = next() % 2 == 0;
    c->anatomyFlag2 = next() % 2 == 0;
    c->x = static_cast<std::int32_t>(static_cast<std::uint32_t>(next()) % 30);
    c->y = static_cast<std::int32_t>(static_cast<std::uint32_t>(next()) % 30);
    for (auto* health : {&c->healthOverall, &c->healthHead, &c->healthBody, &c->healthTail,
                         &c->healthLeftFrontLeg, &c->healthRightFrontLeg,
                         &c->healthLeftBackLeg, &c->healthRightBackLeg}) {
      *health = next();
    }
    c->extra1 = next();
    c->extra2 = i % 2 == 0 ? INT32_MIN : INT32_MAX;
    if (i % 10 == 0) {
      Place(static_cast<core::Socket>(10000 - i), "", c->x, c->y) = *c;
    } else {
      Characters().Store(std::move(c));
    }
  }
  const std::vector<const world::Character*> saved = Characters().CharactersToSave();
  const std::string bytes = Save();
  const persist::SaveContents back = persist::ParseSave(bytes);
  EXPECT_EQ(back.messages, "");
  EXPECT_EQ(back.clock.day, 400);
  EXPECT_EQ(back.clock.tickOfDay, 1591);
  ASSERT_EQ(back.characters.size(), saved.size());
  for (std::size_t i = 0; i < saved.size(); ++i) {
    const world::Character& a = *saved[i];
    const world::Character& b = *back.characters[i];
    SCOPED_TRACE(i);
    ASSERT_EQ(b.name, a.name);
    EXPECT_EQ(b.password, a.password);
    EXPECT_EQ(b.pronouns, a.pronouns);
    EXPECT_EQ(b.age, a.age);
    EXPECT_EQ(b.role, a.role);
    EXPECT_EQ(b.clan, a.clan);
    EXPECT_EQ(b.description, a.description);
    EXPECT_EQ(b.anatomyFlag1, a.anatomyFlag1);
    EXPECT_EQ(b.anatomyFlag2, a.anatomyFlag2);
    EXPECT_EQ(b.x, a.x);
    EXPECT_EQ(b.y, a.y);
    EXPECT_EQ(b.healthOverall, a.healthOverall);
    EXPECT_EQ(b.healthHead, a.healthHead);
    EXPECT_EQ(b.healthBody, a.healthBody);
    EXPECT_EQ(b.healthTail, a.healthTail);
    EXPECT_EQ(b.healthLeftFrontLeg, a.healthLeftFrontLeg);
    EXPECT_EQ(b.healthRightFrontLeg, a.healthRightFrontLeg);
    EXPECT_EQ(b.healthLeftBackLeg, a.healthLeftBackLeg);
    EXPECT_EQ(b.healthRightBackLeg, a.healthRightBackLeg);
    EXPECT_EQ(b.extra1, a.extra1);
    EXPECT_EQ(b.extra2, a.extra2);
  }
  std::vector<const world::Character*> again;
  for (const auto& c : back.characters) again.push_back(c.get());
  EXPECT_EQ(persist::FormatSave(back.clock, again), bytes);
}

}  // namespace
