// Passwords through the real server: a file of plain passwords from before is hashed in
// the background and keeps its logins, a player whose password is being checked holds
// up nobody else, and a password helper that hangs or ends costs at most the login in
// flight.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "base/password.h"
#include "e2e_support.h"
#include "persist/save_reader.h"
#include "persist/save_writer.h"

namespace {

using namespace std::chrono_literals;
using e2e::Client;
using e2e::Server;
using e2e::TempDir;

// The plain password of "Cat<i>": "pw" and the number; the last one's begins like a
// hash, as an old password may.
std::string PlainPassword(int i, int count) {
  return (i == count - 1 ? "$argon2id$v=19$pw" : "pw") + std::to_string(i);
}

// A save file of `count` stored characters "Cat0", "Cat1", ..., each with its
// PlainPassword.
std::string PlainWorld(int count) {
  std::vector<world::Character> cats(static_cast<std::size_t>(count));
  std::vector<const world::Character*> order;
  for (int i = 0; i < count; ++i) {
    world::Character& c = cats[static_cast<std::size_t>(i)];
    c.name = "Cat" + std::to_string(i);
    c.password = PlainPassword(i, count);
    c.role = world::Role::Warrior;
    c.x = i;
    c.y = 3;
    order.push_back(&c);
  }
  return persist::FormatSave({}, order);
}

// The processes `pid` started and has not reaped: a server's password helper.
std::vector<pid_t> Children(pid_t pid) {
  std::vector<pid_t> children;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task")) {
    std::istringstream list(e2e::ReadFile(task.path().string() + "/children"));
    for (pid_t child = 0; list >> child;) children.push_back(child);
  }
  return children;
}

// Waits until process `pid` has ended and left only its exit status; false when it is
// still running after the usual wait.
bool Ended(pid_t pid) {
  const auto until = e2e::Clock::now() + e2e::kTimeout;
  for (;;) {
    const std::string stat = e2e::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos || stat.compare(close, 3, ") Z") == 0) return true;
    if (e2e::Clock::now() > until) return false;
    std::this_thread::sleep_for(1ms);
  }
}

bool NoPlainPassword(const persist::SaveContents& saved) {
  for (const auto& c : saved.characters) {
    if (!base::IsPasswordHash(c->password.Text())) return false;
  }
  return true;
}

TEST(PasswordE2E, PlainPasswordsOfAnOlderFileAreHashedAndStillLogIn) {
  TempDir dir;
  const std::string file = dir.File("savedata.phl");
  e2e::WriteFile(file, PlainWorld(10));
  Server server(&dir);
  ASSERT_TRUE(server.Ready()) << server.Log();
  EXPECT_TRUE(
      server.WaitForLog("Loaded 10 characters and 0 bans.\nConverting 10 plain passwords.\n"));
  Client early(server.Port());
  ASSERT_TRUE(early.ReadWelcome());
  EXPECT_EQ(early.Ask("login Cat0 pw0").value_or("").rfind("Login successful.", 0), 0u);

  persist::SaveContents saved;
  const auto until = e2e::Clock::now() + 30s;
  do {
    std::this_thread::sleep_for(100ms);
    saved = persist::ParseSave(e2e::ReadFile(file));
  } while (!NoPlainPassword(saved) && e2e::Clock::now() < until);
  ASSERT_EQ(saved.characters.size(), 10u);
  for (const auto& c : saved.characters) {
    EXPECT_TRUE(base::PasswordMatches(c->password.Text(), PlainPassword(std::stoi(c->name.substr(3)), 10)))
        << c->name;
  }
  EXPECT_TRUE(server.WaitForLog("Converted 10 plain passwords.\n"));

  Client late(server.Port());
  ASSERT_TRUE(late.ReadWelcome());
  EXPECT_EQ(late.Ask("login Cat9 pw0"), "Incorrect password.");
  EXPECT_EQ(late.Ask("login Cat9 $argon2id$v=19$pw9").value_or("").rfind("Login successful.", 0),
            0u);
}

TEST(PasswordE2E, OthersAreAnsweredWhileLoginsWaitForTheirHashes) {
  Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  Client talker(server.Port());
  ASSERT_TRUE(talker.ReadWelcome());
  ASSERT_EQ(talker.Ask("setup Ash pw she 12 warrior ember \" \" x y")
                .value_or("")
                .rfind("Character created.", 0),
            0u);
  // Sixteen checks keep the worker busy for hundreds of milliseconds.
  std::vector<std::unique_ptr<Client>> logins;
  for (int i = 0; i < 16; ++i) {
    logins.push_back(std::make_unique<Client>(server.Port()));
    ASSERT_TRUE(logins.back()->ReadWelcome());
  }
  for (auto& login : logins) ASSERT_TRUE(login->Send("login Nobody pw"));
  for (int i = 0; i < 50; ++i) ASSERT_EQ(talker.Ask("time").value_or("").rfind("It is ", 0), 0u);
  EXPECT_EQ(logins.back()->Drain(), 0u);  // still being checked
  for (auto& login : logins) EXPECT_EQ(login->NextFrame(), "Invalid username.");
}

// The helper is stopped (as if it hung) while a login waits for it: that login alone is
// told the server is busy, and logs in once another helper has started. One that ends
// while idle costs nobody anything.
TEST(PasswordE2E, AHelperThatHangsOrEndsFailsOnlyTheLoginInFlight) {
  Server server;
  ASSERT_TRUE(server.Ready()) << server.Log();
  Client maker(server.Port());
  ASSERT_TRUE(maker.ReadWelcome());
  ASSERT_EQ(maker.Ask("setup Rowan pw he 20 warrior moss \" \" x y").value_or("").rfind("Character created.", 0), 0u);
  maker.Close();
  ASSERT_TRUE(server.WaitForLog(" disconnected"));

  const std::vector<pid_t> started = Children(server.Proc().Pid());
  ASSERT_EQ(started.size(), 1u);
  const pid_t first = started[0];
  ASSERT_EQ(::kill(first, SIGSTOP), 0);
  Client player(server.Port());
  ASSERT_TRUE(player.ReadWelcome());
  EXPECT_EQ(player.Ask("login Rowan pw", 30s), "The server is busy. Try again in a moment.");
  EXPECT_EQ(::kill(first, 0), -1);  // killed and reaped before the answer
  EXPECT_TRUE(server.WaitForLog("Password helper " + std::to_string(first) + " did not answer within "))
      << server.Log();

  const std::vector<pid_t> again = Children(server.Proc().Pid());
  ASSERT_EQ(again.size(), 1u);
  const pid_t second = again[0];
  EXPECT_TRUE(server.WaitForLog("Password helper " + std::to_string(second) + " started.\n")) << server.Log();
  ASSERT_EQ(::kill(second, SIGKILL), 0);
  ASSERT_TRUE(Ended(second));
  EXPECT_EQ(player.Ask("login Rowan pw").value_or("").rfind("Login successful.", 0), 0u);
  EXPECT_TRUE(server.WaitForLog("Password helper " + std::to_string(second) + " ended (signal 9)")) << server.Log();
}

}  // namespace
