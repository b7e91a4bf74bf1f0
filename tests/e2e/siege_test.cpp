// The attacks of a siege, each at small scale and bounded in time, from loopback
// addresses held to the limits (only 127.0.0.1 is trusted), each beside a player who is
// still answered: input that is not lines is paced, pipelined requests are answered one
// at a time, connections that never log in neither shut others out nor stay, no
// character is promised that cannot be saved, and the password worker cannot be flooded.
// The pace, the caps and the benchmark of the same attacks: README, "Running on the
// internet" and `pelthollow-bench siege`.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::Client;
using e2e::Count;
using e2e::Process;
using e2e::Server;
using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr int kWorkerNice = 10;  // the server's password worker runs at nice 10

Process::Options Siege(std::map<std::string, std::string> more = {}) {
  Process::Options options;
  options.env = std::move(more);
  options.env["PELTHOLLOW_TRUSTED"] = "127.0.0.1";
  return options;
}

std::string SetupLine(const std::string& name) {
  return "setup " + name + " pw she 12 warrior moss \" a cat \" - -";
}

std::string PaceReached(const std::string& address) {
  return "Limit reached by " + address + ": PELTHOLLOW_MAX_LINES_PER_SECOND=20\n";
}

// A player on the trusted address, in play, whose `time` is answered.
struct Victim {
  explicit Victim(int port) : client(port, "127.0.0.1") {
    EXPECT_TRUE(client.ReadWelcome());
    EXPECT_EQ(client.Ask(SetupLine("Victim"))->substr(0, 17), "Character created");
  }
  bool Answered() { return client.Send("time") && client.WaitForFrame("It is ").has_value(); }
  Client client;
};

// GMCP over telnet and over the WebSocket's GMCP subprotocol, each message nested past
// the depth the server parses: every message counts against its connection's pace, as
// a line would.
TEST(Siege, NestedGmcpIsPacedLikeLines) {
  const int telnetPort = e2e::FreePort();
  const int webPort = e2e::FreePort();
  Server server(Siege({{"PELTHOLLOW_TELNET_PORT", std::to_string(telnetPort)},
                       {"PELTHOLLOW_WEB_PORT", std::to_string(webPort)}}));
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Telnet port ") && server.WaitForLog("Web client on port "));
  Victim victim(server.Port());
  const std::string nested = "Core.Supports.Set " + std::string(17, '[') + std::string(17, ']');

  Client telnet(telnetPort, "127.0.0.2");
  std::string flood = "\xff\xfd\xc9";  // DO GMCP
  for (int i = 0; i < 200; ++i) flood += "\xff\xfa\xc9" + nested + "\xff\xf0";
  ASSERT_TRUE(telnet.SendRaw(flood));

  Client web(webPort, "127.0.0.3");
  ASSERT_TRUE(web.SendRaw("GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Protocol: gmcp.mudstandards.org\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"));
  std::string got;
  std::size_t at = 0;
  ASSERT_TRUE(e2e::ReadUntil(web.Fd(), got, at, "\r\n\r\n"));
  ASSERT_EQ(got.substr(0, 12), "HTTP/1.1 101") << got;
  std::string frames;
  for (int i = 0; i < 200; ++i) {
    frames += "\x81"s + static_cast<char>(0x80 | nested.size()) + std::string(4, '\0') + nested;  // masked by zeros
  }
  ASSERT_TRUE(web.SendRaw(frames));

  EXPECT_TRUE(victim.Answered());
  EXPECT_TRUE(server.WaitForLog(PaceReached("127.0.0.2"))) << server.Log();
  EXPECT_TRUE(server.WaitForLog(PaceReached("127.0.0.3"))) << server.Log();
  EXPECT_TRUE(victim.Answered());
}

