// admin upgrade end to end: players on every door keep playing through it, half-way
// through their lines and frames, with their output still unsent; a new executable
// that cannot take over, or hangs as it tries, changes nothing and stops nobody; one
// that dies or hangs after the exec starts again from the save; and a build of the
// previous commit hands over to this one, and this one back to it.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "harness/tls_certs.h"
#include "peers.h"

namespace {

using e2e::Client;
using e2e::Process;
using e2e::TempDir;
using namespace std::chrono_literals;
using namespace std::string_literals;

constexpr const char* kWelcome = "Welcome to Pelthollow! Type \"help\" for a list of commands.";

std::string SetupLine(const std::string& name, const std::string& clan) {
  return "setup " + name + " pw she 12 warrior " + clan + " \" a cat \" - -";
}

// The server started from `binary`, a copy of its own in the folder unless given.
class UpgradeServer {
 public:
  explicit UpgradeServer(std::map<std::string, std::string> env = {}, const std::string& binary = PELTHOLLOW_BINARY,
                         bool cheapHashes = true)
      : telnetPort(e2e::FreePort()), webPort(e2e::FreePort()), metricsPort(e2e::FreePort()) {
    executable = dir.File("pelthollow");
    std::filesystem::copy_file(binary, executable);
    Process::Options options;
    options.env = std::move(env);
    options.env["PELTHOLLOW_TELNET_PORT"] = std::to_string(telnetPort);
    options.env["PELTHOLLOW_WEB_PORT"] = std::to_string(webPort);
    options.env["PELTHOLLOW_METRICS_PORT"] = std::to_string(metricsPort);
    if (cheapHashes) options.env["PELTHOLLOW_CHEAP_PASSWORD_HASHES"] = "1";
    server = std::make_unique<harness::Server>(executable, &dir, options);
  }
  ~UpgradeServer() {
    const std::string log = server->Log();
    if (harness::FindSanitizerReport(log) != std::string::npos) ADD_FAILURE() << "server output:\n" << log;
  }

  bool Ready() { return server->Ready() && server->WaitForLog("Console at "); }
  int Port() { return server->Port(); }
  std::string Log() { return server->Log(); }

  // `pelthollow admin WORDS...`: its output, after "exit N: " when N is not 0.
  std::string Admin(const std::vector<std::string>& words) {
    Process::Options options;
    options.args = {"admin"};
    options.args.insert(options.args.end(), words.begin(), words.end());
    Process admin(dir.Path(), Port(), options);
    const int code = Process::ExitCode(admin.Wait(30s));
    admin.WaitForEndOfOutput();
    return code == 0 ? admin.Output() : "exit " + std::to_string(code) + ": " + admin.Output();
  }

  // Puts `text` in place of the executable, as an install would (a new file renamed in).
  void ReplaceExecutable(const std::string& text, bool executableMode = true) {
    const std::string fresh = executable + ".new";
    std::ofstream(fresh, std::ios::binary) << text;
    std::filesystem::permissions(fresh, executableMode ? std::filesystem::perms::owner_all
                                                       : std::filesystem::perms::owner_read |
                                                             std::filesystem::perms::owner_write);
    std::filesystem::rename(fresh, executable);
  }
  void InstallBinary(const std::string& binary) {
    std::filesystem::copy_file(binary, executable + ".new");
    std::filesystem::rename(executable + ".new", executable);
  }

  // The server's sockets (its listeners and connections), once they stop changing (a
  // closing socket drains first). Other descriptors it may have inherited from whoever
  // started it are not its own, and an upgrade closes them.
  std::size_t Sockets() {
    const std::string folder = "/proc/" + std::to_string(server->Proc().Pid()) + "/fd/";
    std::size_t last = 0;
    for (int same = 0, i = 0; same < 20 && i < 500; ++i) {
      std::size_t count = 0;
      if (DIR* d = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(d)) {
          char target[64] = {};
          if (::readlink((folder + entry->d_name).c_str(), target, sizeof target - 1) > 0 &&
              std::string_view(target).starts_with("socket:"))
            ++count;
        }
        ::closedir(d);
      }
      same = count == last ? same + 1 : 0;
      last = count;
      std::this_thread::sleep_for(10ms);
    }
    return last;
  }

