#include "persist/saver.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/connection_lock.h"
#include "core/log.h"
#include "persist/file_replace.h"
#include "persist/save.h"

namespace persist {

namespace {

// One file's newest bytes not yet being written, and who waits for them.
struct Slot {
  std::optional<std::string> bytes;
  std::vector<SaveDone> waiting;
};

class Saver {
 public:
  void Start(world::World& world, std::string_view path, std::string_view bansPath);
  void SaveWorld(SaveDone done);
  void SaveBans(std::string text, SaveDone done);
  bool FailedLast();
  bool BeforeExit(std::string_view path);

 private:
  [[noreturn]] void Loop();
  void NoteOutcome(bool saved);

  world::World* source_ = nullptr;  // the world saved; set by Start, before the thread runs
  std::string path_;
  std::string bansPath_;
  // State below is guarded by mutex_ (never by ConnectionLock).
  std::mutex mutex_;
  std::condition_variable changed_;
  Slot world_;
  Slot bans_;
  bool writing_ = false;   // the writer thread is writing a snapshot
  int failedTries_ = 0;    // world saves that failed since the last one that worked
  std::size_t lastBytes_ = 0;  // the size of the newest snapshot

 public:
  std::size_t LastBytes() {
    std::lock_guard<std::mutex> guard(mutex_);
    return lastBytes_;
  }
  const std::string& Path() const { return path_; }
};

// One per process: the files it writes are the process's.
Saver TheSaver;

// Counts one world save's outcome; after a good save that follows failed ones, says
// so. REQUIRES: mutex_ held.
void Saver::NoteOutcome(bool saved) {
  if (!saved) {
    ++failedTries_;
    return;
  }
  if (failedTries_ == 1) core::Log("World saved after 1 failed try.\n");
  if (failedTries_ > 1) {
    core::Log("World saved after " + std::to_string(failedTries_) + " failed tries.\n");
  }
  failedTries_ = 0;
}

void Saver::Loop() {
  for (;;) {
    Slot world;
    Slot bans;
    {
      std::unique_lock<std::mutex> guard(mutex_);
      changed_.wait(guard, [&] { return world_.bytes.has_value() || bans_.bytes.has_value(); });
      std::swap(world, world_);
      std::swap(bans, bans_);
      writing_ = true;
    }
    const base::Status worldSaved = world.bytes ? WriteSaveBytes(path_, *world.bytes) : base::Status();
    if (!worldSaved.ok()) {
      source_->keeping.Set(false);  // at once: no setup waits for the tick
      core::Log(worldSaved.Text() + "\n", core::LogPriority::Error);
    }
    const base::Status bansSaved =
        bans.bytes ? ReplaceFile(bansPath_, *bans.bytes).WithWhat("Error saving bans: ") : base::Status();
    if (!bansSaved.ok()) core::Log(bansSaved.Text() + "\n", core::LogPriority::Error);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      writing_ = false;
      if (world.bytes) NoteOutcome(worldSaved.ok());
    }
    changed_.notify_all();
    for (const SaveDone& done : world.waiting) done(worldSaved.ok());
    for (const SaveDone& done : bans.waiting) done(bansSaved.ok());
  }
}

void Saver::Start(world::World& world, std::string_view path, std::string_view bansPath) {
  source_ = &world;
  path_ = std::string(path);
  bansPath_ = std::string(bansPath);
  std::thread([this] { Loop(); }).detach();
}

void Saver::SaveWorld(SaveDone done) {
  std::string bytes;
  const base::Status taken = SnapshotWorld(*source_, bytes);
  if (!taken.ok()) core::Log(taken.Text() + "\n", core::LogPriority::Error);
  std::unique_lock<std::mutex> guard(mutex_);
  if (!taken.ok()) {
    // A damaged file still waits to be kept, and nothing may replace it: a failed try.
    NoteOutcome(false);
    guard.unlock();
    if (done) done(false);
    return;
  }
  lastBytes_ = bytes.size();
  world_.bytes = std::move(bytes);
  if (done) world_.waiting.push_back(std::move(done));
  changed_.notify_all();
}

void Saver::SaveBans(std::string text, SaveDone done) {
  std::lock_guard<std::mutex> guard(mutex_);
  bans_.bytes = std::move(text);
  if (done) bans_.waiting.push_back(std::move(done));
  changed_.notify_all();
}

bool Saver::FailedLast() {
  std::lock_guard<std::mutex> guard(mutex_);
  return failedTries_ > 0 && !writing_ && !world_.bytes;
}

bool Saver::BeforeExit(std::string_view path) {
  std::vector<SaveDone> dropped;
  {
    std::unique_lock<std::mutex> guard(mutex_);
    world_.bytes.reset();
    dropped.swap(world_.waiting);
    // The bans' newest text is written too: a ban made just before the end is kept.
    changed_.wait(guard, [&] { return !writing_ && !bans_.bytes; });
  }
  const base::Status status = persist::SaveWorld(*source_, path);
  if (!status.ok()) core::Log(status.Text() + "\n", core::LogPriority::Error);
  const bool saved = status.ok();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    NoteOutcome(saved);
  }
  for (const SaveDone& done : dropped) done(saved);
  return saved;
}

}  // namespace

void StartSaver(world::World& world, std::string_view path, std::string_view bansPath) {
  TheSaver.Start(world, path, bansPath);
  // Every setup asks at the moment it is typed, not only at the tick: the disk may have
  // filled, or a save failed, since.
  world.keeping.SetCheck(CanKeepNewCharacters);
}

void SaveInBackground(SaveDone done) {
  ASSERT_CONNECTION_LOCK_HELD();
  TheSaver.SaveWorld(std::move(done));
}

void SaveBansInBackground(std::string text, SaveDone done) {
  ASSERT_CONNECTION_LOCK_HELD();
  TheSaver.SaveBans(std::move(text), std::move(done));
}

bool SaveFailedLast() { return TheSaver.FailedLast(); }

bool SaveBeforeExit(std::string_view path) {
  ASSERT_CONNECTION_LOCK_HELD();
  return TheSaver.BeforeExit(path);
}

bool CanKeepNewCharacters() {
  if (SaveFailedLast()) return false;
  const std::string folder = FolderOf(TheSaver.Path().empty() ? std::string(kSaveFilePath) : TheSaver.Path());
  struct statvfs room {};
  if (::statvfs(folder.c_str(), &room) != 0) return true;  // a file system that cannot say
  const auto free = static_cast<unsigned long long>(room.f_bavail) * room.f_frsize;
  return free >= 2ull * TheSaver.LastBytes() + 64 * 1024;
}

base::Status CanSaveIn(std::string_view path) {
  const std::string temporary = std::string(path) + ".tmp";
  // A leftover temporary file (or a link planted there) is ours to remove, as a save would.
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) return base::Status::SystemError(kSaveError, errno);
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return base::Status::SystemError(kSaveError, errno);
  ::close(fd);
  ::unlink(temporary.c_str());
  return {};
}

}  // namespace persist
