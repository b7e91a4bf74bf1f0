// What the load generator knows of the game: where new characters start, how queued
// movements spread players over the map, the command mix a simulated player types,
// and how the answer to a command is told apart from the frames that arrive unasked
// (tick notices, other players' speech). The map, the dens and the answer texts come
// from the game's own headers. Pure functions over plain records; any thread may call
// them.
#pragma once

#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "world/character.h"
#include "world/territory.h"

namespace bench {

using world::kMapSize;
using Cell = world::Cell;  // column and row; east and south are larger

inline bool OnMap(Cell c) { return world::OnMap(c.x, c.y); }
inline int CellIndex(Cell c) { return c.y * kMapSize + c.x; }

// A way to create a character that many players may share: a role that is not unique
// in its clan, and the den where such a character starts.
struct Origin {
  std::string_view roleWord;  // the setup role word
  std::string_view clanWord;  // the setup clan word
  Cell start;                 // the den setup puts the character in
  std::string place;          // that den as the first line of a look names it
};

// The twelve origins (three roles in each of four clans), in the order players are
// dealt out to them.
std::span<const Origin> Origins();

// The setup line for a new character, for instance
// `setup Name pw he 12 warrior ember " a small cat " x y`.
std::string SetupLine(std::string_view name, const Origin& origin);

// Where one player is to stand after the spread, and the movement letters ("n", "s",
// "e", "w") that take it there from its den, in the order to queue them.
struct Placement {
  Cell target;
  std::string moves;
};

// Gives every player a cell no more than `ticks` steps from its start, always the
// least crowded such cell so far (ties broken by `seed`), and a path there that never
// leaves the map. `origins` holds each player's index into Origins(); `present` holds
// the cells of characters that stay where they are, which count as crowding too. With
// ticks 0 everybody stays in its den.
std::vector<Placement> PlanSpread(std::span<const int> origins, int ticks, std::uint64_t seed,
                                  std::span<const Cell> present = {});

// How many cells the positions cover and the most players on one of them.
struct Occupancy {
  int cells = 0;
  int most = 0;
};
Occupancy CountOccupancy(std::span<const Cell> positions);

// The kinds of command the players send; Setup is not part of the measured mix.
enum class Command : std::uint8_t { Look, Say, Status, Move, Whisper, Setup };
inline constexpr int kCommandKinds = 6;
std::string_view CommandName(Command kind);

// The chat mix: look 25%, say 25%, status 15%, movement 15%, whisper 20%.
Command PickChatCommand(std::mt19937_64& random);

// The direction letter for a step from `from` that stays on the map, chosen at random.
char PickStep(Cell from, std::mt19937_64& random);
// The cell one step away in direction `letter` ("n", "s", "e" or "w").
Cell Stepped(Cell from, char letter);

// What a player waits for after sending one command.
struct Expectation {
  Command kind = Command::Look;
  std::string line;     // the line sent, without its NUL
  std::string speech;   // say and whisper: the speech line the speaker gets back
  bool echo = false;    // the peer is the echo server: the answer is the line itself
};

// Builds the line and the expectation for a command. `token` makes the spoken words
// of this command unique; `listener` is the whisper's addressee.
Expectation MakeCommand(Command kind, std::string_view speaker, std::uint64_t token,
                        std::string_view listener, char step, bool echo);

// True when `frame` is the answer to the command. A frame that is not (a tick notice,
// someone else's speech) leaves the command waiting.
bool IsAnswer(const Expectation& expected, std::string_view frame);

// The number of lines of a tick frame saying that `name` entered a cell: one per
// step the player's own character took.
int OwnArrivals(std::string_view frame, std::string_view name);

}  // namespace bench
