// Leaving and stopping through the real server: quit is answered before the close on
// the game port and on telnet, its character is stored, and the cat's cellmates see it
// gone at once; stop empties a queue, told to a GMCP client too.
#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"

namespace {

using namespace std::chrono_literals;
using e2e::Client;
using e2e::Server;

// The tick runs every 5 seconds; this leaves room for a slow (sanitized) build.
constexpr auto kNextTick = 8s;
// Well short of the tick's period: news this quick did not wait for a tick.
constexpr auto kAtOnce = 2s;

std::string SetupWarrior(const std::string& name, const std::string& clan = "ember") {
  return "setup " + name + " pw he 12 warrior " + clan + " \" a small cat \" x y";
}

std::string Gmcp(const std::string& message) { return "\xff\xfa\xc9" + message + "\xff\xf0"; }

// A server with a telnet port, ready when constructed.
struct TelnetServer {
  TelnetServer() : telnetPort(e2e::FreePort()), server(Options(telnetPort)) {
    ready = server.Ready() && server.WaitForLog("Telnet port ");
  }
  static e2e::Process::Options Options(int port) {
    e2e::Process::Options options;
    options.env["PELTHOLLOW_TELNET_PORT"] = std::to_string(port);
    return options;
  }
  int telnetPort;
  Server server;
  bool ready = false;
};

// A raw telnet session, with GMCP for the Char and Room packages when asked.
class TelnetClient {
 public:
  TelnetClient(int port, bool gmcp) : socket_(port) {
    if (!WaitFor("\xff\xfb\xc9")) return;  // WILL GMCP
    if (gmcp) socket_.SendRaw("\xff\xfd\xc9" + Gmcp(R"(Core.Supports.Set ["Char 1","Room 1"])"));
  }
  bool Send(const std::string& line) { return socket_.SendRaw(line + "\r\n"); }
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = e2e::kTimeout) {
    return e2e::ReadUntil(socket_.Fd(), received_, from_, text, timeout);
  }
  bool WaitForClose() { return socket_.WaitForClose(); }
  const std::string& Received() const { return received_; }

 private:
  Client socket_;
  std::string received_;
  std::size_t from_ = 0;
};

TEST(LeavingE2E, QuitSaysGoodbyeThenClosesAndStoresTheCharacter) {
  TelnetServer t;
  ASSERT_TRUE(t.ready) << t.server.Log();
  Client ash(t.server.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ASSERT_TRUE(ash.Ask(SetupWarrior("Ash")));
  // The line after quit is never answered.
  ASSERT_TRUE(ash.SendRaw(std::string("quit\0look\0", 10)));
  EXPECT_EQ(ash.NextFrame(), "Goodbye.");
  EXPECT_EQ(ash.NextFrame(), std::nullopt);
  EXPECT_TRUE(ash.WaitForClose());

  Client again(t.server.Port());
  ASSERT_TRUE(again.ReadWelcome());
  EXPECT_EQ(again.Ask("login Ash pw").value_or("").rfind("Login successful. Entering game...\n", 0), 0u);

  // On telnet, before entering play as after.
  TelnetClient visitor(t.telnetPort, false);
  visitor.Send("exit");
  EXPECT_TRUE(visitor.WaitFor("Goodbye.\r\n")) << visitor.Received();
  EXPECT_TRUE(visitor.WaitForClose());
  TelnetClient birch(t.telnetPort, false);
  birch.Send(SetupWarrior("Birch"));
  ASSERT_TRUE(birch.WaitFor("Character created. Entering game...\r\n")) << birch.Received();
  birch.Send("quit");
  EXPECT_TRUE(birch.WaitFor("Goodbye.\r\n")) << birch.Received();
  EXPECT_TRUE(birch.WaitForClose());
}

TEST(LeavingE2E, CellmatesSeeACatLeaveAtOnceAndStopEmptiesTheQueue) {
  TelnetServer t;
  ASSERT_TRUE(t.ready) << t.server.Log();
  TelnetClient birch(t.telnetPort, true);
  birch.Send(SetupWarrior("Birch"));
  ASSERT_TRUE(birch.WaitFor(Gmcp(R"(Room.Players [{"clan":"Emberfold","name":"Birch"}])"))) << birch.Received();
  Client ash(t.server.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ASSERT_TRUE(ash.Ask(SetupWarrior("Ash")));
  ASSERT_TRUE(birch.WaitFor(R"("name":"Ash")")) << birch.Received();

  // Just after a tick, seen by a cat in another camp that takes a step: the next tick
  // is a good 5 seconds away.
  Client dusk(t.server.Port());
  ASSERT_TRUE(dusk.ReadWelcome());
  ASSERT_TRUE(dusk.Ask(SetupWarrior("Dusk", "moss")));
  ASSERT_EQ(dusk.Ask("north"), "Movement queued.");
  ASSERT_EQ(dusk.NextFrame(kNextTick), "Dusk has entered the area.");

  birch.Send("north");
  EXPECT_TRUE(birch.WaitFor(Gmcp(R"(Char.Queue {"steps":1})"))) << birch.Received();
  birch.Send("stop");
  EXPECT_TRUE(birch.WaitFor("Movement queue cleared.\r\n")) << birch.Received();
  EXPECT_TRUE(birch.WaitFor(Gmcp(R"(Char.Queue {"steps":0})"))) << birch.Received();

  EXPECT_EQ(ash.Ask("quit"), "Goodbye.");
  EXPECT_TRUE(birch.WaitFor(Gmcp(R"(Room.Players [{"clan":"Emberfold","name":"Birch"}])"), kAtOnce))
      << birch.Received();
}

}  // namespace
