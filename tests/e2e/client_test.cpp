// The terminal client as its user sees it: on a pseudo-terminal (screen mode) and
// through pipes (line mode), against the real server or a small stand-in server that
// the test drives frame by frame.
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "client/terminal_model.h"
#include "e2e_support.h"

extern char** environ;

namespace {

using namespace std::string_literals;
using namespace std::chrono_literals;
using e2e::Clock;
using e2e::kTimeout;

constexpr char kWelcome[] = "Welcome to Pelthollow! Type \"help\" for a list of commands.";
constexpr char kScreenStart[] = "\x1b[2J\x1b[1;1H\x1b[1;23r";  // 24 rows
constexpr char kLoginHelp[] = "login\ttakes control of an existing character on the server";

// A server that accepts one client on the loopback and speaks frames under the
// test's control.
class StandInServer {
 public:
  StandInServer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 4);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~StandInServer() {
    Close();
    ::close(listener_);
  }
  StandInServer(const StandInServer&) = delete;
  StandInServer& operator=(const StandInServer&) = delete;

  int Port() const { return port_; }

  bool Accept(std::chrono::milliseconds timeout = kTimeout) {
    pollfd wait{listener_, POLLIN, 0};
    if (::poll(&wait, 1, static_cast<int>(timeout.count())) != 1) return false;
    connection_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    return connection_ >= 0;
  }

  bool SendRaw(const std::string& bytes) {
    return ::send(connection_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  bool Send(const std::string& text) { return SendRaw(text + "\0"s); }

  // The next frame from the client; nullopt on timeout or when the client stopped
  // sending (then PeerClosed() is true).
  std::optional<std::string> NextFrame(std::chrono::milliseconds timeout = kTimeout) {
    const auto deadline = Clock::now() + timeout;
    while (frames_.empty() && !peerClosed_) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      pollfd wait{connection_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&wait, 1, static_cast<int>(left.count())) != 1) {
        return std::nullopt;
      }
      char buffer[4096];
      const ssize_t got = ::recv(connection_, buffer, sizeof buffer, 0);
      if (got <= 0) {
        peerClosed_ = true;
        break;
      }
      splitter_.Feed(
          std::string_view(buffer, static_cast<std::size_t>(got)),
          [&](std::string_view text) { frames_.emplace_back(text); }, [] {});
    }
    if (frames_.empty()) return std::nullopt;
    std::string frame = std::move(frames_.front());
    frames_.pop_front();
    return frame;
  }
  bool PeerClosed() const { return peerClosed_; }

  void Close() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
  }

  // Ends the connection with a reset instead of an orderly close.
  void Reset() {
    const linger abort{1, 0};
    ::setsockopt(connection_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    Close();
  }

 private:
  int listener_ = -1;
  int connection_ = -1;
  int port_ = 0;
  bool peerClosed_ = false;
  net::FrameSplitter splitter_{1u << 24};
  std::deque<std::string> frames_;
};

// The client run on a pseudo-terminal of 24 rows by 80 columns.
class PtyClient {
 public:
  explicit PtyClient(int port, const std::string& term = "xterm") {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
      const std::string_view variable(*entry);
      if (variable.rfind("PELTHOLLOW_PORT=", 0) == 0 || variable.rfind("TERM=", 0) == 0) continue;
      env.emplace_back(variable);
    }
    env.push_back("PELTHOLLOW_PORT=" + std::to_string(port));
    env.push_back("TERM=" + term);
    std::vector<char*> envp;
    for (std::string& variable : env) envp.push_back(variable.data());
    envp.push_back(nullptr);
    std::string binary = PELTHOLLOW_BINARY;
    std::string mode = "client";
    char* argv[] = {binary.data(), mode.data(), nullptr};

    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      ::execve(binary.c_str(), argv, envp.data());
      ::_exit(127);
    }
    reader_.Start(master_);
  }
  ~PtyClient() {
    if (!exited_ && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    reader_.Join();
    ::close(master_);
  }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  void Type(const std::string& keys) {
    [[maybe_unused]] const ssize_t written = ::write(master_, keys.data(), keys.size());
  }
  void Signal(int signal) { ::kill(pid_, signal); }

  // Changes the terminal's size; the kernel tells the client with SIGWINCH.
  void Resize(int rows, int columns) {
    winsize size{};
    size.ws_row = static_cast<unsigned short>(rows);
    size.ws_col = static_cast<unsigned short>(columns);
    ::ioctl(master_, TIOCSWINSZ, &size);
  }

  std::string Output() { return reader_.Text(); }
  // Waits until the output after byte `from` holds `text`.
  bool WaitForOutput(const std::string& text, std::size_t from = 0) {
    return reader_.WaitFor(text, kTimeout, from);
  }

  // The terminal's settings as the client left them (read through the master side).
  termios Settings() const {
    termios settings{};
    ::tcgetattr(master_, &settings);
    return settings;
  }

  // Waits for the client to end and all its output to be read; its status as waitpid
  // gives it, or nullopt.
  std::optional<int> Wait() {
    const auto deadline = Clock::now() + kTimeout;
    reader_.WaitForEnd(kTimeout);
    for (;;) {
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        return status;
      }
      if (Clock::now() >= deadline) return std::nullopt;
      reader_.WaitForEnd(20ms);
    }
  }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  harness::OutputReader reader_;  // reads the master side until EIO
};

bool SameSettings(const termios& a, const termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_lflag == b.c_lflag &&
         a.c_cc[VMIN] == b.c_cc[VMIN] && a.c_cc[VTIME] == b.c_cc[VTIME];
}

// A client on a pseudo-terminal at the host prompt, with the terminal's settings from
// before the client touched them.
struct Prompted {
  explicit Prompted(int port, const std::string& term = "xterm") : client(port, term) {
    ready = client.WaitForOutput("Enter a server to connect to: ");
    before = client.Settings();
  }
  PtyClient client;
  termios before{};
  bool ready = false;
};

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
    const std::string word = "n" + std::to_string(i);
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

// ---- Failures before the connection ---------------------------------------------------

TEST(ClientStart, ARefusedConnectionIsReportedWithItsCode) {
  e2e::TempDir dir;
  e2e::Process client(dir.Path(), e2e::FreePort(), ClientOptions("localhost\n"));
  EXPECT_EQ(e2e::Process::ExitCode(client.Wait()), 0);
  EXPECT_TRUE(client.WaitForEndOfOutput());
  EXPECT_EQ(client.Output(),
            "Enter a server to connect to: Starting client...\nError connecting: " +
                std::to_string(ECONNREFUSED));
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
