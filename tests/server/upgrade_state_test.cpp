#include "server/upgrade_state.h"

#include <gtest/gtest.h>

#include <string>

namespace server {
namespace {

base::Address Address(std::uint8_t last) {
  base::Address address = base::Address::V4(0xC0000200u);
  address.bytes[15] = last;
  return address;
}

world::CarriedCharacter Cat(const std::string& name, std::int32_t n) {
  world::CarriedCharacter c;
  c.character.name = name;
  c.character.password = "$argon2id$" + name;
  c.character.pronouns = "she";
  c.character.age = 30 * n;
  c.character.role = world::Role::Deputy;
  c.character.clan = world::Clan::Larkfold;
  c.character.description = "a grey cat ";
  c.character.anatomyFlag1 = false;
  c.character.anatomyFlag2 = false;
  c.character.x = n;
  c.character.y = 29 - n;
  c.character.healthOverall = 1;
  c.character.healthHead = 2;
  c.character.healthBody = 3;
  c.character.healthTail = -4;
  c.character.healthLeftFrontLeg = 5;
  c.character.healthRightFrontLeg = 6;
  c.character.healthLeftBackLeg = 7;
  c.character.healthRightBackLeg = 8;
  c.character.extra1 = -9;
  c.character.extra2 = 10;
  return c;
}

// The connection layer's record as an older build wrote it (the layer reads it:
// connection/connection_record.h): one connection with two lines waiting, and a drain.
std::string LayerRecord() {
  base::FieldWriter connection;
  connection.Unsigned(1, 17);  // its descriptor
  connection.Unsigned(2, 41);  // its order
  connection.Bytes(3, "telnet");
  connection.Bytes(12, std::string("Llook\0Tx\0", 9));  // its waiting lines
  base::FieldWriter drain;
  drain.Unsigned(1, 19);
  base::FieldWriter layer;
  layer.Record(1, connection);
  layer.Record(2, drain);
  layer.Unsigned(3, 42);  // the next order
  return layer.Take();
}

// A state in which every field holds something other than its default.
UpgradeState Everything() {
  UpgradeState s;
  s.writer = "0.9.1";
  s.folderLock = 3;
  s.listeners = {{"game", 4}, {"console", 5}};
  s.layer.record = LayerRecord();
  s.world.stored.push_back(Cat("Ashpaw", 1));
  world::CarriedWorld::InPlay playing{17, Cat("Birchkit", 2), "nnew"};
  playing.character.leader = "Ashpaw";
  s.world.inPlay.push_back(playing);
  s.world.kits.push_back({18, Cat("Cedar", 3)});
  s.world.clock = {12, 2879};
  s.world.changed = true;
  commands::Session session{Address(0), true, 2, true, true};
  s.sessions.emplace_back(17, session);
  s.screenReaders = {17, 18};
  s.mutes.emplace_back("Ashpaw", 123456789);
  const auto at = [](std::int64_t nanoseconds) { return connection::FromCarriedTime(nanoseconds); };
  s.allowances.records.push_back({Address(9), {1, {at(20)}, {at(21), at(22)}, 1}});
  s.allowances.refusals = {5, 6, 7, 8};
  s.logins = {1, 2, 3, 4, 5, 6};
  s.measures = {11, 12, {{1, 2, 3}, 0.5, 4}, {{5}, 1.25, 6}, 7, 8, 9, 10, 11, 2.5};
  s.tick = 99;
  s.nextTick = 123;
  s.countdown = {true, true, 456, 3};
  s.console = 20;
  s.announcement = "New paths!";
  return s;
}

}  // namespace

TEST(UpgradeState, EveryFieldReadsBack) {
  const std::string written = WriteUpgradeState(Everything());
  UpgradeState read;
  ASSERT_TRUE(ReadUpgradeState(written, read).ok());
  // A field the reader left out would come back as its default and write differently.
  EXPECT_EQ(WriteUpgradeState(read), written);
  EXPECT_EQ(read.layer.record, Everything().layer.record);
  EXPECT_EQ(read.layer.connections, std::vector<core::Socket>{17});
  EXPECT_EQ(read.world.inPlay.at(0).character.leader, "Ashpaw");
  EXPECT_EQ(read.measures.saves.sum, 1.25);
}

TEST(UpgradeState, ACutOrChangedStateIsRefusedInWords) {
  const std::string written = WriteUpgradeState(Everything());
  for (std::size_t cut = 0; cut < written.size(); cut += 7) {
    UpgradeState read;
    EXPECT_FALSE(ReadUpgradeState(std::string_view(written).substr(0, cut), read).ok()) << cut;
  }
  std::string changed = written;
  changed.back() ^= 1;
  UpgradeState read;
  const base::Status status = ReadUpgradeState(changed, read);
  EXPECT_EQ(status.Text(), "The upgrade's state is damaged: its digest does not match.");
}

}  // namespace server
