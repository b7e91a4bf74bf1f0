// What reaches the disk, and when: a change is on disk within one tick, whatever kills
// the server afterwards; a server that cannot save says so and ends with 1.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "e2e_support.h"

namespace {

using e2e::Client;
using e2e::Process;
using e2e::Server;
using e2e::TempDir;
using namespace std::chrono_literals;

// Waits until the save file holds `text`; false after `timeout`.
bool WaitForSaved(const TempDir& dir, const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = e2e::Clock::now() + timeout;
  while (e2e::ReadFile(dir.File("savedata.phl")).find(text) == std::string::npos) {
    if (e2e::Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

TEST(Durability, ACharacterIsOnDiskWithinATickAndSurvivesAKill) {
  TempDir dir;
  {
    Server server(&dir);
    ASSERT_TRUE(server.Ready());
    Client c(server.Port());
    ASSERT_TRUE(c.ReadWelcome());
    ASSERT_TRUE(c.Ask("setup Ash pw she 12 warrior ember \" a grey cat \" - -"));
    EXPECT_TRUE(WaitForSaved(dir, "\nAsh\n", 12s));  // the next tick, 5 s at most
    server.Proc().Signal(SIGKILL);
    server.Proc().Wait();
  }
  Server again(&dir);
  ASSERT_TRUE(again.Ready());
  Client c(again.Port());
  ASSERT_TRUE(c.ReadWelcome());
  EXPECT_EQ(c.Ask("login Ash pw")->substr(0, 17), "Login successful.");
}

TEST(Durability, AFailedSaveIsTriedAgainEveryTickUntilItWorks) {
  TempDir dir;
  Server server(&dir);
  ASSERT_TRUE(server.Ready());
  // A folder where the temporary file goes: every save fails until it is gone.
  std::filesystem::create_directory(dir.File("savedata.phl.tmp"));
  Client c(server.Port());
  ASSERT_TRUE(c.ReadWelcome());
  ASSERT_TRUE(c.Ask("setup Ash pw she 12 warrior ember \" a grey cat \" - -"));
  ASSERT_TRUE(server.WaitForLog("Error saving world: 21\n", 12s)) << server.Log();
  std::filesystem::remove(dir.File("savedata.phl.tmp"));
  // Nothing has changed since the failure; the next tick saves all the same.
  EXPECT_TRUE(server.WaitForLog("World saved after 1 failed try.\n", 12s)) << server.Log();
  EXPECT_NE(e2e::ReadFile(dir.File("savedata.phl")).find("\nAsh\n"), std::string::npos);
}

// A setup asks whether the world can be saved when it is typed, not at the next tick:
// here right after the upgrade's own save failed, which no background save has seen.
TEST(Durability, NoCharacterIsPromisedRightAfterASaveFailed) {
  TempDir dir;
  Server server(&dir);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Console at ")) << server.Log();
  Client ash(server.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  std::filesystem::create_directory(dir.File("savedata.phl.tmp"));  // every save fails now
  Process::Options upgrade;
  upgrade.args = {"admin", "upgrade"};
  Process admin(dir.Path(), server.Port(), upgrade);
  ASSERT_EQ(Process::ExitCode(admin.Wait(30s)), 1) << server.Log();
  EXPECT_EQ(ash.Ask("setup Ash pw she 12 warrior ember \" a grey cat \" - -"),
            "The world cannot be saved right now. Try again later.");
}

TEST(Durability, AServerThatCannotSaveEndsWithOne) {
  // A folder this user cannot write: the server refuses to start.
  // As root, the server runs as nobody, from a copy of the binary that nobody may run
  // wherever the build lies.
  TempDir dir;
  TempDir bin;
  const std::string binary = bin.File("pelthollow");
  std::filesystem::copy_file(PELTHOLLOW_BINARY, binary);
  ::chmod(bin.Path().c_str(), 0755);
  ::chmod(binary.c_str(), 0755);
  Process::Options options;
  if (::geteuid() == 0) {
    options.runAsUser = 65534;
    ::chmod(dir.Path().c_str(), 0755);
  } else {
    ::chmod(dir.Path().c_str(), 0555);
  }
  {
    harness::Process p(binary, dir.Path(), e2e::FreePort(), options);
    EXPECT_EQ(Process::ExitCode(p.Wait()), 1);
    EXPECT_EQ(p.Output(), "Error saving world: 13\n");
  }
  ::chmod(dir.Path().c_str(), 0700);

  // The save at a shutdown signal fails: reported, and the exit code says so.
  Server server(&dir);
  ASSERT_TRUE(server.Ready());
  std::filesystem::create_directory(dir.File("savedata.phl.tmp"));
  server.Proc().Signal(SIGTERM);
  EXPECT_EQ(Process::ExitCode(server.Proc().Wait()), 1);
  EXPECT_NE(server.Log().find("Error saving world: "), std::string::npos) << server.Log();
  EXPECT_NE(server.Log().find("Final save failed; the exit code is 1.\n"), std::string::npos)
      << server.Log();
}

}  // namespace
