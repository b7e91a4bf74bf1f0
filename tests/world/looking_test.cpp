#include "world/looking.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "world/territory.h"
#include "world_fixture.h"

namespace {

using Texts = std::vector<std::string>;
using world::Clan;
using world::Role;

class LookingTest : public WorldTest {};

TEST_F(LookingTest, TitlesJoinClanRoleAndName) {
  world::Character c;
  c.name = "Ash";
  c.clan = Clan::Mossfold;
  c.role = Role::MedicineCat;
  EXPECT_EQ(world::CharacterTitle(c), "Mossfold medicine cat Ash");
  c.clan = Clan::Emberfold;
  c.role = Role::Kit;
  EXPECT_EQ(world::CharacterTitle(c), "Emberfold kit Ash");
  c.clan = Clan::Larkfold;
  c.role = Role::Deputy;
  EXPECT_EQ(world::CharacterTitle(c), "Larkfold deputy Ash");
  // Numbers only an edited save file can hold.
  c.clan = static_cast<Clan>(3);
  c.role = static_cast<Role>(3);
  EXPECT_EQ(world::CharacterTitle(c), "Fernfold warrior Ash");
}

TEST_F(LookingTest, AreaAtACampCentre) {
  Place(4, "Ash", 23, 23);
  world::DescribeArea(Characters(), Outbox(), 4);
  EXPECT_EQ(Lines(4),
            (Texts{"You are in the Emberfold camp.", "North of you is the Emberfold leader's den.",
                   "South of you is the Emberfold camp.", "East of you is the Emberfold nursery.",
                   "West of you is the Emberfold warriors' den."}));
}

TEST_F(LookingTest, DirectionLinesAreLeftOutAtTheEdges) {
  Place(4, "Ash", 0, 0);
  world::DescribeArea(Characters(), Outbox(), 4);
  EXPECT_EQ(Lines(4),
            (Texts{"You are in Larkfold territory.", "South of you is Larkfold territory.",
                   "East of you is Larkfold territory."}));
  Place(5, "Birch", 29, 29);
  world::DescribeArea(Characters(), Outbox(), 5);
  EXPECT_EQ(Lines(5),
            (Texts{"You are in Emberfold territory.", "North of you is Emberfold territory.",
                   "West of you is Emberfold territory."}));
}

TEST_F(LookingTest, ColumnFourteenNamesKeepTheirLeadingBlank) {
  Place(4, "Ash", 14, 13);
  world::DescribeArea(Characters(), Outbox(), 4);
  EXPECT_EQ(Lines(4), (Texts{"You are in  territory.", "North of you is  territory.",
                             "South of you is  Oldmeadow.", "East of you is Fernfold territory.",
                             "West of you is Larkfold territory."}));
}

TEST_F(LookingTest, OthersOnTheCellAreListedByConnectionNeverTheViewer) {
  Place(9, "Cedar", 5, 5).clan = Clan::Larkfold;
  Place(7, "Ash", 5, 5);
  Place(3, "Birch", 5, 5).role = Role::Queen;
  Place(2, "Elsewhere", 5, 6);
  // Neither a stored character nor a waiting kit is ever listed.
  auto stored = std::make_unique<world::Character>();
  stored->name = "Stored";
  stored->x = stored->y = 5;
  Characters().Store(std::move(stored));
  auto kit = std::make_unique<world::Character>();
  kit->name = "Kit";
  kit->x = kit->y = -1;
  Characters().ParkKit(1, std::move(kit));

  world::DescribeArea(Characters(), Outbox(), 7);
  const Texts lines = Lines(7);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(lines[5], "Emberfold queen Birch is here.");
  EXPECT_EQ(lines[6], "Larkfold warrior Cedar is here.");
  world::DescribeArea(Characters(), Outbox(), 3);
  const Texts fromBirch = Lines(3);
  ASSERT_EQ(fromBirch.size(), 7u);
  EXPECT_EQ(fromBirch[5], "Emberfold warrior Ash is here.");
  EXPECT_EQ(fromBirch[6], "Larkfold warrior Cedar is here.");
}

TEST_F(LookingTest, LookingAtCharacters) {
  Place(4, "Ash", 5, 5).description = "a small cat ";
  Place(6, "Birch", 5, 5).description = "";
  Place(8, "Far", 6, 5);
  world::DescribeCharacter(Characters(), Outbox(), 4, "Birch");
  EXPECT_EQ(Lines(4), Texts{"You see a ."});
  world::DescribeCharacter(Characters(), Outbox(), 4, "Ash");
  EXPECT_EQ(Lines(4), Texts{"You see a a small cat ."});
  world::DescribeCharacter(Characters(), Outbox(), 6, "Ash");
  EXPECT_EQ(Lines(6), Texts{"You see a a small cat ."});
}

// --- Refusals ---------------------------------------------------------------------

TEST_F(LookingTest, NamesNotInPlayOnTheCellAreInvalid) {
  Place(4, "Ash", 5, 5);
  Place(8, "Far", 6, 5);
  auto stored = std::make_unique<world::Character>();
  stored->name = "Stored";
  stored->x = stored->y = 5;
  Characters().Store(std::move(stored));
  for (const char* name : {"Far", "Stored", "ash", "Nobody", ""}) {
    world::DescribeCharacter(Characters(), Outbox(), 4, name);
    EXPECT_EQ(Lines(4), Texts{"Invalid character."}) << name;
  }
  EXPECT_EQ(Characters().InPlay().size(), 2u);
}

}  // namespace