// 2,000 requests for the Mudlet package in one send from a client that reads nothing
// for a while: the server answers one request at a time as each answer leaves, at the
// pace, so it holds at most one answer of it and never ends it for its backlog.
TEST(Siege, PipelinedRequestsAreAnsweredOneAtATime) {
  const int webPort = e2e::FreePort();
  Server server(Siege({{"PELTHOLLOW_WEB_PORT", std::to_string(webPort)}}));
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Web client on port "));
  Victim victim(server.Port());
  Client pipeliner(webPort, "127.0.0.2", 4096);
  const timeval patience{10, 0};  // a server that stopped reading must not hang the test
  ::setsockopt(pipeliner.Fd(), SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
  std::string requests;
  for (int i = 0; i < 2000; ++i) requests += "GET /mudlet/pelthollow.mpackage HTTP/1.1\r\nHost: a\r\n\r\n";
  ASSERT_TRUE(pipeliner.SendRaw(requests));
  EXPECT_TRUE(victim.Answered());

  // More answers than the pace's burst, each whole, on the same connection.
  std::string got;
  std::size_t at = 0;
  for (int answer = 0; answer < 60; ++answer) {
    ASSERT_TRUE(e2e::ReadUntil(pipeliner.Fd(), got, at, "HTTP/1.1 200 OK\r\n")) << answer << "\n" << server.Log();
  }
  EXPECT_TRUE(server.WaitForLog(PaceReached("127.0.0.2"))) << server.Log();
  EXPECT_TRUE(victim.Answered());
}

// 448 connections from 7 addresses that never log in, under a descriptor limit of 400:
// each is greeted or turned away at once, those greeted are ended once their login time
// is up, and then a new player is welcomed and its character saved.
TEST(Siege, ConnectionsThatNeverLogInShutNobodyOut) {
  rlimit files{};
  ::getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < 1024 && files.rlim_max >= 1024) {
    files.rlim_cur = 1024;
    ::setrlimit(RLIMIT_NOFILE, &files);
  }
  auto options = Siege({{"PELTHOLLOW_LOGIN_SECONDS", "2"}});
  options.fileLimit = 400;
  Server server(options);
  ASSERT_TRUE(server.Ready()) << server.Log();
  std::vector<std::unique_ptr<Client>> idle;
  for (int a = 0; a < 7; ++a) {
    for (int i = 0; i < 64; ++i) idle.push_back(std::make_unique<Client>(server.Port(), "127.0.1." + std::to_string(a + 1)));
  }
  const auto deadline = e2e::Clock::now() + 10s;
  auto left = [&] { return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - e2e::Clock::now()); };
  std::vector<Client*> greeted;
  for (auto& client : idle) {
    const auto frame = client->NextFrame(left());
    ASSERT_TRUE(frame || client->WaitForClose(0ms)) << "a connection neither greeted nor closed\n" << server.Log();
    if (frame && *frame != "Too many connections from your address.") greeted.push_back(client.get());
  }
  EXPECT_GT(greeted.size(), 300u);
  const auto ended = e2e::Clock::now() + 15s;
  for (Client* client : greeted) {
    ASSERT_TRUE(client->WaitForClose(std::chrono::duration_cast<std::chrono::milliseconds>(ended - e2e::Clock::now())));
  }
  // Once they have gone, a new player is let in (one that comes while their sockets are
  // still closing is turned away at once, and tries again).
  idle.clear();
  std::unique_ptr<Client> player;
  const auto welcomed = e2e::Clock::now() + 5s;
  do {
    player = std::make_unique<Client>(server.Port());
  } while (!player->ReadWelcome(5s) && e2e::Clock::now() < welcomed);
  ASSERT_TRUE(player->Ask(SetupLine("Fern"))) << server.Log();
  EXPECT_EQ(player->Ask("time")->substr(0, 6), "It is ");
  const std::string log = server.Log();
  EXPECT_GE(Count(log, "did not enter play within 2 s"), greeted.size()) << log;
  EXPECT_EQ(log.find("Error accepting"), std::string::npos) << log;
  EXPECT_EQ(log.find("Error saving world"), std::string::npos) << log;
}