  // The processes the server started and has not reaped, by their threads' lists.
  std::size_t Children() {
    std::size_t count = 0;
    const std::string tasks = "/proc/" + std::to_string(server->Proc().Pid()) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      std::istringstream children(harness::ReadFile(task.path().string() + "/children"));
      for (std::string pid; children >> pid;) ++count;
    }
    return count;
  }

  TempDir dir;
  std::string executable;
  int telnetPort;
  int webPort;
  int metricsPort;
  std::unique_ptr<harness::Server> server;
};

// A client on raw bytes: telnet, or a WebSocket whose frames it makes itself, so that
// a frame can be sent in two pieces.
class Raw {
 public:
  explicit Raw(int port) : client_(port) {}
  int Fd() const { return client_.Fd(); }
  bool Send(const std::string& bytes) { return client_.SendRaw(bytes); }
  bool Until(const std::string& text, std::chrono::milliseconds timeout = e2e::kTimeout) {
    return e2e::ReadUntil(client_.Fd(), got_, from_, text, timeout);
  }
  const std::string& Got() const { return got_; }

  // The opening handshake of /ws, with the GMCP subprotocol or without.
  bool OpenWebSocket(int port, bool gmcp) {
    std::string request = "GET /ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                          "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n";
    if (gmcp) request += "Sec-WebSocket-Protocol: gmcp.mudstandards.org\r\n";
    return Send(request + "\r\n") && Until("\r\n\r\n") && got_.starts_with("HTTP/1.1 101");
  }
  // A client's frame: masked, with a key of zeros, so the payload reads as it is.
  static std::string Frame(std::uint8_t opcode, const std::string& payload) {
    std::string frame = {static_cast<char>(0x80 | opcode), static_cast<char>(0x80 | payload.size()), 0, 0, 0, 0};
    return frame + payload;
  }

 private:
  Client client_;
  std::string got_;
  std::size_t from_ = 0;
};

std::string Gmcp(const std::string& message) { return "\xff\xfa\xc9" + message + "\xff\xf0"; }

double Metric(UpgradeServer& s, const std::string& name) {
  Raw scrape(s.metricsPort);
  scrape.Send("GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
  scrape.Until("\n" + name + " ", 5s);
  const std::size_t at = scrape.Got().find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::stod(scrape.Got().substr(at + name.size() + 2));
}

// Where each character stands, from the console's `who`: name to "x,y".
std::map<std::string, std::string> Places(const std::string& who) {
  std::map<std::string, std::string> places;
  std::istringstream lines(who);
  std::string line;
  std::getline(lines, line);  // the heading
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string handle, address, door, name, where;
    if (words >> handle >> address >> door >> name >> where) places[name] = where;
  }
  return places;
}

std::string Version(const std::string& binary = PELTHOLLOW_BINARY) {
  Process::Options options;
  options.args = {"--version"};
  harness::Process version(binary, ".", 0, options);
  version.Wait();
  version.WaitForEndOfOutput();
  const std::string text = version.Output();  // "pelthollow 0.2.0\n"
  return text.substr(text.find(' ') + 1, text.size() - text.find(' ') - 2);
}

