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

// A state in which every field holds something other than its default.
UpgradeState Everything() {
  UpgradeState s;
  s.writer = "0.9.1";
  s.folderLock = 3;
  s.listeners = {{"game", 4}, {"console", 5}};
  connection::CarriedConnection c;
  c.socket = 17;
  c.order = 41;
  c.door = "telnet";
  c.peer = {Address(7), Address(0), true, 1000, Address(1)};
  c.endpoints = {Address(2), 4000, Address(1), true};
  c.started = c.admitted = true;
  c.state = connection::ConnectionState::PeerClosed;
  c.recvError = 104;
  c.why = "closed by the client";
  c.codec = std::string("\x08\x01", 2);
  c.waiting = std::string("Llook\0Tx\0", 9);
  c.backlog = "out";
  c.sending = "going";
  c.goodbye = "bye";
  c.received = "hal";
  c.proxyStep = connection::Connection::ProxyStep::Header;
  c.proxyBytes = "PROXY TCP4";
  c.forwarded = true;
  c.readEnded = true;
  c.readEnd = {connection::IoState::Reset, 104, 9, "reset"};
  c.writeError = 32;
  c.pace = 1;
  c.pausedUntil = 2;
  c.overSince = 3;
  c.deadline = 4;
  c.connected = 5;
  c.lastLine = 6;
  c.budget = 7;
  c.readPausedUntil = 8;
  s.layer.connections.push_back(c);
  s.layer.drains.push_back({19, 99, 12});
  s.layer.nextOrder = 42;
  s.layer.linesHandled = 1234;
  s.layer.bannedRefusals = 5;
  s.layer.book.records.push_back({Address(7), 2, {10, 11}, {12}, 3});
  s.layer.book.refusals = {1, 2, 3, 4};
  s.layer.keyBudgets.emplace_back(Address(7), 77);
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
  s.allowances.records.push_back({Address(9), 1, {20}, {21, 22}, 1});
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
  EXPECT_EQ(read.layer.connections.at(0).waiting, Everything().layer.connections.at(0).waiting);
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
