#include "world/client_data.h"

#include <nlohmann/json.hpp>
#include <string>

#include "core/connection_lock.h"
#include "world/looking.h"
#include "world/role.h"
#include "world/territory.h"

namespace world {

namespace {

using nlohmann::json;

void Send(core::Outbox& outbox, core::Socket connection, std::string_view name, const json& data) {
  std::string message(name);
  message += ' ';
  message += data.dump(-1, ' ', false, json::error_handler_t::replace);
  outbox.QueueData(connection, std::move(message));
}

// The place as `look` names it, without the sentence around it.
std::string PlaceName(std::int32_t x, std::int32_t y) {
  std::string name = LocationName(x, y);
  while (!name.empty() && (name.front() == ' ')) name.erase(0, 1);
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

std::string_view AreaOf(std::int32_t x, std::int32_t y) {
  if (Cell{x, y} == kOldmeadow) return "Oldmeadow";
  const auto owner = OwnerOf(x, y);
  return owner ? ClanName(*owner) : std::string_view("the border");
}

std::string_view EnvironmentOf(std::int32_t x, std::int32_t y) {
  switch (CellKindAt(x, y)) {
    case CellKind::Territory:
      return "territory";
    case CellKind::Landmark:
      return "landmark";
    case CellKind::Camp:
      return "camp";
    default:
      return "den";
  }
}

json RoomInfo(const Character& c) {
  json exits = json::object();
  if (c.y > 0) exits["n"] = (c.y - 1) * kMapSize + c.x;
  if (c.y < kMapSize - 1) exits["s"] = (c.y + 1) * kMapSize + c.x;
  if (c.x < kMapSize - 1) exits["e"] = c.y * kMapSize + c.x + 1;
  if (c.x > 0) exits["w"] = c.y * kMapSize + c.x - 1;
  return {{"num", c.y * kMapSize + c.x},
          {"name", PlaceName(c.x, c.y)},
          {"area", AreaOf(c.x, c.y)},
          {"environment", EnvironmentOf(c.x, c.y)},
          {"coords", {{"x", c.x}, {"y", c.y}}},
          {"exits", exits},
          {"details", json::array()}};
}

json RoomPlayers(const CharacterTable& characters, const Cell& cell) {
  json players = json::array();
  for (const core::Socket other : characters.OccupantsOf(cell.x, cell.y)) {
    const Character* c = characters.CharacterOf(other);
    if (c != nullptr) players.push_back({{"name", c->name}, {"clan", ClanName(c->clan)}});
  }
  return players;
}

}  // namespace

void TellClientEverything(const CharacterTable& characters, core::Outbox& outbox,
                          core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Character* c = characters.CharacterOf(connection);
  if (c == nullptr) return;
  if (outbox.DataWanted(connection, "Char.Name"))
    Send(outbox, connection, "Char.Name", {{"name", c->name}});
  if (outbox.DataWanted(connection, "Char.Status")) {
    const RoleTraits& traits = TraitsOf(c->role);
    Send(outbox, connection, "Char.Status",
         {{"clan", ClanName(c->clan)},
          {"role", traits.word},
          {"title", CharacterTitle(*c)},
          {"age", c->age / 30},  // in moons, as setup takes it
          {"pronouns", c->pronouns}});
  }
  if (outbox.DataWanted(connection, "Char.Vitals")) {
    const std::int32_t max = TraitsOf(c->role).health;
    json vitals = json::object();
    const auto part = [&](const char* name, std::int32_t value) {
      vitals[name] = value;
      vitals[std::string(name) + "Max"] = max;
    };
    part("overall", c->healthOverall);
    part("head", c->healthHead);
    part("body", c->healthBody);
    part("tail", c->healthTail);
    part("leftFrontLeg", c->healthLeftFrontLeg);
    part("rightFrontLeg", c->healthRightFrontLeg);
    part("leftBackLeg", c->healthLeftBackLeg);
    part("rightBackLeg", c->healthRightBackLeg);
    Send(outbox, connection, "Char.Vitals", vitals);
  }
  TellRoomInfo(characters, outbox, connection);
  TellQueue(characters, outbox, connection);
}

void TellRoomInfo(const CharacterTable& characters, core::Outbox& outbox, core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Character* c = characters.CharacterOf(connection);
  if (c == nullptr || !outbox.DataWanted(connection, "Room.Info")) return;
  Send(outbox, connection, "Room.Info", RoomInfo(*c));
}

void TellRoomPlayers(const CharacterTable& characters, core::Outbox& outbox, const Cell& cell) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (!outbox.AnyDataWanted()) return;
  json players;  // made once, for the first who wants it
  bool made = false;
  for (const core::Socket listener : characters.OccupantsOf(cell.x, cell.y)) {
    if (!outbox.DataWanted(listener, "Room.Players")) continue;
    if (!made) {
      players = RoomPlayers(characters, cell);
      made = true;
    }
    Send(outbox, listener, "Room.Players", players);
  }
}

void TellQueue(const CharacterTable& characters, core::Outbox& outbox, core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Character* c = characters.CharacterOf(connection);
  if (c == nullptr || !outbox.DataWanted(connection, "Char.Queue")) return;
  const MoveQueue* queue = characters.MoveQueueOf(*c);
  Send(outbox, connection, "Char.Queue", {{"steps", queue == nullptr ? 0 : queue->Size()}});
}

void TellSpeech(core::Outbox& outbox, core::Socket listener, std::string_view channel,
                const Character& talker, std::string_view text) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (!outbox.DataWanted(listener, "Comm.Channel.Text")) return;
  Send(outbox, listener, "Comm.Channel.Text",
       {{"channel", channel}, {"talker", talker.name}, {"text", text}});
}

}  // namespace world
