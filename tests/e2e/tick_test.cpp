// Two players in one den through the real server: one follows the other, the other
// queues a step, and the next world tick carries both north, told to each at once.

#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"

namespace {

using namespace std::chrono_literals;
using e2e::Client;
using e2e::Server;

// The tick runs every 5 seconds; this leaves room for a slow (sanitized) build.
constexpr auto kNextTick = 8s;

std::string SetupWarrior(const std::string& name) {
  return "setup " + name + " pw he 12 warrior ember \" a small cat \" x y";
}

TEST(TickE2E, AFollowerAndItsLeaderWalkNorthTogetherOnTheNextTick) {
  Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  Client ash(server.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  Client birch(server.Port());
  ASSERT_TRUE(birch.ReadWelcome());
  ASSERT_TRUE(ash.Ask(SetupWarrior("Ash")));
  ASSERT_TRUE(birch.Ask(SetupWarrior("Birch")));

  EXPECT_EQ(ash.Ask("follow Birch"), "Now following Birch.");
  EXPECT_EQ(birch.Ask("north"), "Movement queued.");

  // Ash's connection came first, so Ash moves first: Birch sees Ash leave, then both
  // arrive in the same cell.
  EXPECT_EQ(ash.NextFrame(kNextTick), "Ash has entered the area.\nBirch has entered the area.");
  EXPECT_EQ(birch.NextFrame(kNextTick), "Ash has left the area.\nBirch has entered the area.");

  EXPECT_EQ(birch.Ask("say we made it"), "Birch: we made it ");
  EXPECT_EQ(ash.NextFrame(), "Birch: we made it ");
  EXPECT_EQ(ash.Ask("navigate"),
            "The Emberfold camp is southeast of here.\nOldmeadow is northwest of here.");
}

}  // namespace
