#include "world/role.h"

#include <gtest/gtest.h>

namespace {

using world::Role;
using world::TraitsOf;

TEST(Roles, WordsTitlesHealthAndOnePerClan) {
  EXPECT_EQ(world::RoleFromWord("medicine"), Role::MedicineCat);
  EXPECT_EQ(world::RoleFromWord("kit"), Role::Kit);
  for (const char* other : {"Leader", "medicine cat", "", "warriors"})
    EXPECT_EQ(world::RoleFromWord(other), Role::Warrior) << other;
  EXPECT_EQ(TraitsOf(Role::MedicineCat).title, "medicine cat ");
  EXPECT_EQ(TraitsOf(Role::Kit).health, 1);
  EXPECT_EQ(TraitsOf(Role::Apprentice).health, 2);
  EXPECT_EQ(TraitsOf(Role::Queen).health, 4);
  EXPECT_TRUE(TraitsOf(Role::Deputy).onePerClan);
  EXPECT_FALSE(TraitsOf(Role::Queen).onePerClan);
  // A number no role has (only an edited save file holds one) is a warrior's.
  EXPECT_EQ(TraitsOf(static_cast<Role>(3)).title, "warrior ");
  EXPECT_EQ(TraitsOf(static_cast<Role>(3)).health, 4);
}

}  // namespace
