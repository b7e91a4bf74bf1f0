// LoadWorld and SaveWorld on real files: the atomic replacement, failures that leave
// the old file, and damaged files kept byte for byte beside the save file.
#include "persist/save.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "persist/save_writer.h"
#include "core/log.h"
#include "world_fixture.h"

namespace {

namespace fs = std::filesystem;

std::string Read(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

void Write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

fs::perms Mode(const fs::path& path) { return fs::status(path).permissions() & fs::perms::all; }

std::vector<std::string> FolderEntries(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

class SaveFileTest : public WorldTest {
 protected:
  SaveFileTest() {
    std::string pattern = (fs::temp_directory_path() / "pelthollow-save-XXXXXX").string();
    folder_ = ::mkdtemp(pattern.data());
    path_ = (folder_ / "savedata.phl").string();
  }
  ~SaveFileTest() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // Runs `action` with standard output going to a file; returns what it logged.
  template <typename Action>
  std::string Logged(Action action) {
    const fs::path log = folder_.parent_path() / (folder_.filename().string() + ".log");
    const int fd = ::open(log.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    std::fflush(stdout);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(fd, STDOUT_FILENO);
    action();
    core::FlushLog();  // this test holds ConnectionLock, which would hold the lines back
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(fd);
    std::string text = Read(log);
    fs::remove(log);
    return text;
  }

  // The save file at path_: made again when the test points path_ elsewhere.
  persist::SaveFile& File() {
    if (file_ == nullptr || file_->Path() != path_)
      file_ = std::make_unique<persist::SaveFile>(path_);
    return *file_;
  }

  std::string Load() {
    return Logged([&] { loaded_ = File().Load(World()); });
  }
  std::string Save() {
    return Logged([&] {
      const base::Status saved = File().Save(World());
      if (!saved.ok()) core::Log(saved.Text() + "\n");
      saved_ = saved.ok();
    });
  }

  void Store(const std::string& name) {
    auto c = std::make_unique<world::Character>();
    c->name = name;
    c->x = 1;
    c->y = 2;
    Characters().Store(std::move(c));
  }

  std::string Copy(int n) const { return path_ + ".damaged-" + std::to_string(n); }

  fs::path folder_;
  std::string path_;
  std::unique_ptr<persist::SaveFile> file_;
  bool loaded_ = false;
  bool saved_ = false;
};

const std::string kTwoCats =
    "PLTHO\n7\n8\nCHARAS\n"
    "CHARA\nAsh\npw\nshe\n360\n2\n0\na grey cat \n1\n1\n22\n23\n4\n4\n4\n4\n4\n4\n4\n4\n0\n0\nCHARAEND\n"
    "CHARA\nBirch\npw\nhe\n30\n1\n1\n\n0\n1\n5\n6\n2\n2\n2\n2\n2\n2\n2\n2\n0\n0\nCHARAEND\n"
    "CHARASEND\n";

TEST_F(SaveFileTest, NoFileLoadsNothingAndSaysNothing) {
  EXPECT_EQ(Load(), "");
  EXPECT_TRUE(loaded_);
  EXPECT_TRUE(Characters().Stored().empty());
  EXPECT_EQ(World().clock.day, 0);
  EXPECT_TRUE(FolderEntries(folder_).empty());
}

TEST_F(SaveFileTest, AGoodFileLoadsWholeAndSavesBackTheSameBytes) {
  Write(path_, kTwoCats);
  EXPECT_EQ(Load(), "");
  EXPECT_TRUE(loaded_);
  ASSERT_EQ(Characters().Stored().size(), 2u);
  EXPECT_EQ(Characters().Stored()[1]->name, "Birch");
  EXPECT_EQ(World().clock.tickOfDay, 8);
  EXPECT_EQ(Save(), "");
  EXPECT_TRUE(saved_);
  EXPECT_EQ(Read(path_), kTwoCats);
  EXPECT_EQ(FolderEntries(folder_), (std::vector<std::string>{"savedata.phl"}));
}

TEST_F(SaveFileTest, SaveWritesTheWorldAsItStandsAndMovesNothing) {
  Store("Stored");
  Place(4, "Playing", 10, 10);
  World().clock = {3, 99};
  EXPECT_EQ(Save(), "");
  EXPECT_TRUE(saved_);
  EXPECT_EQ(Read(path_), persist::FormatSave(World().clock, Characters().CharactersToSave()));
  EXPECT_EQ(Mode(path_), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_NE(Characters().CharacterOf(4), nullptr);
  EXPECT_EQ(Characters().Stored().size(), 1u);

  Reset();
  EXPECT_EQ(Load(), "");
  ASSERT_EQ(Characters().Stored().size(), 2u);
  EXPECT_EQ(Characters().Stored()[1]->name, "Playing");
  EXPECT_EQ(World().clock.tickOfDay, 99);
}

TEST_F(SaveFileTest, SaveReplacesAnOldFileAndAKilledSavesTemporary) {
  Write(path_, "old");
  fs::permissions(path_, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);
  Write(path_ + ".tmp", "half a save");
  Store("Ash");
  EXPECT_EQ(Save(), "");
  EXPECT_EQ(Read(path_).rfind("PLTHO\n0\n0\nCHARAS\nCHARA\nAsh\n", 0), 0u);
  EXPECT_EQ(Mode(path_), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(FolderEntries(folder_), (std::vector<std::string>{"savedata.phl"}));
}

// --- Failures ---------------------------------------------------------------------

TEST_F(SaveFileTest, AFailedSaveSaysSoAndLeavesTheOldFile) {
  path_ = (folder_ / "no such folder" / "savedata.phl").string();
  EXPECT_EQ(Save(), "Error saving world: 2\n");
  EXPECT_FALSE(saved_);

  path_ = (folder_ / "savedata.phl").string();
  Write(path_, kTwoCats);
  fs::create_directories(path_ + ".tmp/in the way");  // cannot be removed or written
  EXPECT_EQ(Save(), "Error saving world: 21\n");
  EXPECT_FALSE(saved_);
  EXPECT_EQ(Read(path_), kTwoCats);
}

TEST_F(SaveFileTest, ADamagedFileIsKeptByteForByteUnderANameNotYetTaken) {
  const std::string damaged = kTwoCats.substr(0, kTwoCats.find("Birch") + 20);
  Write(path_, damaged);
  Write(Copy(1), "an earlier copy");
  EXPECT_EQ(Load(), "Save file truncated, loaded 1 characters.\n"
                    "Kept the damaged save file as " + Copy(2) + "\n");
  EXPECT_FALSE(loaded_);
  EXPECT_EQ(Characters().Stored().size(), 1u);
  EXPECT_EQ(Read(Copy(2)), damaged);
  EXPECT_EQ(Mode(Copy(2)), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Read(Copy(1)), "an earlier copy");

  // The file itself is still there, so a second start (the server killed before it
  // saved) loads it again and keeps one more copy.
  Reset();
  EXPECT_EQ(Load(), "Save file truncated, loaded 1 characters.\n"
                    "Kept the damaged save file as " + Copy(3) + "\n");
  EXPECT_EQ(Save(), "");
  EXPECT_EQ(Read(Copy(3)), damaged);
  EXPECT_EQ(Read(path_).find("Birch"), std::string::npos);
}

TEST_F(SaveFileTest, ARecordWithoutItsEndIsLeftOutSilentlyButKept) {
  std::string damaged = kTwoCats;
  damaged.replace(damaged.find("CHARAEND"), 8, "CHARAEN");
  Write(path_, damaged);
  EXPECT_EQ(Load(), "Kept the damaged save file as " + Copy(1) + "\n");
  ASSERT_EQ(Characters().Stored().size(), 1u);
  EXPECT_EQ(Characters().Stored()[0]->name, "Birch");
  EXPECT_EQ(Read(Copy(1)), damaged);
}

TEST_F(SaveFileTest, AFileThatCannotBeReadIsMovedAside) {
  fs::create_directories(path_ + "/contents");  // reads fail with EISDIR
  EXPECT_EQ(Load(), "Error reading save file: 21\nKept the damaged save file as " + Copy(1) + "\n");
  EXPECT_TRUE(fs::is_directory(Copy(1) + "/contents"));
  Store("Ash");
  EXPECT_EQ(Save(), "");
  EXPECT_TRUE(fs::is_regular_file(path_));
}

// While a damaged file could not be kept, no save may replace it; the first save after
// the cause went away keeps it first.
TEST_F(SaveFileTest, ACopyThatCannotBeMadeHoldsBackEverySave) {
  const std::string damaged = "PLTHO\n1\n2\nCHARAS\n" + std::string(64 * 1024, 'x') + "\n";
  Write(path_, damaged);
  rlimit old{};
  ::getrlimit(RLIMIT_FSIZE, &old);
  const rlimit small{16 * 1024, old.rlim_max};
  auto* const oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);  // the copy cannot be written; a small save could
  const std::string loadLog = Load();
  const std::string saveLog = Save();
  ::setrlimit(RLIMIT_FSIZE, &old);
  ::signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(loadLog, "Save file truncated, loaded 0 characters.\n"
                     "Error keeping the damaged save file: 27\n");
  EXPECT_EQ(saveLog, "Error keeping the damaged save file: 27\nError saving world: 27\n");
  EXPECT_FALSE(saved_);
  EXPECT_EQ(Read(path_), damaged);
  EXPECT_EQ(FolderEntries(folder_), (std::vector<std::string>{"savedata.phl"}));

  EXPECT_EQ(Save(), "Kept the damaged save file as " + Copy(1) + "\n");
  EXPECT_TRUE(saved_);
  EXPECT_EQ(Read(Copy(1)), damaged);
  EXPECT_EQ(Read(path_), "PLTHO\n1\n2\nCHARAS\nCHARASEND\n");
  EXPECT_EQ(Save(), "");  // kept once only
  EXPECT_EQ(FolderEntries(folder_), (std::vector<std::string>{"savedata.phl", "savedata.phl.damaged-1"}));
}

}  // namespace
