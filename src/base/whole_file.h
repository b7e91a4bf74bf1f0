// Reading a whole file that others may put in place while the server runs (a
// certificate, a key, the bans, the save): opened without blocking, so that a FIFO or a
// device standing under its name cannot stop the thread that reads it, and taken only
// when it is a regular file of at most a given size. Pure file operations; any thread.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "base/status.h"

namespace base {

// Reads the whole of the regular file at `path` into `bytes`, opened with O_NONBLOCK,
// O_NOCTTY and O_CLOEXEC. Anything but a regular file is refused before a byte is read
// (EISDIR for a folder, EINVAL for the rest: a FIFO, a socket, a device), as is a file
// larger than `maxBytes` (EFBIG, also when it grows past it while it is read); ENOENT
// when there is none; the status's errno otherwise. `*opened`, when given, is set to
// what fstat said of the open file whenever the file could be opened, refused or not.
// On failure `bytes` is left untouched.
Status ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& bytes,
                       struct stat* opened = nullptr);

// What a file of `mode` (st_mode) is, for a log line: "a regular file", "a folder",
// "a FIFO", "a socket", "a character device", "a block device", "a symbolic link".
std::string_view FileKind(mode_t mode);

}  // namespace base
