// The operator's console through the real binary: `pelthollow admin ...` run beside a
// live server, its answers, what the players see, and bans that outlive a restart.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/un.h>

#include <filesystem>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::Client;
using e2e::Process;
using e2e::Server;
using e2e::TempDir;

std::string SetupLine(const std::string& name) {
  return "setup " + name + " pw she 12 warrior moss \" a cat \" - -";
}

class ConsoleTest : public ::testing::Test {
 protected:
  // The name of the user the tests run as, as the server's log names it.
  static std::string OwnUser() {
    const passwd* entry = ::getpwuid(::geteuid());
    return entry != nullptr ? entry->pw_name : "uid " + std::to_string(::geteuid());
  }

  // Runs `pelthollow admin <words>` in the server's folder; its output, or
  // "exit N: output" when it did not end with 0.
  std::string Admin(Server& server, std::vector<std::string> words) {
    Process::Options options;
    options.args = {"admin"};
    options.args.insert(options.args.end(), words.begin(), words.end());
    Process admin(server.Dir().Path(), server.Port(), options);
    const int code = Process::ExitCode(admin.Wait());
    admin.WaitForEndOfOutput();
    return code == 0 ? admin.Output() : "exit " + std::to_string(code) + ": " + admin.Output();
  }
};

TEST_F(ConsoleTest, RunsTheServerForItsOperator) {
  TempDir dir;
  Server server(&dir);
  ASSERT_TRUE(server.Ready());
  Client ash(server.Port());
  Client birch(server.Port());
  ASSERT_TRUE(ash.ReadWelcome() && birch.ReadWelcome());
  ash.Send(SetupLine("Ash"));
  ASSERT_TRUE(ash.WaitForFrame("Character created"));
  birch.Send(SetupLine("Birch"));
  ASSERT_TRUE(birch.WaitForFrame("Character created"));
  ash.Discard();
  birch.Discard();

  const std::string who = Admin(server, {"who"});
  EXPECT_NE(who.find("Ash"), std::string::npos) << who;
  EXPECT_NE(who.find("Birch"), std::string::npos) << who;
  EXPECT_NE(who.find("127.0.0.1        game"), std::string::npos) << who;

  EXPECT_EQ(Admin(server, {"announce", "Dusk", "patrol  soon"}), "Announced.\n");
  EXPECT_EQ(ash.NextFrame(), "[Announcement] Dusk patrol  soon");
  EXPECT_EQ(birch.NextFrame(), "[Announcement] Dusk patrol  soon");

  Admin(server, {"mute", "Ash", "5"});
  EXPECT_EQ(ash.Ask("say hello"), "You cannot speak right now.");
  EXPECT_EQ(ash.Ask("whisper Birch hello"), "You cannot speak right now.");
  Admin(server, {"unmute", "Ash"});
  EXPECT_EQ(ash.Ask("say hello"), "Ash: hello ");
  EXPECT_EQ(birch.NextFrame(), "Ash: hello ");  // waited for, not dropped: it may be late

  EXPECT_EQ(Admin(server, {"kick", "Birch", "Too", "loud."}), "Kicked Birch.\n");
  EXPECT_EQ(birch.NextFrame(), "You have been removed from the game.\nToo loud.");
  EXPECT_TRUE(birch.WaitForClose());
  EXPECT_TRUE(server.WaitForLog("Admin: kick Birch Too loud.\n"));

  Admin(server, {"ban-name", "Birch"});
  Client again(server.Port());
  ASSERT_TRUE(again.ReadWelcome());
  EXPECT_EQ(again.Ask("login Birch pw"), "This character is not allowed to play.");

  Admin(server, {"ban", "127.0.0.5", "spam"});
  Client banned(server.Port(), "127.0.0.5");
  EXPECT_EQ(banned.NextFrame(), "Your address is not allowed here.");
  EXPECT_TRUE(banned.WaitForClose());

  const std::string status = Admin(server, {"status"});
  EXPECT_NE(status.find("players in play 1\n"), std::string::npos) << status;
  EXPECT_NE(status.find("connections game=2\n"), std::string::npos) << status;

  EXPECT_EQ(Admin(server, {"shutdown", "2"}), "Shutting down in 2 seconds.\n");
  EXPECT_EQ(ash.NextFrame(), "The server is going down in 2 seconds.");
  EXPECT_EQ(ash.NextFrame(), "The server is going down now.");
  EXPECT_EQ(Process::ExitCode(server.Proc().Wait()), 0);
  EXPECT_NE(server.Log().find("Final save done.\n"), std::string::npos) << server.Log();

  // The bans come back with the server; the character saved at shutdown is kept out.
  Server restarted(&dir);
  ASSERT_TRUE(restarted.Ready());
  Client refused(restarted.Port(), "127.0.0.5");
  EXPECT_EQ(refused.NextFrame(), "Your address is not allowed here.");
  const std::string bans = Admin(restarted, {"bans"});
  EXPECT_NE(bans.find("address 127.0.0.5  for ever  spam\n"), std::string::npos) << bans;
  EXPECT_NE(bans.find("name Birch\n"), std::string::npos) << bans;
  Admin(restarted, {"unban", "127.0.0.5"});
  Client welcome(restarted.Port(), "127.0.0.5");
  EXPECT_TRUE(welcome.ReadWelcome());
}

