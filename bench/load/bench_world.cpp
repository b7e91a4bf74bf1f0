#include "bench_world.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "commands/handlers.h"
#include "commands/info.h"
#include "commands/mutes.h"
#include "world/looking.h"
#include "world/tick.h"

namespace bench {

namespace {

// Three roles that any number of characters may hold, in each of the four clans; the
// setup words pick them, and the game says where such a character starts.
struct OriginWords {
  std::string_view roleWord;
  world::Role role;
  std::string_view clanWord;
  world::Clan clan;
};
constexpr std::array<OriginWords, 12> kOriginWords{{
    {"warrior", world::Role::Warrior, "ember", world::Clan::Emberfold},
    {"warrior", world::Role::Warrior, "moss", world::Clan::Mossfold},
    {"warrior", world::Role::Warrior, "lark", world::Clan::Larkfold},
    {"warrior", world::Role::Warrior, "fern", world::Clan::Fernfold},
    {"apprentice", world::Role::Apprentice, "ember", world::Clan::Emberfold},
    {"apprentice", world::Role::Apprentice, "moss", world::Clan::Mossfold},
    {"apprentice", world::Role::Apprentice, "lark", world::Clan::Larkfold},
    {"apprentice", world::Role::Apprentice, "fern", world::Clan::Fernfold},
    {"queen", world::Role::Queen, "ember", world::Clan::Emberfold},
    {"queen", world::Role::Queen, "moss", world::Clan::Mossfold},
    {"queen", world::Role::Queen, "lark", world::Clan::Larkfold},
    {"queen", world::Role::Queen, "fern", world::Clan::Fernfold},
}};

std::vector<Origin> MakeOrigins() {
  std::vector<Origin> origins;
  for (const OriginWords& w : kOriginWords) {
    const Cell start = world::StartCell(w.clan, w.role);
    origins.push_back({w.roleWord, w.clanWord, start, world::LocationName(start.x, start.y)});
  }
  return origins;
}

constexpr std::array<std::string_view, 3> kPronouns{"he", "she", "they"};

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

std::span<const Origin> Origins() {
  static const std::vector<Origin> origins = MakeOrigins();
  return origins;
}

std::string SetupLine(std::string_view name, const Origin& origin) {
  std::string line = "setup ";
  line.append(name).append(" pw ");
  line.append(kPronouns[name.size() % kPronouns.size()]).append(" 12 ");
  line.append(origin.roleWord).append(" ").append(origin.clanWord);
  line.append(" \" a small cat \" x y");
  return line;
}

std::vector<Placement> PlanSpread(std::span<const int> origins, int ticks, std::uint64_t seed,
                                  std::span<const Cell> present) {
  std::mt19937_64 random(seed);
  std::array<int, kMapSize * kMapSize> load{};
  for (const Cell c : present) {
    if (OnMap(c)) ++load[static_cast<std::size_t>(CellIndex(c))];
  }
  std::vector<Placement> plan;
  plan.reserve(origins.size());
  std::vector<Cell> least;
  for (const int origin : origins) {
    const Cell start = Origins()[static_cast<std::size_t>(origin)].start;
    least.clear();
    int lowest = 0;
    for (int dy = -ticks; dy <= ticks; ++dy) {
      const int reach = ticks - std::abs(dy);
      for (int dx = -reach; dx <= reach; ++dx) {
        const Cell c{start.x + dx, start.y + dy};
        if (!OnMap(c)) continue;
        const int here = load[static_cast<std::size_t>(CellIndex(c))];
        if (least.empty() || here < lowest) {
          least.assign(1, c);
          lowest = here;
        } else if (here == lowest) {
          least.push_back(c);
        }
      }
    }
    const Cell target = least[std::uniform_int_distribution<std::size_t>(0, least.size() - 1)(random)];
    ++load[static_cast<std::size_t>(CellIndex(target))];
    // East or west first, then north or south: both legs lie between two cells of the
    // map, so no step can leave it.
    Placement p{target, {}};
    p.moves.append(static_cast<std::size_t>(std::abs(target.x - start.x)), target.x > start.x ? 'e' : 'w');
    p.moves.append(static_cast<std::size_t>(std::abs(target.y - start.y)), target.y > start.y ? 's' : 'n');
    plan.push_back(std::move(p));
  }
  return plan;
}

Occupancy CountOccupancy(std::span<const Cell> positions) {
  std::array<int, kMapSize * kMapSize> load{};
  Occupancy o;
  for (const Cell c : positions) {
    if (!OnMap(c)) continue;
    int& here = load[static_cast<std::size_t>(CellIndex(c))];
    if (here++ == 0) ++o.cells;
    o.most = std::max(o.most, here);
  }
  return o;
}

std::string_view CommandName(Command kind) {
  switch (kind) {
    case Command::Look: return "look";
    case Command::Say: return "say";
    case Command::Status: return "status";
    case Command::Move: return "move";
    case Command::Whisper: return "whisper";
    case Command::Setup: return "setup";
  }
  return "?";
}

Command PickChatCommand(std::mt19937_64& random) {
  const int roll = std::uniform_int_distribution<int>(0, 99)(random);
  if (roll < 25) return Command::Look;
  if (roll < 50) return Command::Say;
  if (roll < 65) return Command::Status;
  if (roll < 80) return Command::Move;
  return Command::Whisper;
}

Cell Stepped(Cell from, char letter) {
  switch (letter) {
    case 'n': return {from.x, from.y - 1};
    case 's': return {from.x, from.y + 1};
    case 'e': return {from.x + 1, from.y};
    default: return {from.x - 1, from.y};
  }
}

char PickStep(Cell from, std::mt19937_64& random) {
  std::array<char, 4> open{};
  std::size_t count = 0;
  for (const char letter : {'n', 's', 'e', 'w'}) {
    if (OnMap(Stepped(from, letter))) open[count++] = letter;
  }
  return open[std::uniform_int_distribution<std::size_t>(0, count - 1)(random)];
}

Expectation MakeCommand(Command kind, std::string_view speaker, std::uint64_t token,
                        std::string_view listener, char step, bool echo) {
  Expectation e;
  e.kind = kind;
  e.echo = echo;
  const std::string tag = std::string("#").append(std::to_string(token));
  switch (kind) {
    case Command::Look:
      e.line = "look";
      break;
    case Command::Status:
      e.line = "status";
      break;
    case Command::Move:
      e.line.assign(1, step);
      break;
    case Command::Say:
      e.line = "say hello everyone, a fine day " + tag;
      e.speech = std::string(speaker) + ": hello everyone, a fine day " + tag + " ";
      break;
    case Command::Whisper:
      e.line = "whisper " + std::string(listener) + " psst " + tag;
      e.speech = std::string(speaker) + ": psst " + tag + " ";
      break;
    case Command::Setup:
      break;  // the caller builds the line with SetupLine
  }
  return e;
}

bool IsAnswer(const Expectation& expected, std::string_view frame) {
  if (expected.echo) return frame == expected.line;
  switch (expected.kind) {
    case Command::Look:
      return StartsWith(frame, world::kYouAreIn);
    case Command::Status:
      return StartsWith(frame, commands::kOverallHealth);
    case Command::Move:
      return frame == commands::kMovementQueued || frame == commands::kTooManyMovements ||
             frame == commands::kNotValidNow;
    case Command::Say:
      return frame == expected.speech || frame == commands::kMuted;  // a cell told its share
    case Command::Whisper:
      // Said to oneself the line comes twice, in one frame.
      return frame == expected.speech || frame == commands::kTooFarAway ||
             frame == commands::kMuted ||
             (frame.size() == 2 * expected.speech.size() + 1 &&
              StartsWith(frame, expected.speech) && frame[expected.speech.size()] == '\n' &&
              frame.substr(expected.speech.size() + 1) == expected.speech);
    case Command::Setup:
      return StartsWith(frame, commands::kCharacterCreated) || StartsWith(frame, commands::kNameTaken) ||
             StartsWith(frame, commands::kSetupFormat) || StartsWith(frame, commands::kNotValidNow);
  }
  return false;
}

int OwnArrivals(std::string_view frame, std::string_view name) {
  constexpr std::string_view kEntered = world::kEnteredArea;
  int count = 0;
  while (!frame.empty()) {
    const std::size_t end = frame.find('\n');
    const std::string_view line = frame.substr(0, end);
    if (line.size() == name.size() + kEntered.size() && StartsWith(line, name) &&
        line.substr(name.size()) == kEntered) {
      ++count;
    }
    if (end == std::string_view::npos) break;
    frame.remove_prefix(end + 1);
  }
  return count;
}

}  // namespace bench
