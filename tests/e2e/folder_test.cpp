// The server's folder through the real binary: one server per folder, and the bans
// and save files kept whole against bad lines, planted links, a FIFO and a device.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::Client;
using e2e::Process;
using e2e::Server;
using e2e::TempDir;

// The folder's entries with what identifies each: its name and inode.
std::vector<std::string> Entries(const TempDir& dir) {
  std::vector<std::string> entries;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    struct stat info {};
    ::lstat(entry.path().c_str(), &info);
    entries.push_back(entry.path().filename().string() + " " + std::to_string(info.st_ino));
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// Runs `pelthollow admin <words>` in the server's folder; its exit code and output.
std::string Admin(Server& server, const std::vector<std::string>& words) {
  Process::Options options;
  options.args = {"admin"};
  options.args.insert(options.args.end(), words.begin(), words.end());
  Process admin(server.Dir().Path(), server.Port(), options);
  const int code = Process::ExitCode(admin.Wait());
  admin.WaitForEndOfOutput();
  return std::to_string(code) + " " + admin.Output();
}

TEST(FolderE2E, OneServerPerFolder) {
  TempDir dir;
  auto first = std::make_unique<Server>(&dir);
  ASSERT_TRUE(first->Ready());
  ASSERT_TRUE(first->WaitForLog("Console at pelthollow.sock.\n"));
  const std::vector<std::string> before = Entries(dir);

  Process second(dir.Path(), e2e::FreePort(), {});
  EXPECT_EQ(Process::ExitCode(second.Wait()), 1);
  EXPECT_EQ(second.Output(), "Another server is using this folder.\n");
  EXPECT_EQ(Entries(dir), before);  // no temporary file, the console socket not taken over
  EXPECT_EQ(Admin(*first, {"save"}), "0 World saved.\n");

  // The kernel lets the lock go with the process, however it ends.
  first->Proc().Signal(SIGKILL);
  first->Proc().Wait();
  Server third(&dir);
  EXPECT_TRUE(third.Ready()) << third.Log();
}

TEST(FolderE2E, TheBansFileKeepsWhatItCannotReadAndNoLinkIsWrittenThrough) {
  TempDir dir;
  e2e::WriteFile(dir.File("bans.txt"),
                 "# the operator's note\nbanish Ashpaw\naddress 127.0.0.9 0 old\n");
  e2e::WriteFile(dir.File("target"), "untouched\n");
  std::filesystem::create_symlink(dir.File("target"), dir.File("bans.txt.tmp"));
  std::filesystem::create_symlink(dir.File("victim"), dir.File("savedata.phl.tmp"));
  Server server(&dir);
  ASSERT_TRUE(server.Ready()) << server.Log();
  EXPECT_TRUE(server.WaitForLog("Bans file bans.txt, skipped line 2: banish Ashpaw\n"));
  EXPECT_TRUE(server.WaitForLog("Loaded 0 characters and 1 ban.\n"));
  EXPECT_FALSE(std::filesystem::exists(dir.File("victim")));  // the start's check followed no link
  ASSERT_TRUE(server.WaitForLog("Console at pelthollow.sock.\n"));

  EXPECT_EQ(Admin(server, {"ban", "127.0.0.3"}), "0 Banned 127.0.0.3 until lifted.\n");
  const std::string bans = e2e::ReadFile(dir.File("bans.txt"));
  const std::string kept =
      "# the operator's note\nbanish Ashpaw\naddress 127.0.0.9 0 old\naddress 127.0.0.3 0\n";
  EXPECT_TRUE(bans.ends_with(kept)) << bans;  // after the header the server adds
  EXPECT_EQ(e2e::ReadFile(dir.File("target")), "untouched\n");
  EXPECT_FALSE(std::filesystem::is_symlink(dir.File("bans.txt")));
}

// A FIFO would stop every welcome and /dev/zero would be read for ever: neither is read,
// and each is moved aside, so no rewrite replaces it.
TEST(FolderE2E, ABansFileThatIsNoFileIsNotRead) {
  for (const bool fifo : {true, false}) {
    TempDir dir;
    if (fifo) {
      ASSERT_EQ(::mkfifo(dir.File("bans.txt").c_str(), 0600), 0);
    } else {
      std::filesystem::create_symlink("/dev/zero", dir.File("bans.txt"));
    }
    Server server(&dir);
    ASSERT_TRUE(server.Ready()) << server.Log();
    Client c(server.Port());
    EXPECT_TRUE(c.ReadWelcome()) << server.Log();
    EXPECT_TRUE(server.WaitForLog(
        "Error reading bans: 22\nKept the unreadable bans file as bans.txt.damaged-1\n"))
        << server.Log();
    EXPECT_EQ(std::filesystem::is_fifo(dir.File("bans.txt.damaged-1")), fifo);
  }
}

}  // namespace
