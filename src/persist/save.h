// The world on disk: a SaveFile loads the world at server start and saves it for every
// save (the autosave every 60 ticks and the final save on SIGINT, SIGTERM and SIGHUP).
// Both run with ConnectionLock held, which guards what a SaveFile keeps. The server's
// file is "./savedata.phl" in its working directory (its saver holds it,
// persist/saver.h); tests make one of their own path.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "base/status.h"
#include "persist/save_format.h"
#include "world/world.h"

namespace persist {

// What a failed save says before its errno.
inline constexpr const char* kSaveError = "Error saving world: ";

class SaveFile {
 public:
  explicit SaveFile(std::string path = std::string(kSaveFilePath)) : path_(std::move(path)) {}

  const std::string& Path() const { return path_; }

  // Reads the file and stores its characters in `world`'s tables (CharacterTable::Store)
  // in file order; sets the world's clock from it. Messages about a damaged file go to
  // the log (the cases are listed at persist::ParseSave).
  //  - No file: nothing is loaded, nothing is printed; returns true.
  //  - A good file: everything loaded, nothing printed; returns true.
  //  - Anything left out: what could be read is loaded, and a byte-for-byte copy of the
  //    file is kept beside it as "<path>.damaged-N" (the first N from 1 whose name is
  //    free; an earlier copy is never replaced), announced with "Kept the damaged save
  //    file as <copy>\n". Returns false.
  //  - A file that exists but cannot be read (or is not a plain file): "Error reading
  //    save file: <errno>\n", nothing is loaded, and the file is moved aside to such a
  //    name so that no save replaces it. Returns false.
  // If the copy (or the move) fails, "Error keeping the damaged save file: <errno>\n" is
  // printed and every later save of this SaveFile tries again first, saving nothing
  // until it works, so the damaged bytes are never replaced before they are kept.
  // REQUIRES: ConnectionLock held; called once, at start, before the tables are used.
  bool Load(world::World& world);

  // Writes the world's clock and every character (the stored ones in order, then those
  // in play in ascending handle order; waiting kits never) to the file. The file is
  // replaced atomically: a temporary file "<path>.tmp" in the same folder, made with
  // mode 0600, written, flushed to disk, renamed over the file, then the folder is
  // flushed, so a crash at any moment leaves the old or the new complete file. Moves
  // and releases nothing; the server goes on (autosave) or ends (final save) as the
  // caller decides. On failure returns what the log is to say, "Error saving world:
  // <errno>"; the old file is left as it was (unless only the final flush of the folder
  // failed: the new file is then in place, but may not survive a power cut).
  // REQUIRES: ConnectionLock held.
  base::Status Save(const world::World& world);

  // The first half of Save, for the background saver (persist/saver.h): sets `bytes` to
  // the file's bytes, and fails, setting nothing, while a damaged file still waits to
  // be kept. WriteSaveBytes is the second. REQUIRES: ConnectionLock held.
  base::Status Snapshot(const world::World& world, std::string& bytes);

 private:
  int KeepPending(std::string& kept);
  int KeepPendingAndReport();

  std::string path_;
  // A damaged or unreadable file that could not be kept at load yet: while one is
  // pending no save may replace it. Guarded by ConnectionLock.
  struct PendingKeep {
    bool pending = false;
    bool moveAside = false;  // unreadable: move the file itself rather than copy `bytes`
    std::string bytes;       // what it held, for the copy
  };
  PendingKeep pending_;
  std::size_t lastSnapshotBytes_ = 0;  // guarded by ConnectionLock
};

// Puts a snapshot's bytes in place as SaveFile::Save does. Needs no lock; only one
// thread may write the file at a time.
base::Status WriteSaveBytes(std::string_view path, std::string_view bytes);

}  // namespace persist
