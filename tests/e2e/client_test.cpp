// The terminal client as its user sees it: on a pseudo-terminal (screen mode) and
// through pipes (line mode), against the real server or a small stand-in server that
// the test drives frame by frame.
#include <gtest/gtest.h>
#include <netdb.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "client/terminal_model.h"
#include "pty_client.h"

namespace {

using namespace e2e;

using namespace std::string_literals;
using namespace std::chrono_literals;
using e2e::Clock;
using e2e::kTimeout;

// ---- Screen mode against the real server --------------------------------------------

TEST(ClientScreen, ConnectsShowsTheAnswerAndGivesTheTerminalBackWhenTheServerStops) {
  e2e::Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  Prompted p(server.Port());
  ASSERT_TRUE(p.ready) << p.client.Output();
  EXPECT_TRUE(p.before.c_lflag & ICANON);
  p.client.Type("localhost\n");
  ASSERT_TRUE(p.client.WaitForOutput(kWelcome)) << p.client.Output();
  const std::string start = p.client.Output();
  EXPECT_NE(start.find("Starting client...\r\nConnected to server.\r\n"s + kScreenStart),
            std::string::npos)
      << start;
  // The welcome is the first text, at row 1 of the cleared screen.
  EXPECT_NE(start.find("\x1b[1;1H"s + kWelcome), std::string::npos) << start;
  const termios raw = p.client.Settings();
  EXPECT_FALSE(raw.c_lflag & ICANON);
  EXPECT_FALSE(raw.c_lflag & ECHO);
  EXPECT_TRUE(raw.c_lflag & ISIG);

  p.client.Type("help\r");
  ASSERT_TRUE(p.client.WaitForOutput(kLoginHelp)) << p.client.Output();
  EXPECT_TRUE(server.WaitForLog(" : help\n"));
  // The line sent, dimmed, and its answer below it.
  EXPECT_NE(p.client.Output().find("\x1b[2;1H\x1b[2mhelp\x1b[m"), std::string::npos);
  EXPECT_NE(p.client.Output().find("\x1b[3;1Hhelp\tdisplays this message"), std::string::npos);

  const std::size_t before = p.client.Output().size();
  server.Proc().Signal(SIGTERM);
  ASSERT_TRUE(p.client.WaitForOutput("Connection closed by server.\r\n", before))
      << p.client.Output();
  EXPECT_EQ(e2e::Process::ExitCode(p.client.Wait()), 0);
  const std::string tail = p.client.Output().substr(before);
  EXPECT_NE(tail.find("\x1b[r\x1b[24;1H\x1b[2KConnection closed by server.\r\n"), std::string::npos)
      << tail;
  EXPECT_TRUE(SameSettings(p.client.Settings(), p.before));
}

// What a terminal of `rows` by `columns` shows after drawing the client's output from
// byte `from` on, every cell it was not told to draw showing '~'.
std::vector<std::string> ScreenFrom(PtyClient& client, std::size_t from, int rows, int columns) {
  client_test::TerminalModel terminal(rows, columns);
  terminal.Feed(client.Output().substr(from));
  std::vector<std::string> shown;
  for (int row = 1; row <= rows; ++row) shown.push_back(terminal.Text(row));
  return shown;
}

// Resizes the client's terminal and waits until the client has drawn it again; returns
// where the drawing starts in the output.
std::size_t ResizeAndWait(PtyClient& client, int rows, int columns) {
  const std::size_t from = client.Output().size();
  client.Resize(rows, columns);
  EXPECT_TRUE(client.WaitForOutput("\x1b[" + std::to_string(rows) + ";1H\x1b[2K", from));
  return from;
}

TEST(ClientScreen, AResizeKeepsTheNewestLinesOnScreen) {
  e2e::Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  Prompted p(server.Port());
  ASSERT_TRUE(p.ready) << p.client.Output();
  p.client.Type("localhost\n");
  p.client.Type("setup Ash pw she 12 warrior ember \" a grey cat \" x y\r");
  std::vector<std::string> rows;  // every row of the output area, oldest first
  for (int i = 10; i < 22; ++i) {
    const std::string word = std::string("n").append(std::to_string(i));
    p.client.Type("say " + word + "\r");
    ASSERT_TRUE(p.client.WaitForOutput("Ash: " + word + " ")) << p.client.Output();
    rows.insert(rows.end(), {"say " + word, "Ash: " + word});
  }
  // Smaller: the newest rows that fit, the newest just above the input row.
  std::size_t from = ResizeAndWait(p.client, 10, 40);
  std::vector<std::string> expected(rows.end() - 9, rows.end());
  expected.push_back("");
  EXPECT_EQ(ScreenFrom(p.client, from, 10, 40), expected);
  // Back to the full size: every output row holds text again.
  from = ResizeAndWait(p.client, 24, 80);
  p.client.Type("say after\r");
  ASSERT_TRUE(p.client.WaitForOutput("Ash: after", from));
  rows.insert(rows.end(), {"say after", "Ash: after"});
  expected.assign(rows.end() - 23, rows.end());
  expected.push_back("");
  EXPECT_EQ(ScreenFrom(p.client, from, 24, 80), expected);
}

// ---- The host prompt ------------------------------------------------------------------

TEST(ClientPrompt, ABadHostIsReportedWithItsCodeAndInWordsAndEndsTheClientWithOne) {
  const char host[] = "no-such-host.invalid";
  addrinfo hints{};  // what the resolver says here, as the client asks it
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int code = ::getaddrinfo(host, "1", &hints, &found);
  if (found != nullptr) ::freeaddrinfo(found);
  ASSERT_NE(code, 0);
  Prompted p(e2e::FreePort());
  ASSERT_TRUE(p.ready) << p.client.Output();
  p.client.Type(host + "\n"s);
  EXPECT_EQ(e2e::Process::ExitCode(p.client.Wait()), 1);
  const std::string output = p.client.Output();
  EXPECT_EQ(output.substr(output.find("Enter a server to connect to: ")),
            "Enter a server to connect to: "s + host + "\r\nError resolving address: " +
                std::to_string(code) + "\r\n" + ::gai_strerror(code) + "\r\n");
}

TEST(ClientPrompt, HostAndPortConnectToThatPort) {
  StandInServer server;
  Prompted p(e2e::FreePort());  // the port from the environment has no server
  ASSERT_TRUE(p.ready) << p.client.Output();
  p.client.Type("localhost:" + std::to_string(server.Port()) + "\n");
  ASSERT_TRUE(server.Accept()) << p.client.Output();
  ASSERT_TRUE(p.client.WaitForOutput(kScreenStart)) << p.client.Output();
  p.client.Type("look\r");
  EXPECT_EQ(server.NextFrame(), "look");
}

// ---- Screen mode against a stand-in server ------------------------------------------

class ClientScreenStandIn : public ::testing::Test {
 protected:
  ClientScreenStandIn() : prompted_(server_.Port()) {}