TEST(Upgrade, EveryDoorPlaysOnThroughItWithNothingLostOrRepeated) {
  UpgradeServer s;
  ASSERT_TRUE(s.Ready()) << s.Log();

  {  // made and gone before anyone stands where it stood
    Client elder(s.Port());
    ASSERT_TRUE(elder.ReadWelcome());
    ASSERT_TRUE(elder.Ask(SetupLine("Elder", "ember")));
  }
  ASSERT_TRUE(s.server->WaitForLog("it held Elder\n"));
  // The game port: a player who will be half-way through a line. Each player stands in
  // a clan's camp of its own, so none hears another.
  Client ash(s.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ASSERT_TRUE(ash.Ask(SetupLine("Ash", "ember")));
  // Two wrong passwords for a stored character: a third ends the connection.
  Client guesser(s.Port());
  ASSERT_TRUE(guesser.ReadWelcome());
  EXPECT_EQ(guesser.Ask("login Elder wrong1"), "Incorrect password.");
  EXPECT_EQ(guesser.Ask("login Elder wrong2"), "Incorrect password.");
  // Telnet with GMCP, its steps queued.
  Raw mud(s.telnetPort);
  ASSERT_TRUE(mud.Until("\xff\xfb\xc9"));  // WILL GMCP
  mud.Send("\xff\xfd\xc9" + Gmcp(R"(Core.Supports.Set ["Char 1","Room 1"])") + SetupLine("Birch", "moss") + "\r\n");
  ASSERT_TRUE(mud.Until(Gmcp(R"(Char.Name {"name":"Birch"})"))) << mud.Got();
  mud.Send("north\r\nnorth\r\nnorth\r\n");
  ASSERT_TRUE(mud.Until(Gmcp(R"(Char.Queue {"steps":3})"))) << mud.Got();
  // A browser with the subprotocol, and one without that will be half-way through a frame.
  Raw browser(s.webPort);
  ASSERT_TRUE(browser.OpenWebSocket(s.webPort, true)) << browser.Got();
  browser.Send(Raw::Frame(0x2, SetupLine("Cedar", "lark")));
  ASSERT_TRUE(browser.Until("Character created.")) << browser.Got();
  browser.Send(Raw::Frame(0x2, "screenreader"));
  ASSERT_TRUE(browser.Until("Screen reader mode on.")) << browser.Got();
  Raw plain(s.webPort);
  ASSERT_TRUE(plain.OpenWebSocket(s.webPort, false)) << plain.Got();
  plain.Send(Raw::Frame(0x1, SetupLine("Dusk", "fern")));
  ASSERT_TRUE(plain.Until("Character created.")) << plain.Got();
  // One that stopped reading, with 200 KiB of answers unsent.
  Client slow(s.Port(), "", 4096);
  ASSERT_TRUE(slow.ReadWelcome());
  const std::string help = slow.Ask("help general").value_or("");
  ASSERT_FALSE(help.empty());
  const std::size_t asked = (200 * 1024 + 192 * 1024) / (help.size() + 1) + 1;
  std::string lines;
  for (std::size_t i = 0; i < asked; ++i) lines += "help general\0"s;
  ASSERT_TRUE(slow.SendRaw(lines));
  const auto deadline = harness::Clock::now() + 10s;
  while (Metric(s, "pelthollow_output_backlog_bytes") < 200 * 1024 && harness::Clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_GE(Metric(s, "pelthollow_output_backlog_bytes"), 200 * 1024);

  // Right after a tick took Birch's first step: the next is 5 s away.
  ASSERT_TRUE(mud.Until(Gmcp(R"(Char.Queue {"steps":2})"), 8s)) << mud.Got();
  const std::map<std::string, std::string> before = Places(s.Admin({"who"}));
  const std::size_t sockets = s.Sockets();
  const pid_t pid = s.server->Proc().Pid();
  ash.SendRaw("say befo");
  const std::string half = Raw::Frame(0x1, "say half way");
  plain.Send(half.substr(0, 9));
  std::string answer;
  std::thread upgrade([&] { answer = s.Admin({"upgrade", "New paths!"}); });
  ash.SendRaw("re\0say during\0"s);
  upgrade.join();
  EXPECT_EQ(answer, "Upgraded to version " + Version() + ".\n") << s.Log();
  EXPECT_EQ(Places(s.Admin({"who"})), before);
  ash.Send("say after");

  // Every answer came, once, in order, and nothing else but the announcement.
  std::vector<std::string> heard;
  for (int i = 0; i < 4; ++i) heard.push_back(ash.NextFrame().value_or("(none)"));
  std::erase(heard, "[Announcement] New paths!");
  EXPECT_EQ(heard, (std::vector<std::string>{"Ash: before ", "Ash: during ", "Ash: after "}));
  plain.Send(half.substr(9));
  EXPECT_TRUE(plain.Until("Dusk: half way ")) << plain.Got();
  EXPECT_NE(plain.Got().find("[Announcement] New paths!"), std::string::npos);
  mud.Send("north\r\n");
  EXPECT_TRUE(mud.Until(Gmcp(R"(Char.Queue {"steps":3})"))) << mud.Got();
  browser.Send(Raw::Frame(0x2, "say still here"));
  EXPECT_TRUE(browser.Until("Cedar says: still here")) << browser.Got();  // its mode came along
  for (std::size_t i = 0; i < asked; ++i) ASSERT_EQ(slow.NextFrame(), help) << i;
  EXPECT_EQ(slow.NextFrame(), "[Announcement] New paths!");
  EXPECT_EQ(slow.Ask("help general"), help);
  guesser.Send("login Elder wrong3");
  EXPECT_TRUE(guesser.WaitForFrame("Incorrect password."));
  EXPECT_TRUE(guesser.WaitForClose());
  guesser.Close();  // the server's drain of it ends with this

  EXPECT_EQ(s.server->Proc().Pid(), pid);
  EXPECT_EQ(s.Sockets(), sockets - 1) << "the guesser's connection ended; nothing else changed";
  EXPECT_NE(s.Log().find(" connections carried over.\n"), std::string::npos) << s.Log();
}

// A new executable that cannot take over changes nothing: the console says why with
// exit 1 and the player plays on, on the same connection.
TEST(Upgrade, ANewExecutableThatCannotTakeOverChangesNothing) {
  UpgradeServer s;
  ASSERT_TRUE(s.Ready()) << s.Log();
  Client ash(s.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ASSERT_TRUE(ash.Ask(SetupLine("Ash", "ember")));
  const std::string real = s.dir.File("real-pelthollow");
  std::filesystem::copy_file(s.executable, real);
  // The state cut short on its way to the probe: a script that hands the new build a
  // truncated copy under the descriptor the old one named.
  const std::string cut = "#!/bin/bash\nhead -c 100 /proc/self/fd/$PELTHOLLOW_UPGRADE_STATE >cut-state\n"
                          "eval \"exec $PELTHOLLOW_UPGRADE_STATE<cut-state\"\nexec " + real + " \"$@\"\n";
  const struct {
    std::string what;
    std::function<void()> install;
    std::string answer;
  } cases[] = {
      {"missing", [&] { std::filesystem::remove(s.executable); },
       "exit 1: The new server at " + s.executable + " cannot be started: No such file or directory (2)\n"},
      {"not executable", [&] { s.ReplaceExecutable("#!/bin/sh\n", false); },
       "exit 1: The new server at " + s.executable + " cannot be started: Permission denied (13)\n"},
      {"ends at once", [&] { s.InstallBinary("/bin/false"); },
       "exit 1: The new server ended (exit 1) before it could take over.\n"},
      {"crashes", [&] { s.ReplaceExecutable("#!/bin/sh\nkill -SEGV $$\n"); },
       "exit 1: The new server ended (signal 11) before it could take over.\n"},
      {"reads a cut state", [&] { s.ReplaceExecutable(cut); },
       "exit 1: The new server cannot take over: The upgrade's state is cut short.\n"},
  };
  for (const auto& c : cases) {
    c.install();
    EXPECT_EQ(s.Admin({"upgrade", "Never said"}), c.answer) << c.what;
    EXPECT_EQ(ash.Ask("say still here"), "Ash: still here ") << c.what;
  }
  EXPECT_EQ(ash.Pending(), 0u);  // the announcement was never made
}

// A new build that hangs as it reads the state holds up nobody: the players are
// answered meanwhile, and the console says why once the 10 seconds are up.
TEST(Upgrade, ANewBuildThatHangsAtTheProbeStopsNobody) {
  UpgradeServer s;
  ASSERT_TRUE(s.Ready()) << s.Log();
  Client ash(s.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ASSERT_TRUE(ash.Ask(SetupLine("Ash", "ember")));
  s.ReplaceExecutable("#!/bin/sh\nsleep 60\n");
  std::atomic<bool> over = false;
  std::string answer;
  std::thread upgrade([&] {
    answer = s.Admin({"upgrade"});
    over = true;
  });
  ASSERT_TRUE(s.server->WaitForLog("reads the state while play goes on")) << s.Log();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ash.Ask("say still here"), "Ash: still here ");
  EXPECT_FALSE(over) << "the players waited for the probe";
  upgrade.join();
  EXPECT_EQ(answer, "exit 1: The new server did not answer within 10 seconds; nothing was upgraded.\n") << s.Log();
  EXPECT_EQ(ash.Ask("say after"), "Ash: after ");
}

// A new process that dies or hangs right after the exec loses nothing the players were
// told was done: the guard the old one left ends it, tells the console, and starts the
// server again from the save, with every character where it stood.
TEST(Upgrade, ANewProcessThatFailsAfterTheExecStartsAgainFromTheSave) {
  const struct {
    std::string what;
    std::string after;  // what the new build does once it is the server
    std::string answer;
  } cases[] = {
      {"killed", "kill -KILL $$",
       "The new server ended after the exec before it served: the server starts again from the save.\n"},
      {"hangs", "exec sleep 60",
       "The new server did not serve within 10 seconds of the exec: it was ended, and the server starts again "
       "from the save.\n"},
  };
  for (const auto& c : cases) {
    UpgradeServer s;
    ASSERT_TRUE(s.Ready()) << s.Log();
    // The server the guard starts is nobody's child here: the console ends it, whatever
    // the test found.
    struct Stop {
      UpgradeServer& s;
      ~Stop() {
        if (s.server->Proc().WaitForEndOfOutput(0ms)) return;
        s.Admin({"shutdown"});
        s.server->Proc().WaitForEndOfOutput();
      }
    } stop{s};
    Client ash(s.Port());
    ASSERT_TRUE(ash.ReadWelcome());
    ASSERT_TRUE(ash.Ask(SetupLine("Ash", "ember")));
    const std::string where = Places(s.Admin({"who"})).at("Ash");
    const std::string real = s.dir.File("real-pelthollow");
    std::filesystem::copy_file(s.executable, real);
    // The probe passes; the new process fails as soon as it is the server an upgrade
    // started, and a server started afresh is the real one.
    s.ReplaceExecutable("#!/bin/sh\n[ -n \"$PELTHOLLOW_UPGRADE_PROBE\" ] && exec " + real +
                        " \"$@\"\n[ -n \"$PELTHOLLOW_UPGRADE_STATE\" ] && " + c.after + "\nexec " + real + " \"$@\"\n");
    EXPECT_EQ(s.Admin({"upgrade"}), "exit 1: " + c.answer) << c.what << "\n" << s.Log();
    EXPECT_TRUE(ash.WaitForClose()) << c.what;
    ASSERT_TRUE(s.server->WaitForLog(c.answer)) << c.what << "\n" << s.Log();
    ASSERT_TRUE(s.server->WaitForLog("Loaded 1 character and 0 bans.\n")) << c.what << "\n" << s.Log();
    ASSERT_TRUE(s.server->WaitForLog("Console at ")) << c.what;
    Client back(s.Port());
    ASSERT_TRUE(back.ReadWelcome()) << c.what;
    EXPECT_TRUE(back.Ask("login Ash pw").value_or("").starts_with("Login successful.")) << c.what;
    EXPECT_EQ(Places(s.Admin({"who"}))["Ash"], where) << c.what;
  }
}

// The build of the previous commit (PELTHOLLOW_PREVIOUS_BINARY, which CI makes); empty,
// with the test skipped, where there is none.
std::string PreviousBinary() {
  const char* previous = std::getenv("PELTHOLLOW_PREVIOUS_BINARY");
  if (previous != nullptr && *previous != '\0') return previous;
  if (std::getenv("PELTHOLLOW_REQUIRE_PREVIOUS") != nullptr) ADD_FAILURE() << "PELTHOLLOW_PREVIOUS_BINARY is not set";
  return {};
}

// Players of three doors, half-way through a line, are handed from a server of `from` to
// `to`, and play on.
void PlayOnFromOneBuildToTheOther(const std::string& from, const std::string& to) {
  UpgradeServer s({}, from);
  ASSERT_TRUE(s.Ready()) << s.Log();
  Client ash(s.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ASSERT_TRUE(ash.Ask(SetupLine("Ash", "ember")));
  Raw mud(s.telnetPort);
  ASSERT_TRUE(mud.Until("\xff\xfb\xc9"));
  mud.Send("\xff\xfd\xc9" + Gmcp(R"(Core.Supports.Set ["Char 1"])") + SetupLine("Birch", "moss") + "\r\n");
  ASSERT_TRUE(mud.Until(Gmcp(R"(Char.Name {"name":"Birch"})"))) << mud.Got();
  Raw browser(s.webPort);
  ASSERT_TRUE(browser.OpenWebSocket(s.webPort, false)) << browser.Got();
  browser.Send(Raw::Frame(0x1, SetupLine("Cedar", "lark")));
  ASSERT_TRUE(browser.Until("Character created.")) << browser.Got();
  const std::map<std::string, std::string> before = Places(s.Admin({"who"}));
  ash.SendRaw("say hal");
  s.InstallBinary(to);
  EXPECT_EQ(s.Admin({"upgrade"}), "Upgraded to version " + Version(to) + ".\n") << s.Log();
  ash.SendRaw("f way\0"s);
  EXPECT_EQ(ash.NextFrame(), "Ash: half way ");
  mud.Send("north\r\n");
  EXPECT_TRUE(mud.Until(Gmcp(R"(Char.Queue {"steps":1})"))) << mud.Got();
  browser.Send(Raw::Frame(0x1, "say here"));
  EXPECT_TRUE(browser.Until("Cedar: here ")) << browser.Got();
  EXPECT_EQ(Places(s.Admin({"who"})), before);
}

TEST(Upgrade, TheBuildOfThePreviousCommitHandsOverToThisOne) {
  const std::string previous = PreviousBinary();
  if (previous.empty()) GTEST_SKIP() << "PELTHOLLOW_PREVIOUS_BINARY is not set";
  PlayOnFromOneBuildToTheOther(previous, PELTHOLLOW_BINARY);
}

// And back: an operator may go back to the build before.
TEST(Upgrade, ThisBuildHandsBackToThePreviousOne) {
  const std::string previous = PreviousBinary();
  if (previous.empty()) GTEST_SKIP() << "PELTHOLLOW_PREVIOUS_BINARY is not set";
  PlayOnFromOneBuildToTheOther(PELTHOLLOW_BINARY, previous);
}

// A TLS session cannot leave its process: its players are asked to come back and are
// closed, and the plain players stay.
TEST(Upgrade, TlsPlayersAreAskedToComeBackAndThePlainOnesStay) {
  const std::string python = e2e::Python();
  SKIP_WITHOUT(python, "python3", "PELTHOLLOW_REQUIRE_PYTHON");
  TempDir certificates;
  harness::TestAuthority authority(certificates.Path());
  const harness::IssuedCertificate issued = authority.Issue("server");
  const int tlsPort = e2e::FreePort();
  UpgradeServer s({{"PELTHOLLOW_TLS_PORT", std::to_string(tlsPort)},
                   {"PELTHOLLOW_TLS_CERT", issued.certificateFile},
                   {"PELTHOLLOW_TLS_KEY", issued.keyFile}});
  ASSERT_TRUE(s.Ready() && s.server->WaitForLog("Game port over TLS on port ")) << s.Log();
  e2e::TlsTunnel tunnel(python, authority.CaFile(), tlsPort);
  ASSERT_TRUE(tunnel.Port()) << tunnel.Output();
  Client secure(tunnel.Port());
  ASSERT_TRUE(secure.ReadWelcome()) << tunnel.Output();
  ASSERT_TRUE(secure.Ask(SetupLine("Ash", "ember")));
  Client plain(s.Port());
  ASSERT_TRUE(plain.ReadWelcome());
  ASSERT_TRUE(plain.Ask(SetupLine("Birch", "moss")));
  EXPECT_TRUE(s.Admin({"upgrade"}).starts_with("Upgraded to version ")) << s.Log();
  EXPECT_EQ(secure.NextFrame(), "The server is restarting; please connect again.");
  EXPECT_TRUE(secure.WaitForClose());
  EXPECT_EQ(plain.Ask("say here"), "Birch: here ");
  EXPECT_TRUE(s.server->WaitForLog("ended: the server was upgraded, and TLS cannot be carried; it held Ash\n"));
  // The TLS door takes new players in the new process, and Ash's character is stored.
  Client again(tunnel.Port());
  ASSERT_TRUE(again.ReadWelcome()) << tunnel.Output();
  EXPECT_TRUE(again.Ask("login Ash pw").value_or("").starts_with("Login successful.")) << s.Log();
}

// The old process's password helper is ended before the exec: the new process's own
// is the only child it has, and checks and hashes passwords.
TEST(Upgrade, LeavesNoPasswordHelperBehind) {
  UpgradeServer s({}, PELTHOLLOW_BINARY, false);
  ASSERT_TRUE(s.Ready()) << s.Log();
  Client ash(s.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ASSERT_TRUE(ash.Ask(SetupLine("Ash", "ember")));
  EXPECT_TRUE(s.Admin({"upgrade"}).starts_with("Upgraded to version ")) << s.Log();
  EXPECT_EQ(s.Children(), 1u) << "the new process's password helper, and no other";
  EXPECT_EQ(ash.Ask("password pw pw2"), "Password changed.");
}

// A state that the probe read but the new process itself cannot (cut on its way, here):
// the new process starts as after a restart, from the save written just before.
TEST(Upgrade, AStateTheNewProcessCannotReadStartsItFromTheSave) {
  UpgradeServer s;
  ASSERT_TRUE(s.Ready()) << s.Log();
  Client ash(s.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ASSERT_TRUE(ash.Ask(SetupLine("Ash", "ember")));
  const std::string real = s.dir.File("real-pelthollow");
  std::filesystem::copy_file(s.executable, real);
  s.ReplaceExecutable("#!/bin/bash\n[ -n \"$PELTHOLLOW_UPGRADE_PROBE\" ] && exec " + real +
                      " \"$@\"\nhead -c 100 /proc/self/fd/$PELTHOLLOW_UPGRADE_STATE >cut-state\n"
                      "eval \"exec $PELTHOLLOW_UPGRADE_STATE<cut-state\"\nexec " + real + " \"$@\"\n");
  EXPECT_EQ(s.Admin({"upgrade"}), "exit 1: The server closed the console before its answer was whole (it may have "
                                  "ended or restarted); see its log.\n")
      << s.Log();  // its console was let go
  EXPECT_TRUE(ash.WaitForClose());
  ASSERT_TRUE(s.server->WaitForLog("The upgrade's state is cut short. The server starts from the save file.\n"));
  ASSERT_TRUE(s.server->WaitForLog("Loaded 1 character and 0 bans.\n")) << s.Log();
  ASSERT_TRUE(s.server->WaitForLog("Console at ")) << s.Log();
  Client back(s.Port());
  ASSERT_TRUE(back.ReadWelcome()) << s.Log();
  EXPECT_TRUE(back.Ask("login Ash pw").value_or("").starts_with("Login successful."));
}

}  // namespace
