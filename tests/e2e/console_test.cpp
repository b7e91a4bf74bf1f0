// The operator's console through the real binary: `pelthollow admin ...` run beside a
// live server, its answers, what the players see, and bans that outlive a restart.
#include <gtest/gtest.h>

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
