// The telnet port: a raw telnet session and a real MUD client (TinTin++ on a
// pseudo-terminal) play through the real server, beside a client of the game port.

#include <pty.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "e2e_support.h"

namespace {

using e2e::Client;
using e2e::Clock;
using e2e::Server;

const std::string kWelcome = "Welcome to Pelthollow! Type \"help\" for a list of commands.\r\n";
const std::string kHelpAnswer = "help\tdisplays this message\r\nsetup\tcreates a character\r\n";

std::string Command(unsigned char verb, unsigned char option) {
  return {'\xff', static_cast<char>(verb), static_cast<char>(option)};
}

// A server with the telnet port open, ready when constructed.
struct TelnetServer {
  TelnetServer() : telnetPort(e2e::FreePort()), server(Options(telnetPort)) {
    ready =
        server.Ready() && server.WaitForLog("Telnet port " + std::to_string(telnetPort) + ".\n");
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

// A raw telnet session: bytes in, bytes out, nothing interpreted.
class TelnetClient {
 public:
  explicit TelnetClient(int port) : socket_(port) {}
  bool Send(const std::string& bytes) { return socket_.SendRaw(bytes); }
  bool WaitFor(const std::string& text) { return e2e::ReadUntil(socket_.Fd(), received_, from_, text); }
  const std::string& Received() const { return received_; }

 private:
  Client socket_;
  std::string received_;
  std::size_t from_ = 0;
};

TEST(TelnetE2E, AnswersInCrLfLinesRefusesOptionsAndLimitsLines) {
  TelnetServer t;
  ASSERT_TRUE(t.ready) << t.server.Log();
  EXPECT_LT(t.server.Log().find("Listening on port "), t.server.Log().find("Telnet port "));
  TelnetClient c(t.telnetPort);
  // WILL MSSP, WILL GMCP, DO TTYPE, WILL CHARSET and DO NEW-ENVIRON first
  ASSERT_TRUE(c.WaitFor(Command(251, 70) + Command(251, 201) + Command(253, 24) + Command(251, 42) +
                        Command(253, 39) + kWelcome))
      << c.Received();
  EXPECT_TRUE(t.server.WaitForLog("New connection from 127.0.0.1 ("));

  // DO ECHO and WILL NAWS are refused; the line around an IAC IAC and an IAC NOP is one.
  c.Send(Command(253, 1) + Command(251, 31) + "he\xff\xf1lp\r\n");
  EXPECT_TRUE(c.WaitFor(Command(252, 1) + Command(254, 31) + kHelpAnswer)) << c.Received();
  EXPECT_TRUE(t.server.WaitForLog(" : help\n"));
  c.Send("say \xff\xff!\r\n");  // the byte 255 alone is no UTF-8
  EXPECT_TRUE(c.WaitFor("Your client sent text that is not UTF-8; set its encoding to UTF-8.\r\n")) << c.Received();
  EXPECT_TRUE(t.server.WaitForLog(" : say \xff!\n"));

  c.Send(std::string(5000, 'x') + "\r\nhelp\n");
  EXPECT_TRUE(c.WaitFor("Line too long.\r\n" + kHelpAnswer)) << c.Received();

  // The status crawlers read, after the client agrees to it.
  c.Send(Command(253, 70));
  const std::string players = "\x01PLAYERS\x02";
  EXPECT_TRUE(c.WaitFor("\xff\xfa\x46\x01NAME\x02Pelthollow" + players + "0\x01UPTIME\x02"))
      << c.Received();
  EXPECT_TRUE(c.WaitFor("\x01PORT\x02" + std::to_string(t.telnetPort) + "\xff\xf0"));
}

TEST(TelnetE2E, PlayersOnTheGamePortAndTheTelnetPortHearEachOther) {
  TelnetServer t;
  ASSERT_TRUE(t.ready) << t.server.Log();
  Client game(t.server.Port());
  ASSERT_TRUE(game.ReadWelcome());
  ASSERT_TRUE(game.Ask("setup Ash pw she 12 warrior emberfold \" a grey cat \" x y"));
  TelnetClient telnet(t.telnetPort);
  telnet.Send("setup Birch pw he 12 warrior emberfold \" a brown cat \" x y\r\n");
  ASSERT_TRUE(telnet.WaitFor("Character created. Entering game...\r\n")) << telnet.Received();

  telnet.Send("say hello from telnet\r\n");
  EXPECT_TRUE(telnet.WaitFor("Birch: hello from telnet \r\n")) << telnet.Received();
  EXPECT_TRUE(game.WaitForFrame("Birch: hello from telnet "));
  game.Send("say hello from the game port");
  EXPECT_TRUE(telnet.WaitFor("Ash: hello from the game port \r\n")) << telnet.Received();
}

TEST(TelnetE2E, AnInvalidTelnetPortEndsTheServer) {
  e2e::TempDir dir;
  e2e::Process::Options options;
  options.env["PELTHOLLOW_TELNET_PORT"] = "23x";
  e2e::Process process(dir.Path(), e2e::FreePort(), options);
  EXPECT_EQ(e2e::Process::ExitCode(process.Wait()), 1);
  EXPECT_EQ(process.Output(), "Invalid PELTHOLLOW_TELNET_PORT: 23x\n");
}

// --- A real MUD client ------------------------------------------------------------

// TinTin++'s program, or empty when it is not installed.
std::string FindTinTin() {
  std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
  path += ":/usr/games";
  for (std::size_t start = 0; start <= path.size();) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    const std::filesystem::path candidate =
        std::filesystem::path(path.substr(start, end - start)) / "tt++";
    if (end > start && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
    start = end + 1;
  }
  return {};
}

// TinTin++ on a pseudo-terminal; its screen output is collected as it comes.
class TinTin {
 public:
  explicit TinTin(const std::string& program) {
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 120;
    pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      ::setenv("TERM", "xterm", 1);
      ::execl(program.c_str(), program.c_str(), "-G", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~TinTin() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    ::close(master_);
  }
  TinTin(const TinTin&) = delete;
  TinTin& operator=(const TinTin&) = delete;

  void Type(const std::string& keys) {
    [[maybe_unused]] const ssize_t n = ::write(master_, keys.data(), keys.size());
  }
  bool WaitForScreen(const std::string& text) { return e2e::ReadUntil(master_, screen_, from_, text); }
  const std::string& Screen() const { return screen_; }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  std::string screen_;
  std::size_t from_ = 0;
};

// CI sets PELTHOLLOW_REQUIRE_TINTIN=1 so that a missing tt++ fails instead of skipping.
TEST(TelnetE2E, TinTinPlaysAndTurnsGmcpOnAsTheReadmeSays) {
  const std::string program = FindTinTin();
  if (program.empty()) {
    const char* require = std::getenv("PELTHOLLOW_REQUIRE_TINTIN");
    if (require != nullptr && std::string(require) == "1") FAIL() << "tt++ is not installed";
    GTEST_SKIP() << "tt++ is not installed";
  }
  TelnetServer t;
  ASSERT_TRUE(t.ready) << t.server.Log();
  TinTin tintin(program);
  // The README's two lines that turn GMCP on.
  tintin.Type("#event {IAC WILL GMCP} {#send {\\xFF\\xFD\\xC9\\};#send {\\xFF\\xFA\\xC9Core.Supports.Set "
              "[\"Char 1\",\"Room 1\",\"Comm 1\"]\\xFF\\xF0\\}}\r");
  tintin.Type("#event {IAC SB GMCP Room.Info IAC SE} {#var room {%0};#showme Now in $room[name] "
              "($room[coords][x],$room[coords][y])}\r");
  tintin.Type("#session pelthollow 127.0.0.1 " + std::to_string(t.telnetPort) + "\r");
  ASSERT_TRUE(tintin.WaitForScreen("Welcome to Pelthollow!")) << tintin.Screen();
  tintin.Type("help\r");
  EXPECT_TRUE(tintin.WaitForScreen("displays this message")) << tintin.Screen();
  EXPECT_TRUE(tintin.WaitForScreen("takes control of an existing character")) << tintin.Screen();
  EXPECT_TRUE(t.server.WaitForLog(" : help\n"));
  tintin.Type("setup Ash pw she 12 warrior ember \" a cat \" - -\r");
  EXPECT_TRUE(tintin.WaitForScreen("Now in the Emberfold warriors' den (22,23)")) << tintin.Screen();
}

// TinTin++'s screen reader option reaches the server through MTTS: the mode turns on
// by itself, and speech comes with its kind, while a player beside it hears it as ever.
TEST(TelnetE2E, TinTinWithItsScreenReaderOptionHearsSpeechWithItsKind) {
  const std::string program = FindTinTin();
  if (program.empty()) {
    const char* require = std::getenv("PELTHOLLOW_REQUIRE_TINTIN");
    if (require != nullptr && std::string(require) == "1") FAIL() << "tt++ is not installed";
    GTEST_SKIP() << "tt++ is not installed";
  }
  TelnetServer t;
  ASSERT_TRUE(t.ready) << t.server.Log();
  TinTin tintin(program);
  tintin.Type("#config {SCREEN READER} on\r");
  tintin.Type("#session pelthollow 127.0.0.1 " + std::to_string(t.telnetPort) + "\r");
  ASSERT_TRUE(tintin.WaitForScreen("Screen reader mode on.")) << tintin.Screen();
  EXPECT_TRUE(t.server.WaitForLog(" uses the client TINTIN++\n")) << t.server.Log();
  tintin.Type("setup Ash pw she 12 warrior ember \" a cat \" - -\r");
  ASSERT_TRUE(tintin.WaitForScreen("Character created.")) << tintin.Screen();
  Client game(t.server.Port());
  ASSERT_TRUE(game.ReadWelcome());
  ASSERT_TRUE(game.Ask("setup Birch pw he 12 warrior ember \" a cat \" - -"));
  EXPECT_TRUE(tintin.WaitForScreen("Birch has logged in here.")) << tintin.Screen();
  game.Send("yowl the moon is high");
  EXPECT_TRUE(tintin.WaitForScreen("Birch yowls: the moon is high\r\n")) << tintin.Screen();
  EXPECT_TRUE(game.WaitForFrame("Birch: the moon is high "));
}

}  // namespace
