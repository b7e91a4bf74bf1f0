#include "persist/save.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/whole_file.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "persist/file_replace.h"
#include "persist/save_reader.h"
#include "persist/save_writer.h"

namespace persist {

namespace {

constexpr int kMaxCopyNames = 100000;  // "<path>.damaged-1" to "-100000"
// A save file larger than this is not read (a world of a million characters is smaller).
constexpr std::size_t kMaxSaveFileBytes = std::size_t{1} << 30;

std::string CopyName(const std::string& path, int n) { return path + ".damaged-" + std::to_string(n); }

}  // namespace

// Keeps the pending file under the first free "<path>.damaged-N". 0 on success (its
// name in `kept`), else errno.
int SaveFile::KeepPending(std::string& kept) {
  int error = EEXIST;
  for (int n = 1; n <= kMaxCopyNames && error == EEXIST; ++n) {
    kept = CopyName(path_, n);
    if (pending_.moveAside) {
      error = ::renameat2(AT_FDCWD, path_.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0
                  ? 0
                  : errno;
    } else {
      error = WriteNewFile(kept, pending_.bytes).error();
    }
  }
  if (error == 0) error = SyncFolder(FolderOf(path_)).error();
  return error;
}

// Keeps the pending file and says where, or says why not. 0 on success, else errno.
int SaveFile::KeepPendingAndReport() {
  std::string kept;
  const int error = KeepPending(kept);
  if (error != 0) {
    core::Log("Error keeping the damaged save file: " + std::to_string(error) + "\n",
              core::LogPriority::Error);
    return error;
  }
  core::Log("Kept the damaged save file as " + kept + "\n", core::LogPriority::Warning);
  pending_ = {};
  return 0;
}

bool SaveFile::Load(world::World& world) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::string bytes;
  const int readError = base::ReadRegularFile(path_, kMaxSaveFileBytes, bytes).error();
  if (readError == ENOENT) return true;
  if (readError != 0) {
    core::Log("Error reading save file: " + std::to_string(readError) + "\n",
              core::LogPriority::Error);
    pending_ = {true, true, {}};
    KeepPendingAndReport();
    return false;
  }

  SaveContents contents = ParseSave(bytes);
  if (!contents.messages.empty()) core::Log(contents.messages, core::LogPriority::Warning);
  world.clock = contents.clock;
  for (auto& c : contents.characters) world.characters.Store(std::move(c));
  if (!contents.leftOut) return true;

  pending_ = {true, false, std::move(bytes)};
  KeepPendingAndReport();
  return false;
}

base::Status SaveFile::Snapshot(const world::World& world, std::string& bytes) {
  ASSERT_CONNECTION_LOCK_HELD();
  const int error = pending_.pending ? KeepPendingAndReport() : 0;
  if (error != 0) return base::Status::SystemError(kSaveError, error);
  bytes = FormatSave(world.clock, world.characters.CharactersToSave(), lastSnapshotBytes_);
  lastSnapshotBytes_ = bytes.size();
  return {};
}

base::Status WriteSaveBytes(std::string_view path, std::string_view bytes) {
  return ReplaceFile(std::string(path), bytes).WithWhat(kSaveError);
}

base::Status SaveFile::Save(const world::World& world) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::string bytes;
  if (base::Status taken = Snapshot(world, bytes); !taken.ok()) return taken;
  return WriteSaveBytes(path_, bytes);
}

}  // namespace persist