// A folder planted where the save's temporary file goes makes every save fail: setup is
// refused meanwhile rather than promise a character the next crash would lose, and works
// again once the world saves.
TEST(Siege, NoCharacterIsMadeWhileTheWorldCannotBeSaved) {
  e2e::TempDir dir;
  Server server(&dir, Siege());
  ASSERT_TRUE(server.Ready());
  auto adminSave = [&] {
    Process::Options save;
    save.args = {"admin", "save"};
    Process admin(dir.Path(), server.Port(), save);
    return Process::ExitCode(admin.Wait());
  };
  Client ash(server.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ASSERT_EQ(ash.Ask("setup Ash pw she 12 warrior emberfold \" a cat \" - -")->substr(0, 17), "Character created");
  const std::string planted = dir.File("savedata.phl.tmp");
  ASSERT_TRUE(std::filesystem::create_directory(planted));
  adminSave();
  ASSERT_TRUE(server.WaitForLog("Error saving world: ")) << server.Log();

  Client birch(server.Port());
  ASSERT_TRUE(birch.ReadWelcome());
  EXPECT_EQ(birch.Ask(SetupLine("Birch")), "The world cannot be saved right now. Try again later.");
  EXPECT_EQ(ash.Ask("time")->substr(0, 6), "It is ");  // play goes on

  // A save works once the folder has gone; the tick after it lifts the refusal, and
  // Ash's step shows that tick has run.
  std::filesystem::remove(planted);
  ASSERT_EQ(adminSave(), 0);
  ASSERT_EQ(ash.Ask("north"), "Movement queued.");
  ASSERT_TRUE(ash.WaitForFrame("Ash has entered the area."));
  EXPECT_EQ(birch.Ask(SetupLine("Birch"))->substr(0, 17), "Character created");
}

// 63 connections of one address set up the same new name at once while 64 of another
// guess a password: the worker hashes a few of them, and a player from a third address
// logs in meanwhile, never told the server is busy. Hashes are counted in the worker's
// CPU time, against five setups made first.
TEST(Siege, AFloodOfSetupsAndLoginsCostsAFewHashes) {
  Server server(Siege());
  ASSERT_TRUE(server.Ready());
  const pid_t pid = server.Proc().Pid();
  const double start = harness::NicedThreadsCpuSeconds(pid, kWorkerNice);
  for (int i = 0; i < 5; ++i) {
    Client maker(server.Port());
    ASSERT_TRUE(maker.ReadWelcome());
    ASSERT_EQ(maker.Ask(SetupLine("Cat" + std::to_string(i)))->substr(0, 17), "Character created");
  }
  const double calibrated = harness::NicedThreadsCpuSeconds(pid, kWorkerNice);
  const double hash = (calibrated - start) / 5;
  ASSERT_GT(hash, 0);

  std::vector<std::unique_ptr<Client>> rush;
  std::vector<std::unique_ptr<Client>> guessers;
  for (int i = 0; i < 63; ++i) rush.push_back(std::make_unique<Client>(server.Port(), "127.0.0.2"));
  for (int i = 0; i < 64; ++i) guessers.push_back(std::make_unique<Client>(server.Port(), "127.0.0.4"));
  Client player(server.Port(), "127.0.0.3");
  for (auto& c : rush) ASSERT_TRUE(c->ReadWelcome());
  for (auto& c : guessers) ASSERT_TRUE(c->ReadWelcome());
  ASSERT_TRUE(player.ReadWelcome());
  for (auto& c : rush) ASSERT_TRUE(c->Send(SetupLine("Rush")));
  for (auto& c : guessers) ASSERT_TRUE(c->Send("login Cat1 guess"));
  EXPECT_EQ(player.Ask("login Cat0 pw")->substr(0, 17), "Login successful.");
  const double loggedIn = harness::NicedThreadsCpuSeconds(pid, kWorkerNice);

  std::size_t created = 0;
  for (auto& c : rush) {
    const auto answer = c->NextFrame();
    ASSERT_TRUE(answer);
    created += answer->starts_with("Character created") ? 1 : 0;
  }
  for (auto& c : guessers) ASSERT_TRUE(c->NextFrame());
  const double done = harness::NicedThreadsCpuSeconds(pid, kWorkerNice);
  EXPECT_EQ(created, 1u);
  EXPECT_LT(loggedIn - calibrated, 8 * hash) << "the player waited behind the flood's hashes";
  EXPECT_LT(done - calibrated, 8 * hash) << (done - calibrated) / hash << " hashes";
}

}  // namespace
