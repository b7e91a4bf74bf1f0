#include "persist/save.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/whole_file.h"
#include "persist/file_replace.h"
#include "persist/save_reader.h"
#include "persist/save_writer.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace persist {

namespace {

constexpr int kMaxCopyNames = 100000;  // "<path>.damaged-1" to "-100000"
// A save file larger than this is not read (a world of a million characters is smaller).
constexpr std::size_t kMaxSaveFileBytes = std::size_t{1} << 30;

// A damaged or unreadable save file that could not be kept at load yet. While one is
// pending no save may replace it. Guarded by ConnectionLock.
struct PendingKeep {
  bool pending = false;
  bool moveAside = false;  // unreadable: move the file itself rather than copy `bytes`
  std::string path;        // the save file
  std::string bytes;       // what it held, for the copy
};
// One per process: the save file is the process's.
PendingKeep Pending;

std::string CopyName(const std::string& path, int n) { return path + ".damaged-" + std::to_string(n); }

// Keeps the pending file under the first free "<path>.damaged-N". 0 on success (its
// name in `kept`), else errno.
int KeepPending(std::string& kept) {
  int error = EEXIST;
  for (int n = 1; n <= kMaxCopyNames && error == EEXIST; ++n) {
    kept = CopyName(Pending.path, n);
    if (Pending.moveAside) {
      error = ::renameat2(AT_FDCWD, Pending.path.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0
                  ? 0
                  : errno;
    } else {
      error = WriteNewFile(kept, Pending.bytes).error();
    }
  }
  if (error == 0) error = SyncFolder(FolderOf(Pending.path)).error();
  return error;
}

// Keeps the pending file and says where, or says why not. 0 on success, else errno.
int KeepPendingAndReport() {
  std::string kept;
  const int error = KeepPending(kept);
  if (error != 0) {
    core::Log("Error keeping the damaged save file: " + std::to_string(error) + "\n",
              core::LogPriority::Error);
    return error;
  }
  core::Log("Kept the damaged save file as " + kept + "\n", core::LogPriority::Warning);
  Pending = {};
  return 0;
}

}  // namespace

bool LoadWorld(world::World& world, std::string_view pathText) {
  ASSERT_CONNECTION_LOCK_HELD();
  const std::string path(pathText);
  std::string bytes;
  const int readError = base::ReadRegularFile(path, kMaxSaveFileBytes, bytes).error();
  if (readError == ENOENT) return true;
  if (readError != 0) {
    core::Log("Error reading save file: " + std::to_string(readError) + "\n",
              core::LogPriority::Error);
    Pending = {true, true, path, {}};
    KeepPendingAndReport();
    return false;
  }

  SaveContents contents = ParseSave(bytes);
  if (!contents.messages.empty()) core::Log(contents.messages, core::LogPriority::Warning);
  world.clock = contents.clock;
  for (auto& c : contents.characters) world.characters.Store(std::move(c));
  if (!contents.leftOut) return true;

  Pending = {true, false, path, std::move(bytes)};
  KeepPendingAndReport();
  return false;
}

base::Status SnapshotWorld(const world::World& world, std::string& bytes) {
  ASSERT_CONNECTION_LOCK_HELD();
  const int error = Pending.pending ? KeepPendingAndReport() : 0;
  if (error != 0) return base::Status::SystemError(kSaveError, error);
  bytes = FormatSave(world.clock, world.characters.CharactersToSave());
  return {};
}

base::Status WriteSaveBytes(std::string_view path, std::string_view bytes) {
  return ReplaceFile(std::string(path), bytes).WithWhat(kSaveError);
}

base::Status SaveWorld(const world::World& world, std::string_view path) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::string bytes;
  if (base::Status taken = SnapshotWorld(world, bytes); !taken.ok()) return taken;
  return WriteSaveBytes(path, bytes);
}

}  // namespace persist
