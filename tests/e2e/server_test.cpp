// The server as a player's raw TCP client and its operator see it.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "e2e_support.h"

namespace {

using namespace std::string_literals;
using e2e::Client;
using e2e::Server;

constexpr const char* kHelpNotInPlay =
    "help\tdisplays this message\nsetup\tcreates a character\n"
    "login\ttakes control of an existing character on the server";

TEST(ServerStart, GreetsEveryConnectionFirstAndLogsIt) {
  Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  EXPECT_EQ(server.Log().rfind("Starting server...\nListening on port " +
                                   std::to_string(server.Port()) + ".\n", 0), 0u);
  Client a(server.Port());
  ASSERT_TRUE(a.ReadWelcome());
  Client b(server.Port());
  ASSERT_TRUE(b.ReadWelcome());
  EXPECT_EQ(a.Ask("help"), kHelpNotInPlay);
  ASSERT_TRUE(server.WaitForLog(" : help\n"));
  const std::string log = server.Log();
  EXPECT_NE(log.find("New connection from 127.0.0.1 ("), std::string::npos) << log;
}

TEST(ServerStart, APortInUseIsReportedWithItsErrno) {
  Server first;
  ASSERT_TRUE(first.Ready());
  e2e::TempDir dir;
  e2e::Process second(dir.Path(), first.Port(), {});
  const auto status = second.Wait();
  EXPECT_EQ(e2e::Process::ExitCode(status), 1);
  EXPECT_EQ(second.Output(), "Starting server...\nError binding server socket: 98");
}

TEST(ServerStart, ModeAndPortChoices) {
  e2e::TempDir dir;
  e2e::Process::Options options;
  options.args = {"SERVER"};
  options.stdinText = "\n  x\n  sErver\n";
  {
    e2e::Process p(dir.Path(), e2e::FreePort(), options);
    EXPECT_TRUE(p.WaitForOutput("Listening on port")) << p.Output();
    EXPECT_EQ(p.Output().rfind("(S)erver or (C)lient mode? (S)erver or (C)lient mode? Starting server...\n", 0), 0u)
        << p.Output();
  }
  options.args = {};
  options.stdinText = "x\n";
  {
    e2e::Process p(dir.Path(), e2e::FreePort(), options);
    EXPECT_EQ(e2e::Process::ExitCode(p.Wait()), 0);
    EXPECT_EQ(p.Output(), "(S)erver or (C)lient mode? (S)erver or (C)lient mode? ");
  }
  options.env = {{"PELTHOLLOW_PORT", "61x"}};
  {
    e2e::Process p(dir.Path(), 0, options);
    EXPECT_EQ(e2e::Process::ExitCode(p.Wait()), 1);
    EXPECT_EQ(p.Output(), "Invalid PELTHOLLOW_PORT: 61x\n");
  }
  const std::string closedOutput = std::string("'") + PELTHOLLOW_BINARY + "' server >&-";
  const int status = std::system(closedOutput.c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
}

TEST(ServerFrames, FramesCutOverWritesAndFramesThatArriveTogether) {
  Server server;
  ASSERT_TRUE(server.Ready());
  Client c(server.Port());
  ASSERT_TRUE(c.ReadWelcome());
  ASSERT_TRUE(c.SendRaw("he"));
  ASSERT_TRUE(server.WaitForLog("New connection"));
  ASSERT_TRUE(c.SendRaw("lp\0"s));
  EXPECT_EQ(c.NextFrame(), kHelpNotInPlay);
  ASSERT_TRUE(c.SendRaw("help combat\0HELP\0\0"s));
  EXPECT_EQ(c.NextFrame()->substr(0, 5), "swat\t");
  EXPECT_EQ(c.NextFrame(), "Unknown command.");
  EXPECT_EQ(c.NextFrame(), "Unknown command.");
}

TEST(ServerFrames, ALongLineIsRefusedOnceAndTheNextLineWorks) {
  Server server;
  ASSERT_TRUE(server.Ready());
  Client c(server.Port());
  ASSERT_TRUE(c.ReadWelcome());
  ASSERT_TRUE(c.SendRaw(std::string(3000, 'x')));
  ASSERT_TRUE(c.SendRaw(std::string(3000, 'y') + "\0help\0"s));
  EXPECT_EQ(c.NextFrame(), "Line too long.");
  EXPECT_EQ(c.NextFrame(), kHelpNotInPlay);
  ASSERT_TRUE(c.Send(std::string(4096, 'z')));  // exactly at the limit: handled
  EXPECT_EQ(c.NextFrame(), "Unknown command.");
}

TEST(ServerLog, ControlBytesAreEscapedAndPasswordsMasked) {
  Server server;
  ASSERT_TRUE(server.Ready());
  Client c(server.Port());
  ASSERT_TRUE(c.ReadWelcome());
  c.Send("say a\x1b[2Jb\x7f");
  c.Send("login Ash s3cret extra");
  c.Send("setup Ash pw");
  EXPECT_EQ(c.NextFrame(), "This command is not valid for you right now.");
  ASSERT_TRUE(server.WaitForLog(" : setup ***\n")) << server.Log();  // it does not parse
  const std::string log = server.Log();
  EXPECT_NE(log.find(" : say a\\x1b[2Jb\\x7f\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" : login Ash *** extra\n"), std::string::npos) << log;
  EXPECT_EQ(log.find("s3cret"), std::string::npos);
}

TEST(ServerConnections, ADisconnectIsLoggedAndLinesSentBeforeAHalfCloseAreAnswered) {
  Server server;
  ASSERT_TRUE(server.Ready());
  Client c(server.Port());
  ASSERT_TRUE(c.ReadWelcome());
  c.SendRaw("help\0help mating\0"s);
  ::shutdown(c.Fd(), SHUT_WR);
  EXPECT_EQ(c.NextFrame(), kHelpNotInPlay);
  EXPECT_EQ(c.NextFrame()->substr(0, 5), "grab\t");
  EXPECT_TRUE(c.WaitForClose());
  EXPECT_TRUE(server.WaitForLog(" disconnected\n"));

  Client gone(server.Port());
  ASSERT_TRUE(gone.ReadWelcome());
  gone.SendRaw("hel");  // half a frame, then away
  gone.Close();
  Client next(server.Port());
  ASSERT_TRUE(next.ReadWelcome());
  EXPECT_EQ(next.Ask("help"), kHelpNotInPlay);
}

TEST(ServerConnections, AClientThatStopsReadingIsEndedWhileOthersAreServed) {
  Server server;
  ASSERT_TRUE(server.Ready());
  Client greedy(server.Port());
  ASSERT_TRUE(greedy.ReadWelcome());
  Client polite(server.Port());
  ASSERT_TRUE(polite.ReadWelcome());
  std::atomic<bool> stop{false};
  std::string burst;
  for (int i = 0; i < 200; ++i) burst += "help general\0"s;
  // Asks and asks and never reads the answers.
  std::thread flood([&] {
    for (int i = 0; i < 2000 && !stop; ++i) {
      if (!greedy.SendRaw(burst)) break;
    }
  });
  for (int i = 0; i < 20; ++i) EXPECT_EQ(polite.Ask("help"), kHelpNotInPlay);
  EXPECT_TRUE(server.WaitForLog(" disconnected\n", std::chrono::seconds(30))) << server.Log().size();
  stop = true;
  ::shutdown(greedy.Fd(), SHUT_RDWR);  // its blocked send, if any, fails now
  flood.join();
  EXPECT_EQ(polite.Ask("help"), kHelpNotInPlay);
}

}  // namespace