  // Connects and waits until the screen is laid out (raw mode is on by then).
  void Connect() {
    ASSERT_TRUE(prompted_.ready);
    Client().Type("localhost\n");
    ASSERT_TRUE(server_.Accept());
    ASSERT_TRUE(Client().WaitForOutput(kScreenStart)) << Client().Output();
  }
  PtyClient& Client() { return prompted_.client; }

  StandInServer server_;
  Prompted prompted_;
};

TEST_F(ClientScreenStandIn, SendsWhatTheInputRowShows) {
  Connect();
  Client().Type("ab\x1b[Dx");  // an insert in the middle: the row shows the line
  EXPECT_TRUE(Client().WaitForOutput("\x1b[24;1H\x1b[2Kaxb\x1b[24;3H")) << Client().Output();
  Client().Type("\r");
  EXPECT_EQ(server_.NextFrame(), "axb");
  Client().Type("\r");  // an empty line sends nothing
  Client().Type("h\xC3\xA9llo\x7f\x7f\x1b[15~\x1bOD\x1b[C\r");  // UTF-8, Backspace, F5 ignored
  EXPECT_EQ(server_.NextFrame(), "h\xC3\xA9l");
  Client().Type("say one\rsay two\r");  // keys after Enter belong to the next line
  EXPECT_EQ(server_.NextFrame(), "say one");
  EXPECT_EQ(server_.NextFrame(), "say two");
}

TEST_F(ClientScreenStandIn, ShowsControlBytesInCaretNotationAndSplitFramesWhole) {
  Connect();
  ASSERT_TRUE(server_.Send("\x1b[2Jevil\x07"));
  ASSERT_TRUE(Client().WaitForOutput("^[[2Jevil^G"));
  EXPECT_EQ(Client().Output().find("\x1b[2Jevil"), std::string::npos);
  ASSERT_TRUE(server_.SendRaw("first half, "));
  ASSERT_TRUE(server_.SendRaw("second half\0one\0two\0"s));
  ASSERT_TRUE(Client().WaitForOutput("\x1b[4;1Htwo")) << Client().Output();
  EXPECT_NE(Client().Output().find("\x1b[2;1Hfirst half, second half"), std::string::npos);
}

TEST_F(ClientScreenStandIn, AResetConnectionIsReportedWithItsCode) {
  Connect();
  ASSERT_TRUE(server_.Send("last words"));
  ASSERT_TRUE(Client().WaitForOutput("last words"));
  const std::size_t before = Client().Output().size();
  server_.Reset();
  ASSERT_TRUE(Client().WaitForOutput("Error getting data: " + std::to_string(ECONNRESET) + "\r\n", before))
      << Client().Output();
  EXPECT_EQ(e2e::Process::ExitCode(Client().Wait()), 0);
  EXPECT_NE(Client().Output().find("\x1b[r", before), std::string::npos);
  EXPECT_TRUE(SameSettings(Client().Settings(), prompted_.before));
}

TEST_F(ClientScreenStandIn, UpRecallsTheLastLineAndKeepsTheHalfTypedOne) {
  Connect();
  Client().Type("say one\r");
  EXPECT_EQ(server_.NextFrame(), "say one");
  Client().Type("half\x1b[A");
  ASSERT_TRUE(Client().WaitForOutput("\x1b[24;1H\x1b[2Ksay one\x1b[24;8H")) << Client().Output();
  Client().Type("\x1b[B!\r");
  EXPECT_EQ(server_.NextFrame(), "half!");
}

// Ctrl-C, SIGTERM and SIGHUP end the client as the signal does, with the terminal back
// as it was.
class ClientScreenSignals : public ClientScreenStandIn,
                            public ::testing::WithParamInterface<int> {};

TEST_P(ClientScreenSignals, GiveTheTerminalBack) {
  Connect();
  Client().Type("half a line");
  ASSERT_TRUE(Client().WaitForOutput("half a line"));
  if (GetParam() == SIGINT) {
    Client().Type("\x03");  // Ctrl-C through the terminal
  } else {
    Client().Signal(GetParam());
  }
  const auto status = Client().Wait();
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(WIFSIGNALED(*status));
  EXPECT_EQ(WTERMSIG(*status), GetParam());
  EXPECT_NE(Client().Output().find("\x1b[r\x1b[24;1H\x1b[2K"), std::string::npos);
  EXPECT_TRUE(SameSettings(Client().Settings(), prompted_.before));
  EXPECT_FALSE(server_.NextFrame().has_value());  // the half line was not sent
  EXPECT_TRUE(server_.PeerClosed());
}

INSTANTIATE_TEST_SUITE_P(Signals, ClientScreenSignals, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) {
                           return info.param == SIGINT    ? "CtrlC"s
                                  : info.param == SIGTERM ? "Sigterm"s
                                                          : "Sighup"s;
                         });

}  // namespace
