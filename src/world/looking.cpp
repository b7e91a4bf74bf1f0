#include "world/looking.h"

#include <cassert>

#include "core/connection_lock.h"
#include "world/role.h"
#include "world/territory.h"

namespace world {

namespace {

// CharacterTitle, appended to `out`.
void AppendTitle(std::string& out, const Character& c) {
  out += ClanName(c.clan);
  out += ' ';
  out += TraitsOf(c.role).title;
  out += c.name;
}

}  // namespace

std::string CharacterTitle(const Character& c) {
  std::string title;
  AppendTitle(title, c);
  return title;
}

std::string PlaceLine(std::int32_t x, std::int32_t y) { return std::string(kYouAreIn) + LocationName(x, y); }

void DescribeArea(const CharacterTable& characters, core::Outbox& outbox, core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Character* viewer = characters.CharacterOf(connection);
  assert(viewer != nullptr);
  const std::int32_t x = viewer->x;
  const std::int32_t y = viewer->y;
  outbox.Queue(connection, PlaceLine(x, y));
  if (y > 0) outbox.Queue(connection, "North of you is " + LocationName(x, y - 1));
  if (y < kMapSize - 1) outbox.Queue(connection, "South of you is " + LocationName(x, y + 1));
  if (x < kMapSize - 1) outbox.Queue(connection, "East of you is " + LocationName(x + 1, y));
  if (x > 0) outbox.Queue(connection, "West of you is " + LocationName(x - 1, y));
  // One line made again for each character: a den's answer runs to hundreds of them.
  std::string line;
  for (const core::Socket other : characters.OccupantsOf(x, y)) {
    if (other == connection) continue;
    const Character* here = characters.CharacterOf(other);
    assert(here != nullptr);
    line.clear();
    AppendTitle(line, *here);
    line += " is here.";
    outbox.Queue(connection, line);
  }
}

void DescribeCharacter(const CharacterTable& characters, core::Outbox& outbox,
                       core::Socket connection, std::string_view name) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Character* viewer = characters.CharacterOf(connection);
  assert(viewer != nullptr);
  const Character* seen = characters.FindInPlayByName(name);
  if (seen == nullptr || seen->x != viewer->x || seen->y != viewer->y) {
    outbox.Queue(connection, "Invalid character.");
    return;
  }
  outbox.Queue(connection, "You see a " + seen->description + ".");
}

}  // namespace world
