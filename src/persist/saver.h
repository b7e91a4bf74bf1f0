// The background saver: the world's bytes (and the bans file's) are taken under
// ConnectionLock, in memory, and written, flushed and renamed into place by a thread of
// its own, so no tick and no command waits for the disk. The server owns one
// (server/running.h). Its members are called with ConnectionLock held unless they say
// otherwise; the writer thread never takes it.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/status.h"
#include "persist/save.h"
#include "persist/save_format.h"
#include "world/world.h"

namespace persist {

// Told, on the writer thread, whether the write that holds a snapshot worked.
using SaveDone = std::function<void(bool saved)>;

inline constexpr std::string_view kBansFilePath = "bans.txt";

class Saver {
 public:
  // Saves `world` to the save file at `path` and the bans to `bansPath`. `world` must
  // outlive the saver; once started, the saver must live as long as the process, since
  // its thread never ends.
  explicit Saver(world::World& world, std::string path = std::string(kSaveFilePath),
                 std::string bansPath = std::string(kBansFilePath));
  Saver(const Saver&) = delete;
  Saver& operator=(const Saver&) = delete;

  // The save file, for the load at start. REQUIRES: ConnectionLock held to use it.
  SaveFile& File() { return file_; }

  // Starts the writer thread, and has the world's Keeping ask CanKeepNewCharacters
  // from then on. Call once, before any SaveInBackground and before the server's other
  // threads start.
  void Start();

  // Takes the world's bytes now and hands them to the writer thread. A write already in
  // progress is followed by one more with the newest bytes, never by a pile: a snapshot
  // that has not started yet is replaced (and its `done`s are told of the one that
  // replaced it). A write that fails prints "Error saving world: <errno>" and leaves
  // the old file; play goes on, and FailedLast tells the caller to try again. The first
  // save that works after failed ones prints "World saved after <n> failed tries." ("1
  // failed try." for one). `done`, if given, is told once the bytes are on disk or the
  // write failed (at once, on this thread, when no snapshot could be taken).
  // REQUIRES: ConnectionLock held.
  void SaveInBackground(SaveDone done = nullptr);

  // The bans file's new text, written the same way ("Error saving bans: <errno>" on
  // failure); `done` as above. REQUIRES: ConnectionLock held.
  void SaveBansInBackground(std::string text, SaveDone done = nullptr);

  // True when the newest save failed (its snapshot or its write) and none is waiting or
  // being written: what the world held then is not on disk, though nothing may have
  // changed since, so the caller should save again. Any thread.
  bool FailedLast() const;

  // Whether a new character made now would be kept: the newest save did not fail, and
  // the save file's folder has room for two more saves of the size of the last one (the
  // temporary file beside the old one) and some to spare. One statvfs. Any thread.
  bool CanKeepNewCharacters() const;

  // The final save: waits for the writes in progress and the bans' text still waiting,
  // drops any world snapshot still waiting, and saves now as SaveFile::Save does,
  // returning its result (counted, and reported after failed tries, as
  // SaveInBackground's are). The caller keeps ConnectionLock so nothing changes
  // afterwards. REQUIRES: ConnectionLock held.
  bool BeforeExit();

 private:
  // One file's newest bytes not yet being written, and who waits for them.
  struct Slot {
    std::optional<std::string> bytes;
    std::vector<SaveDone> waiting;
  };

  [[noreturn]] void Loop();
  void NoteOutcome(bool saved);

  world::World& world_;
  SaveFile file_;  // guarded by ConnectionLock
  const std::string bansPath_;
  // State below is guarded by mutex_ (never by ConnectionLock).
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  Slot worldBytes_;
  Slot bansBytes_;
  bool writing_ = false;       // the writer thread is writing a snapshot
  int failedTries_ = 0;        // world saves that failed since the last one that worked
  std::size_t lastBytes_ = 0;  // the size of the newest snapshot
};

// Ok when the folder of `path` lets the server make its temporary save file; otherwise
// fails as a save would ("Error saving world: 13"). Leaves no file behind.
base::Status CanSaveIn(std::string_view path);

}  // namespace persist
