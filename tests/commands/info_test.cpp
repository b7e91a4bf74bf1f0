#include "commands/info.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "world/territory.h"
#include "world_fixture.h"

namespace {

using Texts = std::vector<std::string>;
using commands::ConditionWord;
using commands::RelativeDirection;
using world::Clan;
using world::Role;

class InfoTest : public WorldTest {
 protected:
};

TEST(ConditionWordTest, EachRolesMaximum) {
  EXPECT_EQ(ConditionWord(4, 4), "good");
  EXPECT_EQ(ConditionWord(3, 4), "average");
  EXPECT_EQ(ConditionWord(2, 4), "poor");
  EXPECT_EQ(ConditionWord(1, 4), "critical");
  EXPECT_EQ(ConditionWord(0, 4), "crippled");
  EXPECT_EQ(ConditionWord(5, 4), "crippled");
  EXPECT_EQ(ConditionWord(-1, 4), "crippled");
  EXPECT_EQ(ConditionWord(2, 2), "good");
  EXPECT_EQ(ConditionWord(1, 2), "poor");
  EXPECT_EQ(ConditionWord(0, 2), "crippled");
  EXPECT_EQ(ConditionWord(3, 2), "crippled");
  EXPECT_EQ(ConditionWord(1, 1), "good");
  EXPECT_EQ(ConditionWord(0, 1), "crippled");
  EXPECT_EQ(ConditionWord(4, 0), "crippled");
  EXPECT_EQ(ConditionWord(0, 0), "crippled");
  // The quotient is compared exactly, in single precision.
  EXPECT_EQ(ConditionWord(75, 100), "average");
  EXPECT_EQ(ConditionWord(16777217, 16777216), "good");  // rounds to 1.0f
}

TEST(RelativeDirectionTest, EveryQuarter) {
  EXPECT_EQ(RelativeDirection(5, 5, 5, 5), " here.");
  EXPECT_EQ(RelativeDirection(5, 5, 5, 0), " north of here.");
  EXPECT_EQ(RelativeDirection(5, 5, 5, 9), " south of here.");
  EXPECT_EQ(RelativeDirection(5, 5, 9, 5), " east of here.");
  EXPECT_EQ(RelativeDirection(5, 5, 0, 5), " west of here.");
  EXPECT_EQ(RelativeDirection(5, 5, 6, 4), " northeast of here.");
  EXPECT_EQ(RelativeDirection(5, 5, 6, 6), " southeast of here.");
  EXPECT_EQ(RelativeDirection(5, 5, 4, 4), " northwest of here.");
  EXPECT_EQ(RelativeDirection(5, 5, 4, 6), " southwest of here.");
}

TEST(TimeLineTest, DayMoonAndYearBoundaries) {
  using commands::TimeLine;
  EXPECT_EQ(TimeLine({0, 0}), "It is 00:00:00, on day 1 of moon 1 of year 1.");
  EXPECT_EQ(TimeLine({400, 1591}), "It is 13:15:30, on day 11 of moon 2 of year 2.");
  EXPECT_EQ(TimeLine({0, 2879}), "It is 23:59:30, on day 1 of moon 1 of year 1.");
  EXPECT_EQ(TimeLine({29, 0}), "It is 00:00:00, on day 30 of moon 1 of year 1.");
  EXPECT_EQ(TimeLine({30, 0}), "It is 00:00:00, on day 1 of moon 2 of year 1.");
  EXPECT_EQ(TimeLine({359, 0}), "It is 00:00:00, on day 30 of moon 12 of year 1.");
  EXPECT_EQ(TimeLine({360, 0}), "It is 00:00:00, on day 1 of moon 1 of year 2.");
  EXPECT_EQ(TimeLine({2147483647, 2147483647}),
            "It is 17895697:03:30, on day 8 of moon 5 of year 5965233.");
  // Negative counters, only from an edited save file: shown, not trusted.
  EXPECT_EQ(TimeLine({-1, -121}), "It is -1:00:-30, on day 0 of moon 1 of year 1.");
}

TEST_F(InfoTest, TheClockAdvancesOneTickAndRollsOverToTheNextDay) {
  for (int i = 0; i < 2879; ++i) world::AdvanceGameClock(World().clock);
  EXPECT_EQ(World().clock.day, 0);
  EXPECT_EQ(World().clock.tickOfDay, 2879);
  world::AdvanceGameClock(World().clock);
  EXPECT_EQ(World().clock.day, 1);
  EXPECT_EQ(World().clock.tickOfDay, 0);
  Place(4, "Ash", 3, 3);
  Type(4, "time and words");
  EXPECT_EQ(Lines(4), Texts{"It is 00:00:00, on day 2 of moon 1 of year 1."});
}

TEST_F(InfoTest, StatusOfAFreshWarriorAndOfDamagedApprentices) {
  Type(4, "setup Ash pw she 12 warrior ember \" \" x y");
  Lines(4);
  Type(4, "status ignored");
  EXPECT_EQ(Lines(4), (Texts{"Overall, your health is good.", "Your head is in good condition.",
                             "Your body is in good condition.", "Your tail is in good condition.",
                             "Your left front leg is in good condition.",
                             "Your right front leg is in good condition.",
                             "Your left back leg is in good condition.",
                             "Your right back leg is in good condition."}));
  world::Character& apprentice = Place(5, "Birch", 3, 3);
  apprentice.role = Role::Apprentice;
  apprentice.healthOverall = 2;
  apprentice.healthHead = 1;
  apprentice.healthBody = 0;
  apprentice.healthTail = 3;
  apprentice.healthLeftFrontLeg = 2;
  apprentice.healthRightFrontLeg = 2;
  apprentice.healthLeftBackLeg = 2;
  apprentice.healthRightBackLeg = 1;
  Type(5, "status");
  EXPECT_EQ(Lines(5),
            (Texts{"Overall, your health is good.", "Your head is in poor condition.",
                   "Your body is in crippled condition.", "Your tail is in crippled condition.",
                   "Your left front leg is in good condition.",
                   "Your right front leg is in good condition.",
                   "Your left back leg is in good condition.",
                   "Your right back leg is in poor condition."}));
}

TEST_F(InfoTest, NavigateToTheOwnCampAndToOldmeadow) {
  Place(4, "Ash", 22, 23);  // Emberfold warriors' den
  Type(4, "navigate");
  EXPECT_EQ(Lines(4),
            (Texts{"The Emberfold camp is east of here.", "Oldmeadow is northwest of here."}));
  Place(5, "Birch", 14, 14).clan = Clan::Larkfold;
  Type(5, "navigate now");
  EXPECT_EQ(Lines(5), (Texts{"The Larkfold camp is northwest of here.", "Oldmeadow is here."}));
  Place(6, "Cedar", 23, 0).clan = static_cast<Clan>(3);
  Type(6, "navigate");
  EXPECT_EQ(Lines(6),
            (Texts{"The Fernfold camp is south of here.", "Oldmeadow is southwest of here."}));
  Place(7, "Dusk", 0, 14).clan = Clan::Mossfold;
  Type(7, "navigate");
  EXPECT_EQ(Lines(7),
            (Texts{"The Mossfold camp is southeast of here.", "Oldmeadow is east of here."}));
  Place(8, "Elm", 23, 7).clan = Clan::Fernfold;
  Type(8, "navigate");
  EXPECT_EQ(Lines(8), (Texts{"The Fernfold camp is here.", "Oldmeadow is southwest of here."}));
}

TEST_F(InfoTest, LookWithAndWithoutAName) {
  Place(4, "Ash", 23, 23).description = "a small cat ";
  Place(5, "Birch", 23, 23);
  Type(4, "look ");
  const Texts area = Lines(4);
  ASSERT_EQ(area.size(), 6u);
  EXPECT_EQ(area.back(), "Emberfold warrior Birch is here.");
  Type(5, "look Ash and more");
  EXPECT_EQ(Lines(5), Texts{"You see a a small cat ."});
  Type(5, "look  Ash");  // the first argument word is empty
  EXPECT_EQ(Lines(5), Texts{"Invalid character."});
}

}  // namespace
