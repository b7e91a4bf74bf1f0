#include "server/upgrade_records.h"

#include <array>
#include <climits>
#include <cstring>

namespace server::upgrade_records {

using base::FieldReader;
using base::FieldWriter;

void PutAddress(FieldWriter& out, std::uint32_t tag, const base::Address& address) {
  out.Bytes(tag, std::string_view(reinterpret_cast<const char*>(address.bytes.data()), address.bytes.size()));
}

bool GetAddress(FieldReader& in, std::uint32_t tag, base::Address& address) {
  const std::string_view bytes = in.Bytes(tag);
  if (bytes.empty()) return true;
  if (bytes.size() != address.bytes.size()) return false;
  std::memcpy(address.bytes.data(), bytes.data(), bytes.size());
  return true;
}

bool GetInt32(FieldReader& in, std::uint32_t tag, std::int32_t& value) {
  const std::int64_t read = in.Signed(tag, value);
  if (read < INT32_MIN || read > INT32_MAX) return false;
  value = static_cast<std::int32_t>(read);
  return true;
}

bool GetSocket(FieldReader& in, std::uint32_t tag, int& socket) {
  const std::uint64_t read = in.Unsigned(tag, connection::kMaxDescriptor + 1);
  if (read > connection::kMaxDescriptor) return false;
  socket = static_cast<int>(read);
  return true;
}

namespace {

// --- The world. -------------------------------------------------------------------------

enum CharacterTag : std::uint32_t {
  kName = 1, kPassword, kPronouns, kAge, kRole, kClan, kDescription, kFlag1, kFlag2, kX, kY,
  kHealth,  // eight of them, in the order of the record
  kExtra1, kExtra2, kLeader,
};

std::array<std::int32_t world::Character::*, 8> HealthFields() {
  using world::Character;
  return {&Character::healthOverall,      &Character::healthHead,          &Character::healthBody,
          &Character::healthTail,         &Character::healthLeftFrontLeg,  &Character::healthRightFrontLeg,
          &Character::healthLeftBackLeg,  &Character::healthRightBackLeg};
}

FieldWriter CharacterRecord(const world::CarriedCharacter& carried) {
  const world::Character& c = carried.character;
  FieldWriter out;
  out.Bytes(kName, c.name);
  out.Bytes(kPassword, c.password.Text());
  out.Bytes(kPronouns, c.pronouns);
  out.Signed(kAge, c.age);
  out.Signed(kRole, static_cast<std::int32_t>(c.role));
  out.Signed(kClan, static_cast<std::int32_t>(c.clan));
  out.Bytes(kDescription, c.description);
  out.Bool(kFlag1, c.anatomyFlag1);
  out.Bool(kFlag2, c.anatomyFlag2);
  out.Signed(kX, c.x);
  out.Signed(kY, c.y);
  for (const auto field : HealthFields()) out.Signed(kHealth, c.*field);
  out.Signed(kExtra1, c.extra1);
  out.Signed(kExtra2, c.extra2);
  out.Bytes(kLeader, carried.leader);
  return out;
}

bool ReadCharacter(FieldReader in, world::CarriedCharacter& carried) {
  world::Character& c = carried.character;
  c.name = in.Bytes(kName);
  c.password = in.Bytes(kPassword);
  c.pronouns = in.Bytes(kPronouns);
  std::int32_t role = static_cast<std::int32_t>(c.role);
  std::int32_t clan = static_cast<std::int32_t>(c.clan);
  bool good = GetInt32(in, kAge, c.age) && GetInt32(in, kRole, role) && GetInt32(in, kClan, clan) &&
              GetInt32(in, kX, c.x) && GetInt32(in, kY, c.y) && GetInt32(in, kExtra1, c.extra1) &&
              GetInt32(in, kExtra2, c.extra2);
  c.role = static_cast<world::Role>(role);
  c.clan = static_cast<world::Clan>(clan);
  c.description = in.Bytes(kDescription);
  c.anatomyFlag1 = in.Bool(kFlag1, true);
  c.anatomyFlag2 = in.Bool(kFlag2, true);
  const std::vector<std::int64_t> health = in.AllSigned(kHealth);
  const auto fields = HealthFields();
  for (std::size_t i = 0; i < health.size() && i < fields.size(); ++i) {
    good = good && health[i] >= INT32_MIN && health[i] <= INT32_MAX;
    c.*fields[i] = static_cast<std::int32_t>(health[i]);
  }
  carried.leader = in.Bytes(kLeader);
  return good && !c.name.empty() && in.Good();
}

enum WorldTag : std::uint32_t { kStored = 1, kInPlay, kKit, kDay, kTickOfDay, kChanged };
enum PlaceTag : std::uint32_t { kPlaceConnection = 1, kPlaceCharacter, kPlaceQueue };

}  // namespace

FieldWriter WorldRecord(const world::CarriedWorld& world) {
  FieldWriter out;
  for (const world::CarriedCharacter& c : world.stored) out.Record(kStored, CharacterRecord(c));
  for (const world::CarriedWorld::InPlay& p : world.inPlay) {
    FieldWriter place;
    place.Unsigned(kPlaceConnection, static_cast<std::uint64_t>(p.connection));
    place.Record(kPlaceCharacter, CharacterRecord(p.character));
    place.Bytes(kPlaceQueue, p.queue);
    out.Record(kInPlay, place);
  }
  for (const world::CarriedWorld::Kit& k : world.kits) {
    FieldWriter place;
    place.Unsigned(kPlaceConnection, static_cast<std::uint64_t>(k.connection));
    place.Record(kPlaceCharacter, CharacterRecord(k.character));
    out.Record(kKit, place);
  }
  out.Signed(kDay, world.clock.day);
  out.Signed(kTickOfDay, world.clock.tickOfDay);
  out.Bool(kChanged, world.changed);
  return out;
}

bool ReadWorld(FieldReader in, world::CarriedWorld& world) {
  bool good = true;
  for (FieldReader& record : in.AllRecords(kStored)) {
    good = good && ReadCharacter(record, world.stored.emplace_back());
  }
  for (FieldReader& record : in.AllRecords(kInPlay)) {
    world::CarriedWorld::InPlay& p = world.inPlay.emplace_back();
    good = good && GetSocket(record, kPlaceConnection, p.connection) &&
           ReadCharacter(record.Record(kPlaceCharacter), p.character);
    p.queue = record.Bytes(kPlaceQueue);
    for (const char word : p.queue) good = good && (word == 'n' || word == 's' || word == 'e' || word == 'w');
    in.Absorb(record);
  }
  for (FieldReader& record : in.AllRecords(kKit)) {
    world::CarriedWorld::Kit& k = world.kits.emplace_back();
    good = good && GetSocket(record, kPlaceConnection, k.connection) &&
           ReadCharacter(record.Record(kPlaceCharacter), k.character);
    in.Absorb(record);
  }
  good = good && GetInt32(in, kDay, world.clock.day) && GetInt32(in, kTickOfDay, world.clock.tickOfDay) &&
         world.clock.tickOfDay >= 0 && world.clock.tickOfDay < world::kTicksPerDay;
  world.changed = in.Bool(kChanged);
  return good && in.Good();
}

}  // namespace server::upgrade_records
