#include "persist/bans_file.h"

#include <cerrno>
#include <string>
#include <vector>

#include "connection/bans.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "persist/file_replace.h"

namespace persist {

void LoadBans(std::string_view path) {
  ASSERT_CONNECTION_LOCK_HELD();
  const std::string name(path);
  std::string text;
  const base::Status read = ReadWholeFile(name, kMaxBansFileBytes, text);
  if (!read.ok()) {
    if (read.error() != ENOENT) core::Log("Error reading bans: " + std::to_string(read.error()) + "\n");
    return;
  }
  std::vector<std::string> damaged;
  connection::Bans().Parse(text, damaged);
  for (const std::string& what : damaged) {
    core::Log("Bans file " + name + ", skipped " + core::EscapeForLog(what) + "\n");
  }
}

void SaveBans(SaveDone done) {
  ASSERT_CONNECTION_LOCK_HELD();
  SaveBansInBackground(connection::Bans().Format(), std::move(done));
}

}  // namespace persist
