// The world on disk through the real server: every shutdown signal saves it and ends
// the server with exit code 0, characters come back after a restart, a damaged file is
// kept, and a kill at any moment of a save leaves a complete file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/inotify.h>

#include <algorithm>
#include <filesystem>
#include <set>
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

std::string SaveFile(const TempDir& dir) { return dir.File("savedata.phl"); }

std::vector<std::string> FolderEntries(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) {
    names.push_back(entry.path().filename());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// "pw" hashed once, for every character of World: a plain password would be hashed
// again at its login and in the background, and the next save would differ from the
// file by more than the test made it.
const std::string& HashedPw() {
  static const std::string hash = base::HashPassword("pw").value();
  return hash;
}

// A save file of `count` stored characters, "Cat0", "Cat1", ... (password "pw"), all
// standing on the map, and the clock at `clock`.
std::string World(int count, world::GameClockState clock = {2, 100}) {
  std::vector<world::Character> cats(static_cast<std::size_t>(count));
  std::vector<const world::Character*> order;
  for (int i = 0; i < count; ++i) {
    world::Character& c = cats[static_cast<std::size_t>(i)];
    c.name = "Cat" + std::to_string(i);
    c.password = HashedPw();
    c.pronouns = "they";
    c.age = 30 * (i % 100);
    c.role = world::Role::Warrior;
    c.clan = static_cast<world::Clan>(i % 3);
    c.description = "cat number " + std::to_string(i) + " ";
    c.x = i % 30;
    c.y = (i / 30) % 30;
    c.extra1 = -i;
    order.push_back(&c);
  }
  return persist::FormatSave(clock, order);
}

const world::Character* Find(const persist::SaveContents& contents, const std::string& name) {
  for (const auto& c : contents.characters) {
    if (c->name == name) return c.get();
  }
  return nullptr;
}

bool StartsWith(const std::optional<std::string>& text, const std::string& prefix) {
  return text && text->rfind(prefix, 0) == 0;
}

class SaveE2E : public ::testing::TestWithParam<int> {};

TEST_P(SaveE2E, AShutdownSignalSavesEveryCharacterAndARestartGivesThemBack) {
  TempDir dir;
  e2e::WriteFile(SaveFile(dir), World(1));  // Cat0, stored
  {
    Server server(&dir);
    ASSERT_TRUE(server.Ready()) << server.Log();
    Client ash(server.Port());
    ASSERT_TRUE(ash.ReadWelcome()) << server.Log();
    EXPECT_TRUE(StartsWith(ash.Ask("setup Ash pw he 12 warrior ember \" a small cat \" x y"),
                           "Character created. Entering game..."));
    {
      Client birch(server.Port());
      ASSERT_TRUE(birch.ReadWelcome());
      EXPECT_TRUE(StartsWith(birch.Ask("setup Birch pw2 she 3 apprentice moss \" \" x y"),
                             "Character created. Entering game..."));
    }
    ASSERT_TRUE(server.WaitForLog(" disconnected\n"));
    Client cat(server.Port());
    ASSERT_TRUE(cat.ReadWelcome());
    EXPECT_TRUE(StartsWith(cat.Ask("login Cat0 pw"), "Login successful. Entering game..."));
    Client kit(server.Port());
    ASSERT_TRUE(kit.ReadWelcome());
    EXPECT_TRUE(StartsWith(kit.Ask("setup Kitty pw she 0 kit ember \" \" x y"), "Entering into kit queue."));

    server.Proc().Signal(GetParam());
    EXPECT_EQ(e2e::Process::ExitCode(server.Proc().Wait()), 0) << server.Log();
  }

  const std::string bytes = e2e::ReadFile(SaveFile(dir));
  const persist::SaveContents saved = persist::ParseSave(bytes);
  EXPECT_EQ(saved.messages, "");
  // The stored character first, then those in play; never the waiting kit.
  ASSERT_EQ(saved.characters.size(), 3u) << bytes;
  EXPECT_EQ(saved.characters[0]->name, "Birch");
  EXPECT_EQ(Find(saved, "Kitty"), nullptr);
  const world::Character* ash = Find(saved, "Ash");
  ASSERT_NE(ash, nullptr);
  EXPECT_TRUE(base::PasswordMatches(ash->password.Text(), "pw"));
  EXPECT_EQ(ash->pronouns, "he");
  EXPECT_EQ(ash->age, 360);
  EXPECT_EQ(ash->role, world::Role::Warrior);
  EXPECT_EQ(ash->clan, world::Clan::Emberfold);
  EXPECT_EQ(ash->description, "a small cat ");
  EXPECT_EQ(ash->x, 22);
  EXPECT_EQ(ash->y, 23);
  const world::Character* birch = Find(saved, "Birch");
  EXPECT_EQ(birch->role, world::Role::Apprentice);
  EXPECT_EQ(birch->healthHead, 2);
  EXPECT_EQ(birch->description, "");
  ASSERT_NE(Find(saved, "Cat0"), nullptr);
  EXPECT_EQ(Find(saved, "Cat0")->description, "cat number 0 ");
  EXPECT_EQ(saved.clock.day, 2);
  EXPECT_GT(saved.clock.tickOfDay, 100);  // the first tick runs at start
  EXPECT_EQ(std::filesystem::status(SaveFile(dir)).permissions() & std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_EQ(FolderEntries(dir), (std::vector<std::string>{"savedata.phl", "savedata.phl.lock"}));

  // Every character logs in again after a restart, standing where it stood.
  Server again(&dir);
  ASSERT_TRUE(again.Ready()) << again.Log();
  Client a(again.Port());
  ASSERT_TRUE(a.ReadWelcome());
  EXPECT_TRUE(StartsWith(a.Ask("login Ash pw"), "Login successful. Entering game..."));
  EXPECT_EQ(a.Ask("look Ash"), "You see a a small cat .");
  Client b(again.Port());
  ASSERT_TRUE(b.ReadWelcome());
  EXPECT_TRUE(StartsWith(b.Ask("login Birch pw2"), "Login successful. Entering game..."));
  Client c(again.Port());
  ASSERT_TRUE(c.ReadWelcome());
  EXPECT_TRUE(StartsWith(c.Ask("login Cat0 pw"), "Login successful. Entering game..."));
  Client k(again.Port());
  ASSERT_TRUE(k.ReadWelcome());
  EXPECT_EQ(k.Ask("login Kitty pw"), "Invalid username.");
  again.Proc().Signal(SIGTERM);
  EXPECT_EQ(e2e::Process::ExitCode(again.Proc().Wait()), 0) << again.Log();
  EXPECT_EQ(again.Log().find("Error"), std::string::npos) << again.Log();
}

INSTANTIATE_TEST_SUITE_P(EverySignal, SaveE2E, ::testing::Values(SIGINT, SIGTERM, SIGHUP),
                         [](const auto& info) { return std::string(sigabbrev_np(info.param)); });

TEST(SaveE2EDamaged, ADamagedFileIsKeptAndWhatItHeldStillPlays) {
  TempDir dir;
  const std::string whole = World(3);
  const std::string damaged = whole.substr(0, whole.find("Cat2") + 10);
  e2e::WriteFile(SaveFile(dir), damaged);
  {
    Server server(&dir);
    ASSERT_TRUE(server.Ready()) << server.Log();
    ASSERT_TRUE(server.WaitForLog("Save file truncated, loaded 2 characters.\n"
                                  "Kept the damaged save file as ./savedata.phl.damaged-1\n"))
        << server.Log();
    Client c(server.Port());
    ASSERT_TRUE(c.ReadWelcome());
    EXPECT_TRUE(StartsWith(c.Ask("login Cat1 pw"), "Login successful. Entering game..."));
    Client d(server.Port());
    ASSERT_TRUE(d.ReadWelcome());
    EXPECT_EQ(d.Ask("login Cat2 pw"), "Invalid username.");
    server.Proc().Signal(SIGTERM);
    EXPECT_EQ(e2e::Process::ExitCode(server.Proc().Wait()), 0);
  }
  EXPECT_EQ(e2e::ReadFile(SaveFile(dir) + ".damaged-1"), damaged);
  const persist::SaveContents saved = persist::ParseSave(e2e::ReadFile(SaveFile(dir)));
  EXPECT_EQ(saved.messages, "");
  EXPECT_EQ(saved.characters.size(), 2u);
  // The next start finds a good file and keeps no further copy.
  Server again(&dir);
  ASSERT_TRUE(again.Ready());
  Client c(again.Port());
  ASSERT_TRUE(c.ReadWelcome());
  EXPECT_EQ(again.Log().find("Kept"), std::string::npos) << again.Log();
  // Beside them, the running server's console socket and its lock.
  EXPECT_EQ(FolderEntries(dir),
            (std::vector<std::string>{"pelthollow.sock", "savedata.phl", "savedata.phl.damaged-1",
                                      "savedata.phl.lock"}));
}

// Tells when the server creates its temporary save file in `dir`.
class TemporaryFileWatch {
 public:
  explicit TemporaryFileWatch(const TempDir& dir) : fd_(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK)) {
    ::inotify_add_watch(fd_, dir.Path().c_str(), IN_CREATE);
  }
  ~TemporaryFileWatch() { ::close(fd_); }
  TemporaryFileWatch(const TemporaryFileWatch&) = delete;
  TemporaryFileWatch& operator=(const TemporaryFileWatch&) = delete;

  // Waits until "savedata.phl.tmp" is created; false on timeout.
  bool Wait(std::chrono::milliseconds timeout = e2e::kTimeout) {
    const auto deadline = e2e::Clock::now() + timeout;
    for (;;) {
      alignas(inotify_event) char buffer[4096];
      const ssize_t n = ::read(fd_, buffer, sizeof buffer);
      for (ssize_t at = 0; at < n;) {
        const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
        if (event->len > 0 && std::string(event->name) == "savedata.phl.tmp") return true;
        at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - e2e::Clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      ::poll(&p, 1, static_cast<int>(left.count()));
    }
  }

 private:
  int fd_;
};

// A save that is killed part way leaves the old file or the new one, always complete.
// SIGTERM starts the save; SIGKILL ends the process a varying moment after the SIGTERM
// (the kill may come before the save began, while it formats or after it), or a varying
// moment after the temporary file appeared (while it is written, flushed, renamed).
TEST(SaveE2ECrash, AKillAtAnyMomentOfTheSaveLeavesACompleteFile) {
  constexpr int kCharacters = 10000;
  TempDir dir;
  e2e::WriteFile(SaveFile(dir), World(kCharacters, {0, 0}));

  struct Kill {
    bool afterTemporaryFile = false;  // counted from its creation, else from the SIGTERM
    std::chrono::microseconds delay{};
  };
  struct Timing {
    std::chrono::microseconds signalToExit{};
    std::chrono::microseconds temporaryFileToExit{};
  };
  // Runs the server, logs in the first character of the file (so that the save it
  // writes differs from the file: that character moves to the end), sends SIGTERM and
  // then SIGKILL as `kill` says (no kill: waits for the exit).
  const auto run = [&](const std::string& first, std::optional<Kill> kill) {
    TemporaryFileWatch watch(dir);
    Server server(&dir);
    EXPECT_TRUE(server.Ready()) << server.Log();
    // A large world answers its first lines slowly in a sanitizer build on a busy machine.
    constexpr std::chrono::seconds kLargeWorld{60};
    Client c(server.Port());
    EXPECT_TRUE(c.ReadWelcome(kLargeWorld));
    EXPECT_TRUE(StartsWith(c.Ask("login " + first + " pw", kLargeWorld), "Login successful."));
    Timing timing;
    const auto signalled = e2e::Clock::now();
    server.Proc().Signal(SIGTERM);
    if (!kill || kill->afterTemporaryFile) {
      EXPECT_TRUE(watch.Wait());
    }
    const auto written = e2e::Clock::now();
    // A deliberate pause: its length picks the moment of the kill, it waits for nothing.
    if (kill) {
      std::this_thread::sleep_for(kill->delay);
      server.Proc().Signal(SIGKILL);
    }
    const auto status = server.Proc().Wait();
    EXPECT_TRUE(status.has_value());
    if (!kill) {
      EXPECT_EQ(e2e::Process::ExitCode(status), 0) << server.Log();
    }
    const auto now = e2e::Clock::now();
    timing.signalToExit = std::chrono::duration_cast<std::chrono::microseconds>(now - signalled);
    timing.temporaryFileToExit = std::chrono::duration_cast<std::chrono::microseconds>(now - written);
    return timing;
  };
  // What a finished save of `before` looks like: its first character moved to the end,
  // and the clock as it was or one tick on (the first tick runs as the server starts).
  const auto savesOf = [](const persist::SaveContents& before) {
    std::vector<const world::Character*> order;
    for (const auto& c : before.characters) order.push_back(c.get());
    std::rotate(order.begin(), order.begin() + 1, order.end());
    world::GameClockState ticked = before.clock;
    ticked.tickOfDay += 1;
    return std::set<std::string>{persist::FormatSave(before.clock, order),
                                 persist::FormatSave(ticked, order)};
  };

  std::string before = e2e::ReadFile(SaveFile(dir));
  // How long a whole save takes here, so that the kills spread over it and past it.
  const Timing whole = run("Cat0", std::nullopt);
  ASSERT_EQ(savesOf(persist::ParseSave(before)).count(e2e::ReadFile(SaveFile(dir))), 1u);
  before = e2e::ReadFile(SaveFile(dir));
  persist::SaveContents previous = persist::ParseSave(before);

  // Even steps count from the SIGTERM, odd ones from the temporary file; each kind
  // spreads its delays from 0 to 1.5 times what it took in the whole save. The steps are
  // taken in a shuffled order so that a slow machine that runs out of time has still
  // tried early and late kills of both kinds.
  constexpr int kKills = 40;
  constexpr int kStride = 7;  // coprime with kKills: every step is taken once
  const auto deadline = e2e::Clock::now() + 20s;
  int old = 0;
  int fresh = 0;
  int midWrite = 0;  // kills that left the temporary file: the save was under way
  for (int i = 0; i < kKills && (i < 10 || e2e::Clock::now() < deadline); ++i) {
    const int step = i * kStride % kKills;
    SCOPED_TRACE("kill " + std::to_string(i) + ", step " + std::to_string(step));
    Kill kill;
    kill.afterTemporaryFile = step % 2 == 1;
    kill.delay = (kill.afterTemporaryFile ? whole.temporaryFileToExit : whole.signalToExit) *
                 (step / 2) * 3 / kKills;
    std::filesystem::remove(SaveFile(dir) + ".tmp");  // left by an earlier kill
    run(previous.characters.front()->name, kill);
    if (std::filesystem::exists(SaveFile(dir) + ".tmp")) ++midWrite;
    const std::string after = e2e::ReadFile(SaveFile(dir));
    if (after == before) {
      ++old;
      continue;
    }
    ASSERT_EQ(savesOf(previous).count(after), 1u) << "neither the old file nor a whole new one";
    ++fresh;
    before = after;
    previous = persist::ParseSave(before);
  }
  // Some kills came after the rename. How many landed while the temporary file was
  // being written depends on the machine's timing, so it is reported, not required.
  EXPECT_GT(fresh, 0);
  std::vector<std::string> entries = FolderEntries(dir);
  // A killed save may leave its temporary file, and a killed server its console's
  // socket (the next start replaces it).
  std::erase(entries, "savedata.phl.tmp");
  std::erase(entries, "pelthollow.sock");
  EXPECT_EQ(entries, (std::vector<std::string>{"savedata.phl", "savedata.phl.lock"}));
  std::printf("save of %d characters: %lld us from SIGTERM to exit, %lld us of them from the "
              "temporary file; kills that left the old file: %d (%d of them while the "
              "temporary file was written), the new one: %d\n",
              kCharacters, static_cast<long long>(whole.signalToExit.count()),
              static_cast<long long>(whole.temporaryFileToExit.count()), old, midWrite, fresh);
}

}  // namespace
