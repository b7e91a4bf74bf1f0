// The terminal client in line mode (for scripts) and plain mode (for screen readers and
// simple terminals), and at start-up, through pipes and a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "pty_client.h"

namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;

using namespace e2e;

// ---- Line mode -------------------------------------------------------------------------

e2e::Process::Options ClientOptions(const std::string& stdinText) {
  e2e::Process::Options options;
  options.args = {"client"};
  options.stdinText = stdinText;
  return options;
}

TEST(ClientLines, PrintsTheAnswersToPipedLinesAndEndsWhenTheServerCloses) {
  e2e::Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  e2e::TempDir dir;
  e2e::Process client(dir.Path(), server.Port(), ClientOptions("localhost\nhelp\n\nhelp combat\n"));
  EXPECT_EQ(e2e::Process::ExitCode(client.Wait()), 0) << client.Output();
  EXPECT_TRUE(client.WaitForEndOfOutput());
  EXPECT_EQ(client.Output(),
            "Enter a server to connect to: Starting client...\nConnected to server.\n"s + kWelcome +
                "\nhelp\tdisplays this message\nsetup\tcreates a character\n" + kLoginHelp +
                "\nswat\tstrikes foe with front paw\nkick\tstrikes foe with back paw\n"
                "bite\tbites foe\npounce\tjumps on foe's back\nrepel\tgets a foe off your back\n");
}

TEST(ClientLines, SendsEveryLineButEmptyOnesAndPrintsUntilTheServerCloses) {
  StandInServer server;
  e2e::TempDir dir;
  e2e::Process client(dir.Path(), server.Port(),
                      ClientOptions("localhost not-a-command\n\nlook\r\n  \nsay a\tb\n"));
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(server.Send("hello\nthere"));
  EXPECT_EQ(server.NextFrame(), "look");  // the CR of a CR LF line end dropped
  EXPECT_EQ(server.NextFrame(), "  ");
  EXPECT_EQ(server.NextFrame(), "say a\tb");
  EXPECT_FALSE(server.NextFrame().has_value());
  EXPECT_TRUE(server.PeerClosed());  // the client shut down its sending side
  ASSERT_TRUE(server.Send("\x1b[2Jlate"));  // still shown, as it came, into a pipe
  server.Close();
  EXPECT_EQ(e2e::Process::ExitCode(client.Wait()), 0);
  EXPECT_TRUE(client.WaitForEndOfOutput());
  EXPECT_EQ(client.Output(),
            "Enter a server to connect to: Starting client...\nConnected to server.\n"
            "hello\nthere\n\x1b[2Jlate\n");
}

TEST(ClientLines, ADumbTerminalGetsHarmlessLinesAndHearsOfTheServersClose) {
  StandInServer server;
  Prompted p(server.Port(), "dumb");
  ASSERT_TRUE(p.ready);
  p.client.Type("localhost\n");
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(server.Send(kWelcome));
  ASSERT_TRUE(p.client.WaitForOutput(kWelcome + "\r\n"s));
  p.client.Type("help\n");
  EXPECT_EQ(server.NextFrame(), "help");
  ASSERT_TRUE(server.Send("\x1b[31mred\x1b]0;title\x07"));  // on a terminal: in caret notation
  ASSERT_TRUE(p.client.WaitForOutput("^[[31mred^[]0;title^G\r\n")) << p.client.Output();
  server.Close();
  ASSERT_TRUE(p.client.WaitForOutput("Connection closed by server.\r\n")) << p.client.Output();
  EXPECT_EQ(e2e::Process::ExitCode(p.client.Wait()), 0);
  EXPECT_EQ(p.client.Output().find('\x1b'), std::string::npos);
  EXPECT_TRUE(SameSettings(p.client.Settings(), p.before));
}

TEST(ClientLines, PlainModeShowsTheHalfTypedLineAfterATextAndHidesThePassword) {
  StandInServer server;
  Prompted p(server.Port(), "xterm", {}, {"--plain"});
  ASSERT_TRUE(p.ready);
  p.client.Type("localhost\n");
  ASSERT_TRUE(server.Accept());
  ASSERT_TRUE(server.Send(kWelcome));
  ASSERT_TRUE(p.client.WaitForOutput(kWelcome + "\r\n"s));
  p.client.Type("login Ash moo\x7fon\r");
  EXPECT_EQ(server.NextFrame(), "login Ash moon");
  p.client.Type("say half");
  ASSERT_TRUE(p.client.WaitForOutput("****\r\nsay half")) << p.client.Output();
  ASSERT_TRUE(server.Send("Birchpaw: hi"));
  ASSERT_TRUE(p.client.WaitForOutput("say half\r        \rBirchpaw: hi\r\nsay half"))
      << p.client.Output();
  p.client.Type("\x15\x04");  // Ctrl-U, then Ctrl-D on the empty line ends the input
  EXPECT_FALSE(server.NextFrame().has_value());
  EXPECT_TRUE(server.PeerClosed());
  server.Close();
  EXPECT_EQ(e2e::Process::ExitCode(p.client.Wait()), 0);
  EXPECT_TRUE(SameSettings(p.client.Settings(), p.before));
  const std::string played = p.client.Output().substr(p.client.Output().find(kWelcome));
  EXPECT_EQ(played.find('\x1b'), std::string::npos) << played;
  EXPECT_EQ(played.find("moo"), std::string::npos) << played;
  EXPECT_EQ(played.find("Connection closed"), std::string::npos) << played;
}

// ---- Failures before the connection ---------------------------------------------------

TEST(ClientStart, ARefusedConnectionIsReportedWithItsCodeAndInWords) {
  e2e::TempDir dir;
  e2e::Process client(dir.Path(), e2e::FreePort(), ClientOptions("localhost\n"));
  EXPECT_EQ(e2e::Process::ExitCode(client.Wait()), 1);
  EXPECT_TRUE(client.WaitForEndOfOutput());
  EXPECT_EQ(client.Output(),
            "Enter a server to connect to: Starting client...\nError connecting: " +
                std::to_string(ECONNREFUSED) + "\n" + std::strerror(ECONNREFUSED) + "\n");
}

TEST(ClientStart, TheEndOfInputAtTheHostPromptEndsTheProgram) {
  e2e::TempDir dir;
  e2e::Process client(dir.Path(), e2e::FreePort(), ClientOptions(" \n\t\n"));
  EXPECT_EQ(e2e::Process::ExitCode(client.Wait()), 0);
  EXPECT_TRUE(client.WaitForEndOfOutput());
  EXPECT_EQ(client.Output(), "Enter a server to connect to: ");
}

TEST(ClientStart, TheModePromptAndTheHostShareOneLine) {
  StandInServer server;
  e2e::TempDir dir;
  e2e::Process::Options options = ClientOptions("c 127.0.0.1\nlook\n");
  options.args = {};
  e2e::Process client(dir.Path(), server.Port(), options);
  ASSERT_TRUE(server.Accept());
  EXPECT_EQ(server.NextFrame(), "look");
  EXPECT_FALSE(server.NextFrame().has_value());
  EXPECT_TRUE(server.PeerClosed());
  server.Close();
  EXPECT_EQ(e2e::Process::ExitCode(client.Wait()), 0);
  EXPECT_TRUE(client.WaitForEndOfOutput());
  EXPECT_EQ(client.Output(),
            "(S)erver or (C)lient mode? Enter a server to connect to: Starting client...\n"
            "Connected to server.\n");
}

}  // namespace
