#include "persist/saver.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "persist/save.h"
#include "server/connection_lock.h"
#include "server/log.h"

namespace persist {

namespace {

// --- State below is guarded by Mutex (never by ConnectionLock). ---------------------
std::mutex Mutex;
std::condition_variable Changed;
std::optional<std::string> Waiting;  // the newest snapshot not yet being written
bool Writing = false;                // the writer thread is writing a snapshot
int FailedTries = 0;                 // saves that failed since the last one that worked
std::string Path;                    // set by StartSaver, before the thread runs

// Counts one save's outcome; after a good save that follows failed ones, says so.
// REQUIRES: Mutex held.
void NoteOutcome(bool saved) {
  if (!saved) {
    ++FailedTries;
    return;
  }
  if (FailedTries == 1) server::Log("World saved after 1 failed try.\n");
  if (FailedTries > 1) {
    server::Log("World saved after " + std::to_string(FailedTries) + " failed tries.\n");
  }
  FailedTries = 0;
}

[[noreturn]] void WriterLoop() {
  for (;;) {
    std::string bytes;
    {
      std::unique_lock<std::mutex> guard(Mutex);
      Changed.wait(guard, [] { return Waiting.has_value(); });
      bytes = std::move(*Waiting);
      Waiting.reset();
      Writing = true;
    }
    const bool saved = WriteSaveBytes(Path, bytes);  // reports its own failure
    {
      std::lock_guard<std::mutex> guard(Mutex);
      Writing = false;
      NoteOutcome(saved);
    }
    Changed.notify_all();
  }
}

}  // namespace

void StartSaver(std::string_view path) {
  Path = std::string(path);
  std::thread(WriterLoop).detach();
}

void SaveInBackground() {
  ASSERT_CONNECTION_LOCK_HELD();
  std::optional<std::string> bytes = SnapshotWorld();
  std::lock_guard<std::mutex> guard(Mutex);
  if (!bytes) {
    // A damaged file still waits to be kept, and nothing may replace it: a failed try.
    NoteOutcome(false);
    return;
  }
  Waiting = std::move(bytes);
  Changed.notify_all();
}

bool SaveFailedLast() {
  std::lock_guard<std::mutex> guard(Mutex);
  return FailedTries > 0 && !Writing && !Waiting;
}

bool SaveBeforeExit(std::string_view path) {
  ASSERT_CONNECTION_LOCK_HELD();
  {
    std::unique_lock<std::mutex> guard(Mutex);
    Waiting.reset();
    Changed.wait(guard, [] { return !Writing; });
  }
  const bool saved = SaveWorld(path);
  std::lock_guard<std::mutex> guard(Mutex);
  NoteOutcome(saved);
  return saved;
}

bool CanSaveIn(std::string_view path, int& error) {
  const std::string temporary = std::string(path) + ".tmp";
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    error = errno;
    return false;
  }
  ::close(fd);
  ::unlink(temporary.c_str());
  return true;
}

}  // namespace persist