TEST_F(ConsoleTest, ExitCodesSayWhatHappened) {
  TempDir dir;
  Server server(&dir);
  ASSERT_TRUE(server.Ready());
  Client ash(server.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ash.Send(SetupLine("Ash"));
  ASSERT_TRUE(ash.WaitForFrame("Character created"));

  EXPECT_EQ(Admin(server, {"kick", "Nobody"}), "exit 1: No character called Nobody is in play.\n");
  EXPECT_EQ(Admin(server, {"mute", "Nobody"}), "exit 1: No character called Nobody.\n");
  EXPECT_EQ(Admin(server, {"password", "Nobody"}), "exit 1: No character called Nobody.\n");
  // What the operator typed comes back with its control bytes written as the log writes
  // them: an echo cannot drive the terminal.
  EXPECT_EQ(Admin(server, {"kick", "No\x1b[2Jbody"}), "exit 1: No character called No\\x1b[2Jbody is in play.\n");
  EXPECT_EQ(Admin(server, {"unban", "\x07\x7f"}), "exit 1: No ban of \\x07\\x7f.\n");
  const std::string muteFormat = "format: mute NAME [minutes]\nThe minutes must be 0 to 5256000.\n";
  EXPECT_EQ(Admin(server, {"mute", "Ash", "abc"}), "exit 2: " + muteFormat);
  EXPECT_EQ(ash.Ask("say still here"), "Ash: still here ");  // not muted for ever
  EXPECT_EQ(Admin(server, {"frobnicate"}).rfind("exit 2: Unknown command.\n", 0), 0u);

  EXPECT_EQ(Admin(server, {"ban", "127.0.0.3"}), "Banned 127.0.0.3 until lifted.\n");
  EXPECT_EQ(Admin(server, {"ban", "127.0.0.3", "5"}),
            "Banned 127.0.0.3 for 5 minutes, replacing its ban for ever.\n");
  EXPECT_EQ(Admin(server, {"ban", "127.0.0.3", "5m", "spam"}).rfind("exit 2: format: ban ", 0), 0u);

  EXPECT_EQ(Admin(server, {"ban-name", "Rowan"}),
            "No character is called Rowan yet; banned the name for new characters too.\n");
  EXPECT_EQ(Admin(server, {"ban-name", "Rowan"}), "exit 1: The name Rowan is banned already.\n");
  Client rowan(server.Port());
  ASSERT_TRUE(rowan.ReadWelcome());
  EXPECT_EQ(rowan.Ask(SetupLine("Rowan")), "This character is not allowed to play.");

  const std::string password = Admin(server, {"password", "Ash"});
  const std::string said = "The new password of Ash is: ";
  ASSERT_EQ(password.rfind(said, 0), 0u) << password;
  EXPECT_TRUE(server.WaitForLog("Admin by " + OwnUser() + ", exit 0: " + said + "***\n"));
  EXPECT_EQ(server.Log().find(password.substr(said.size())), std::string::npos);  // not logged

  EXPECT_EQ(Admin(server, {"save"}), "World saved.\n");
  std::filesystem::create_directory(dir.File("savedata.phl.tmp"));  // every save fails now
  EXPECT_EQ(Admin(server, {"save"}), "exit 1: The save failed; see the server's log.\n");

  // Each answer in the log, with who asked.
  const std::string user = OwnUser();
  EXPECT_TRUE(
      server.WaitForLog("Admin by " + user + ", exit 1: The save failed; see the server's log.\n"));
  EXPECT_NE(server.Log().find("Admin by " + user + ", exit 2: format: mute NAME [minutes]\n"),
            std::string::npos);
}

// Operators are served while another one's connection says nothing, and so are players.
TEST_F(ConsoleTest, OperatorsAreServedWhileAnotherHoldsTheConsoleSocket) {
  TempDir dir;
  Server server(&dir);
  ASSERT_TRUE(server.Ready());
  ASSERT_TRUE(server.WaitForLog("Console at pelthollow.sock.\n"));
  const int silent = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = dir.File("pelthollow.sock");
  ASSERT_LT(path.size(), sizeof address.sun_path);
  path.copy(address.sun_path, path.size());
  ASSERT_EQ(::connect(silent, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

  Process::Options status;
  status.args = {"admin", "status"};
  Process::Options who;
  who.args = {"admin", "who"};
  Process first(dir.Path(), server.Port(), status);
  Process second(dir.Path(), server.Port(), who);
  Client player(server.Port());
  ASSERT_TRUE(player.ReadWelcome());
  player.Send(SetupLine("Ash"));
  ASSERT_TRUE(player.WaitForFrame("Character created"));
  EXPECT_EQ(player.Ask("time").value_or("").rfind("It is ", 0), 0u);
  EXPECT_EQ(Process::ExitCode(first.Wait()), 0);
  EXPECT_EQ(Process::ExitCode(second.Wait()), 0);
  EXPECT_NE(first.Output().find("uptime "), std::string::npos) << first.Output();
  EXPECT_EQ(second.Output().rfind("handle  address", 0), 0u) << second.Output();
  ::close(silent);
}

// As root, the server runs as nobody: root may open its socket and is told in words
// whose console it is, as is a user that may not open it.
TEST_F(ConsoleTest, AnotherUserIsToldInWordsWhoseConsoleItIs) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the server as another user";
  TempDir dir;
  TempDir bin;
  const std::string binary = bin.File("pelthollow");
  std::filesystem::copy_file(PELTHOLLOW_BINARY, binary);
  ::chmod(bin.Path().c_str(), 0755);
  ::chmod(binary.c_str(), 0755);
  ASSERT_EQ(::chown(dir.Path().c_str(), 65534, 65534), 0);
  ::chmod(dir.Path().c_str(), 0755);
  Process::Options options;
  options.runAsUser = 65534;
  const int port = e2e::FreePort();
  harness::Process server(binary, dir.Path(), port, options);
  ASSERT_TRUE(server.WaitForOutput("Console at pelthollow.sock.\n")) << server.Output();
  const std::string words =
      "Only the server's user may use its console; try: sudo -u nobody pelthollow admin ...\n";
  for (const unsigned user : {0u, 1u}) {  // root, and daemon
    Process::Options admin;
    admin.args = {"admin", "who"};
    admin.runAsUser = user;
    harness::Process p(binary, dir.Path(), port, admin);
    EXPECT_EQ(Process::ExitCode(p.Wait()), 1) << user;
    p.WaitForEndOfOutput();
    EXPECT_EQ(p.Output(), words) << user;
  }
  EXPECT_TRUE(server.WaitForOutput("Admin by root, exit 1: Only the server's user"))
      << server.Output();
}

TEST_F(ConsoleTest, SaysSoWhenNoServerAnswers) {
  TempDir dir;
  Process::Options options;
  options.args = {"admin", "who"};
  Process admin(dir.Path(), 1, options);
  EXPECT_EQ(Process::ExitCode(admin.Wait()), 1);
  admin.WaitForEndOfOutput();
  EXPECT_NE(admin.Output().find("Cannot reach the server's console"), std::string::npos);
}

}  // namespace
