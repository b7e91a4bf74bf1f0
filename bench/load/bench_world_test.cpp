#include "bench_world.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

namespace bench {
namespace {

std::vector<int> Dealt(std::size_t players) {
  std::vector<int> origins;
  for (std::size_t i = 0; i < players; ++i) origins.push_back(static_cast<int>(i % Origins().size()));
  return origins;
}

// Walks a plan's moves from the start, checking every cell on the way.
Cell Walk(Cell from, const std::string& moves) {
  for (const char letter : moves) {
    from = Stepped(from, letter);
    EXPECT_TRUE(OnMap(from)) << moves;
  }
  return from;
}

TEST(BenchSpread, EveryPathStaysOnTheMapAndEndsOnItsTargetWithinTheTicks) {
  for (const int ticks : {1, 3, 6, 12, 40}) {
    const std::vector<int> origins = Dealt(1000);
    const std::vector<Placement> plan = PlanSpread(origins, ticks, 7);
    ASSERT_EQ(plan.size(), origins.size());
    for (std::size_t i = 0; i < plan.size(); ++i) {
      const Cell start = Origins()[static_cast<std::size_t>(origins[i])].start;
      EXPECT_LE(plan[i].moves.size(), static_cast<std::size_t>(ticks));
      EXPECT_EQ(Walk(start, plan[i].moves), plan[i].target);
    }
  }
}

TEST(BenchSpread, FillsTheLeastCrowdedCellsSoNoCellIsPacked) {
  std::vector<Cell> targets;
  for (const Placement& p : PlanSpread(Dealt(1000), 6, 1)) targets.push_back(p.target);
  const Occupancy o = CountOccupancy(targets);
  // Six steps from twelve dens reach a few hundred cells: a handful of players each.
  EXPECT_GT(o.cells, 300);
  EXPECT_LE(o.most, 4);
}

TEST(BenchSpread, CharactersThatStayCountAsCrowding) {
  // Two walkers from the Emberfold warriors' den, which is full: both leave it, and
  // not for the same cell.
  const std::vector<Cell> crowd(100, Origins()[0].start);
  const std::vector<Placement> plan = PlanSpread(std::vector<int>{0, 0}, 1, 5, crowd);
  EXPECT_NE(plan[0].target, Origins()[0].start);
  EXPECT_NE(plan[1].target, Origins()[0].start);
  EXPECT_NE(plan[0].target, plan[1].target);
}

TEST(BenchSpread, NoTicksLeavesEveryoneInTheDen) {
  const std::vector<Placement> plan = PlanSpread(Dealt(24), 0, 1);
  for (std::size_t i = 0; i < plan.size(); ++i) {
    EXPECT_TRUE(plan[i].moves.empty());
    EXPECT_EQ(plan[i].target, Origins()[i % Origins().size()].start);
  }
  std::vector<Cell> starts;
  for (const Origin& o : Origins()) starts.push_back(o.start);
  EXPECT_EQ(CountOccupancy(starts).cells, 12);
}

TEST(BenchCommands, SetupLineHasTheGameShape) {
  EXPECT_EQ(SetupLine("Ash", Origins()[0]), "setup Ash pw he 12 warrior ember \" a small cat \" x y");
  for (const Origin& o : Origins()) {
    // The den's clan must be the one the clan word picks.
    const std::string clan = std::string(o.clanWord);
    std::string named(o.place.substr(4, clan.size()));
    named[0] = static_cast<char>(std::tolower(named[0]));
    EXPECT_EQ(named, clan) << o.place;
  }
}

TEST(BenchCommands, StepsNeverLeaveTheMap) {
  std::mt19937_64 random(3);
  for (const Cell corner : {Cell{0, 0}, Cell{29, 0}, Cell{0, 29}, Cell{29, 29}, Cell{0, 14}}) {
    for (int i = 0; i < 50; ++i) EXPECT_TRUE(OnMap(Stepped(corner, PickStep(corner, random))));
  }
}

TEST(BenchAnswers, EachCommandKnowsItsOwnAnswer) {
  const Expectation look = MakeCommand(Command::Look, "P1", 5, "", 'n', false);
  EXPECT_EQ(look.line, "look");
  EXPECT_TRUE(IsAnswer(look, "You are in the Emberfold warriors' den.\nNorth of you is Emberfold territory."));
  const Expectation status = MakeCommand(Command::Status, "P1", 5, "", 'n', false);
  EXPECT_TRUE(IsAnswer(status, "Overall, your health is good.\nYour head is in good condition."));
  const Expectation move = MakeCommand(Command::Move, "P1", 5, "", 'e', false);
  EXPECT_EQ(move.line, "e");
  EXPECT_TRUE(IsAnswer(move, "Movement queued."));
  EXPECT_TRUE(IsAnswer(move, "Too many movements queued."));
  EXPECT_TRUE(IsAnswer(move, "This command is not valid for you right now."));
  const Expectation say = MakeCommand(Command::Say, "P1", 5, "", 'n', false);
  EXPECT_EQ(say.line, "say hello everyone, a fine day #5");
  EXPECT_TRUE(IsAnswer(say, "P1: hello everyone, a fine day #5 "));
  const Expectation whisper = MakeCommand(Command::Whisper, "P1", 6, "P2", 'n', false);
  EXPECT_EQ(whisper.line, "whisper P2 psst #6");
  EXPECT_TRUE(IsAnswer(whisper, "P1: psst #6 "));
  EXPECT_TRUE(IsAnswer(whisper, "P1: psst #6 \nP1: psst #6 "));  // to oneself
  EXPECT_TRUE(IsAnswer(whisper, "Too far away."));
}

TEST(BenchAnswers, FramesThatArriveUnaskedAnswerNothing) {
  const char* unasked[] = {
      "P10 has entered the area.",
      "P2 has left the area.\nP3 has entered the area.",
      "P12: hello everyone, a fine day #5 ",  // another speaker, same words
      "P1: hello everyone, a fine day #4 ",   // an earlier line of one's own
      "P1: psst #6 ",
  };
  const Expectation say = MakeCommand(Command::Say, "P1", 5, "", 'n', false);
  const Expectation look = MakeCommand(Command::Look, "P1", 5, "", 'n', false);
  const Expectation status = MakeCommand(Command::Status, "P1", 5, "", 'n', false);
  const Expectation move = MakeCommand(Command::Move, "P1", 5, "", 'n', false);
  const Expectation whisper = MakeCommand(Command::Whisper, "P1", 7, "P2", 'n', false);
  for (const char* frame : unasked) {
    for (const Expectation* e : {&say, &look, &status, &move, &whisper}) {
      EXPECT_FALSE(IsAnswer(*e, frame)) << CommandName(e->kind) << ": " << frame;
    }
  }
  EXPECT_FALSE(IsAnswer(whisper, "P1: psst #7 \nP1: psst #7"));
}

TEST(BenchAnswers, TheEchoAnswersWithTheLineItself) {
  const Expectation look = MakeCommand(Command::Look, "P1", 5, "", 'n', true);
  EXPECT_TRUE(IsAnswer(look, "look"));
  EXPECT_FALSE(IsAnswer(look, "You are in the Emberfold warriors' den."));
}

TEST(BenchAnswers, OwnArrivalsCountOnlyTheExactName) {
  EXPECT_EQ(OwnArrivals("P1 has entered the area.", "P1"), 1);
  EXPECT_EQ(OwnArrivals("P10 has entered the area.\nP1 has left the area.", "P1"), 0);
  EXPECT_EQ(OwnArrivals("A has entered the area.\nP1 has entered the area.\nP1 has entered the area.", "P1"), 2);
  EXPECT_EQ(OwnArrivals("", "P1"), 0);
}

}  // namespace
}  // namespace bench
