#include "connection/address_limits.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using connection::AddressBook;
using connection::LimitClock;
using namespace std::chrono_literals;

const base::Address kHost = base::Address::V4(0x0A000007);   // 10.0.0.7
const base::Address kOther = base::Address::V4(0x0A000008);  // 10.0.0.8

TEST(AddressBook, ConnectionsFailedLoginsAndNewCharactersPerAddress) {
  connection::AddressLimits limits;
  limits.maxConnections = 2;
  limits.maxFailedLogins = 3;
  limits.maxNewCharacters = 1;
  AddressBook book(limits);
  const LimitClock::time_point t0{};

  EXPECT_TRUE(book.Connect(kHost));
  EXPECT_TRUE(book.Connect(kHost));
  EXPECT_FALSE(book.Connect(kHost));
  EXPECT_TRUE(book.Connect(kOther));
  EXPECT_TRUE(limits.Trusted(base::Address::V4(0x7F000002)));  // loopback is trusted by default
  book.Disconnect(kHost);
  EXPECT_TRUE(book.Connect(kHost));

  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(book.LoginAllowed(kHost, t0 + i * 1min));
    book.NoteFailedLogin(kHost, t0 + i * 1min);
  }
  EXPECT_FALSE(book.LoginAllowed(kHost, t0 + 9min));
  EXPECT_TRUE(book.LoginAllowed(kOther, t0 + 9min));
  EXPECT_TRUE(book.LoginAllowed(kHost, t0 + 10min));  // the first has left the window

  book.NoteNewCharacter(kHost, t0);
  EXPECT_FALSE(book.NewCharacterAllowed(kHost, t0 + 59min));
  EXPECT_TRUE(book.NewCharacterAllowed(kHost, t0 + 60min));

  EXPECT_EQ(book.NoteRefusal(kHost, connection::LimitKind::Connections),
            "Limit reached by 10.0.0.7: PELTHOLLOW_MAX_CONNECTIONS=2\n");
  EXPECT_EQ(book.NoteRefusal(kHost, connection::LimitKind::Connections), "");
  EXPECT_NE(book.NoteRefusal(kHost, connection::LimitKind::FailedLogins), "");
  EXPECT_EQ(book.RefusalCount(connection::LimitKind::Connections), 2u);

  // Nothing is kept of an address that has gone and whose windows are empty.
  book.Disconnect(kHost);
  book.Disconnect(kHost);
  book.Disconnect(kOther);
  EXPECT_EQ(book.Records(), 1u);
  book.Prune(t0 + 2h);
  EXPECT_EQ(book.Records(), 0u);
}

// The handshake rate outlives the address's connections (an attacker whose every
// connection is refused must not get a fresh burst), and a storm of refusals is logged
// once a period with the count of those left out.
TEST(AddressBook, HandshakesKeepTheirRateAcrossConnectionsAndLogOnceAPeriod) {
  connection::AddressLimits limits;
  limits.maxHandshakesPerSecond = 2;
  AddressBook book(limits);
  const LimitClock::time_point t0 = LimitClock::time_point{} + 1h;
  for (int i = 0; i < 4; ++i) {
    ASSERT_TRUE(book.Connect(kHost));
    EXPECT_TRUE(book.HandshakeAllowed(kHost, t0));
    book.Disconnect(kHost);
  }
  EXPECT_FALSE(book.HandshakeAllowed(kHost, t0));
  book.Prune(t0 + 100ms);
  EXPECT_FALSE(book.HandshakeAllowed(kHost, t0 + 100ms));
  EXPECT_TRUE(book.HandshakeAllowed(kOther, t0 + 100ms));
  EXPECT_TRUE(book.HandshakeAllowed(kHost, t0 + 500ms));

  std::uint64_t unlogged = 99;
  EXPECT_TRUE(book.LogHandshakeRefusal(kHost, t0, unlogged));
  EXPECT_EQ(unlogged, 0u);
  EXPECT_FALSE(book.LogHandshakeRefusal(kHost, t0 + 30s, unlogged));
  EXPECT_FALSE(book.LogHandshakeRefusal(kHost, t0 + 59s, unlogged));
  EXPECT_TRUE(book.LogHandshakeRefusal(kHost, t0 + 60s, unlogged));
  EXPECT_EQ(unlogged, 2u);

  book.Prune(t0 + 3min);
  EXPECT_EQ(book.Records(), 0u);
}

TEST(LinePace, BurstsOfTwiceTheRateThenTheRate) {
  connection::LinePace pace;
  const LimitClock::time_point t0 = LimitClock::time_point{} + 1h;
  LimitClock::time_point readyAt;
  int taken = 0;
  while (pace.Take(10, t0, readyAt)) ++taken;
  EXPECT_EQ(taken, 20);
  EXPECT_EQ(readyAt, t0 + 100ms);
  EXPECT_FALSE(pace.Take(10, t0 + 99ms, readyAt));
  EXPECT_TRUE(pace.Take(10, t0 + 100ms, readyAt));
  EXPECT_FALSE(pace.Take(10, t0 + 100ms, readyAt));
  EXPECT_TRUE(pace.Take(0, t0, readyAt));  // no limit
}

}  // namespace
