// Writing the server's files so that a crash at any moment leaves the old or the new
// whole file: the save file and the bans file both go through ReplaceFile. Pure file
// operations; any thread, one writer per file at a time.
#pragma once

#include <string>
#include <string_view>

#include "base/status.h"

namespace persist {

// Replaces the file at `path` with `bytes`: a temporary file "<path>.tmp" in the same
// folder, created anew with mode 0600 (O_EXCL | O_NOFOLLOW: a file or a symbolic link
// planted under that name is removed first, never written through), written, flushed
// to disk, renamed over `path`, and the folder flushed. A failure before the rename
// leaves the old file as it was and no temporary file; a failure of the last step, the
// flush of the folder, leaves the new file in place but perhaps not yet safe from a
// power cut, and is reported like any other. The status's errno is the failure's.
base::Status ReplaceFile(const std::string& path, std::string_view bytes);

// Writes `bytes` to a new file `path`, mode 0600, and flushes it to disk. The name must
// be free (EEXIST otherwise; a symbolic link there is not followed). On failure no
// file is left behind.
base::Status WriteNewFile(const std::string& path, std::string_view bytes);

// Flushes a folder's entries to disk. A file system that cannot sync a folder (EINVAL)
// has nothing to flush.
base::Status SyncFolder(const std::string& folder);

// The folder of `path`: "." for a bare name.
std::string FolderOf(const std::string& path);

}  // namespace persist
