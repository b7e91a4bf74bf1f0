#include "persist/bans_file.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2

#include <cerrno>
#include <string>
#include <vector>

#include "base/whole_file.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace persist {

namespace {

constexpr int kMaxCopyNames = 1000;  // "<path>.damaged-1" to "-1000"

// Moves the file at `path` to the first free "<path>.damaged-N", so that no rewrite
// of the bans replaces what could not be read. 0 on success (its name in `kept`),
// else errno.
int MoveAside(const std::string& path, std::string& kept) {
  int error = EEXIST;
  for (int n = 1; n <= kMaxCopyNames && error == EEXIST; ++n) {
    kept = path + ".damaged-" + std::to_string(n);
    error = ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE) == 0
                ? 0
                : errno;
  }
  return error;
}

}  // namespace

void LoadBans(connection::BanList& bans, std::string_view path) {
  ASSERT_CONNECTION_LOCK_HELD();
  const std::string name(path);
  std::string text;
  const base::Status read = base::ReadRegularFile(name, kMaxBansFileBytes, text);
  if (!read.ok()) {
    if (read.error() == ENOENT) return;
    core::Log("Error reading bans: " + std::to_string(read.error()) + "\n",
              core::LogPriority::Error);
    std::string kept;
    if (const int error = MoveAside(name, kept); error != 0) {
      core::Log("Error keeping the unreadable bans file: " + std::to_string(error) + "\n",
                core::LogPriority::Error);
    } else {
      core::Log("Kept the unreadable bans file as " + kept + "\n", core::LogPriority::Warning);
    }
    return;
  }
  std::vector<std::string> damaged;
  bans.Parse(text, damaged);
  for (const std::string& what : damaged) {
    core::Log("Bans file " + name + ", skipped " + core::EscapeForLog(what) + "\n",
              core::LogPriority::Warning);
  }
}

void SaveBans(Saver& saver, const connection::BanList& bans, SaveDone done) {
  ASSERT_CONNECTION_LOCK_HELD();
  saver.SaveBansInBackground(bans.Format(), std::move(done));
}

}  // namespace persist
