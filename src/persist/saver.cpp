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

namespace persist {

Saver::Saver(world::World& world, std::string path, std::string bansPath)
    : world_(world), file_(std::move(path)), bansPath_(std::move(bansPath)) {}

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
      changed_.wait(guard,
                    [&] { return worldBytes_.bytes.has_value() || bansBytes_.bytes.has_value(); });
      std::swap(world, worldBytes_);
      std::swap(bans, bansBytes_);
      writing_ = true;
    }
    const base::Status worldSaved =
        world.bytes ? WriteSaveBytes(file_.Path(), *world.bytes) : base::Status();
    if (!worldSaved.ok()) {
      world_.keeping.Set(false);  // at once: no setup waits for the tick
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

void Saver::Start() {
  std::thread([this] { Loop(); }).detach();
  // Every setup asks at the moment it is typed, not only at the tick: the disk may have
  // filled, or a save failed, since.
  world_.keeping.SetCheck([this] { return CanKeepNewCharacters(); });
}

void Saver::SaveInBackground(SaveDone done) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::string bytes;
  const base::Status taken = file_.Snapshot(world_, bytes);
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
  worldBytes_.bytes = std::move(bytes);
  if (done) worldBytes_.waiting.push_back(std::move(done));
  changed_.notify_all();
}

void Saver::SaveBansInBackground(std::string text, SaveDone done) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::lock_guard<std::mutex> guard(mutex_);
  bansBytes_.bytes = std::move(text);
  if (done) bansBytes_.waiting.push_back(std::move(done));
  changed_.notify_all();
}

bool Saver::FailedLast() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return failedTries_ > 0 && !writing_ && !worldBytes_.bytes;
}

bool Saver::BeforeExit() {
  ASSERT_CONNECTION_LOCK_HELD();
  std::vector<SaveDone> dropped;
  {
    std::unique_lock<std::mutex> guard(mutex_);
    worldBytes_.bytes.reset();
    dropped.swap(worldBytes_.waiting);
    // The bans' newest text is written too: a ban made just before the end is kept.
    changed_.wait(guard, [&] { return !writing_ && !bansBytes_.bytes; });
  }
  const base::Status status = file_.Save(world_);
  if (!status.ok()) core::Log(status.Text() + "\n", core::LogPriority::Error);
  const bool saved = status.ok();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    NoteOutcome(saved);
  }
  for (const SaveDone& done : dropped) done(saved);
  return saved;
}

bool Saver::CanKeepNewCharacters() const {
  if (FailedLast()) return false;
  std::size_t lastBytes = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    lastBytes = lastBytes_;
  }
  // The path is set before the threads start and never changes.
  const std::string folder = FolderOf(file_.Path());
  struct statvfs room {};
  if (::statvfs(folder.c_str(), &room) != 0) return true;  // a file system that cannot say
  const auto free = static_cast<unsigned long long>(room.f_bavail) * room.f_frsize;
  return free >= 2ull * lastBytes + 64 * 1024;
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
