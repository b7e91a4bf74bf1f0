#include "persist/save.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "net/socket.h"
#include "persist/save_reader.h"
#include "persist/save_writer.h"
#include "server/connection_lock.h"
#include "server/log.h"
#include "world/character.h"
#include "world/clock.h"

namespace persist {

namespace {

constexpr int kMaxCopyNames = 100000;  // "<path>.damaged-1" to "-100000"

// A damaged or unreadable save file that could not be kept at load yet. While one is
// pending no save may replace it. Guarded by ConnectionLock.
struct PendingKeep {
  bool pending = false;
  bool moveAside = false;  // unreadable: move the file itself rather than copy `bytes`
  std::string path;        // the save file
  std::string bytes;       // what it held, for the copy
};
PendingKeep Pending;

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string CopyName(const std::string& path, int n) { return path + ".damaged-" + std::to_string(n); }

// Writes all of `bytes` to `fd`. 0 on success, else errno.
int WriteAll(int fd, std::string_view bytes) {
  int error = 0;
  return net::WriteAll(fd, bytes, error) ? 0 : error;
}

// Flushes a folder's entries to disk. 0 on success, else errno. A file system that
// cannot sync a folder (EINVAL) has nothing to flush.
int SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return errno;
  int error = ::fsync(fd) == 0 ? 0 : errno;
  if (error == EINVAL) error = 0;
  ::close(fd);
  return error;
}

// Writes `bytes` to a new file `path`, mode 0600, and flushes it to disk. The file must
// not exist (EEXIST otherwise). 0 on success; else errno, and no file is left behind.
int WriteNewFile(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return errno;
  int error = WriteAll(fd, bytes);
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) ::unlink(path.c_str());
  return error;
}

// Reads the whole file at `path`. 0 on success, else errno (ENOENT: no file). Never
// blocks on a special file: anything but a plain file is refused.
int ReadWholeFile(const std::string& path, std::string& bytes) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat info {};
  int error = 0;
  if (::fstat(fd, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  } else {
    bytes.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error = errno;
      if (n <= 0) break;
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
  }
  ::close(fd);
  return error;
}

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
      error = WriteNewFile(kept, Pending.bytes);
    }
  }
  if (error == 0) error = SyncFolder(FolderOf(Pending.path));
  return error;
}

// Keeps the pending file and says where, or says why not. 0 on success, else errno.
int KeepPendingAndReport() {
  std::string kept;
  const int error = KeepPending(kept);
  if (error != 0) {
    server::Log("Error keeping the damaged save file: " + std::to_string(error) + "\n");
    return error;
  }
  server::Log("Kept the damaged save file as " + kept + "\n");
  Pending = {};
  return 0;
}

// Replaces the file at `path` with `bytes`, atomically. 0 on success, else errno. A
// failure before the rename leaves the old file as it was and no temporary file; a
// failure of the last step, the flush of the folder, leaves the new file in place but
// perhaps not yet safe from a power cut, and is reported like any other.
int ReplaceFile(const std::string& path, std::string_view bytes) {
  const std::string temporary = path + ".tmp";
  // A temporary file left by a save that was killed: ours, and incomplete.
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) return errno;
  int error = WriteNewFile(temporary, bytes);
  if (error != 0) return error;
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    error = errno;
    ::unlink(temporary.c_str());
    return error;
  }
  return SyncFolder(FolderOf(path));
}

}  // namespace

bool LoadWorld(std::string_view pathText) {
  ASSERT_CONNECTION_LOCK_HELD();
  const std::string path(pathText);
  std::string bytes;
  const int readError = ReadWholeFile(path, bytes);
  if (readError == ENOENT) return true;
  if (readError != 0) {
    server::Log("Error reading save file: " + std::to_string(readError) + "\n");
    Pending = {true, true, path, {}};
    KeepPendingAndReport();
    return false;
  }

  SaveContents contents = ParseSave(bytes);
  if (!contents.messages.empty()) server::Log(contents.messages);
  world::GameClock = contents.clock;
  for (auto& c : contents.characters) world::Store(std::move(c));
  if (!contents.leftOut) return true;

  Pending = {true, false, path, std::move(bytes)};
  KeepPendingAndReport();
  return false;
}

std::optional<std::string> SnapshotWorld() {
  ASSERT_CONNECTION_LOCK_HELD();
  const int error = Pending.pending ? KeepPendingAndReport() : 0;
  if (error != 0) {
    server::Log("Error saving world: " + std::to_string(error) + "\n");
    return std::nullopt;
  }
  return FormatSave(world::GameClock, world::CharactersToSave());
}

bool WriteSaveBytes(std::string_view path, std::string_view bytes) {
  const int error = ReplaceFile(std::string(path), bytes);
  if (error != 0) {
    server::Log("Error saving world: " + std::to_string(error) + "\n");
    return false;
  }
  return true;
}

bool SaveWorld(std::string_view path) {
  ASSERT_CONNECTION_LOCK_HELD();
  const std::optional<std::string> bytes = SnapshotWorld();
  return bytes && WriteSaveBytes(path, *bytes);
}

}  // namespace persist
