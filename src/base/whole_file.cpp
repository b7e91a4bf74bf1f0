#include "base/whole_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace base {

Status ReadRegularFile(const std::string& path, std::size_t maxBytes, std::string& bytes, struct stat* opened) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return Status::SystemError("", errno);
  struct stat info {};
  std::string read;
  int error = 0;
  const bool statted = ::fstat(fd, &info) == 0;
  if (!statted) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
  } else if (static_cast<std::size_t>(info.st_size) > maxBytes) {
    error = EFBIG;
  } else {
    read.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[1 << 16];
    for (;;) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error = errno;
      if (n <= 0) break;
      read.append(buffer, static_cast<std::size_t>(n));
      if (read.size() > maxBytes) {
        error = EFBIG;  // it grew while it was read
        break;
      }
    }
  }
  ::close(fd);
  if (opened != nullptr && statted) *opened = info;
  if (error != 0) return Status::SystemError("", error);
  bytes = std::move(read);
  return {};
}

std::string_view FileKind(mode_t mode) {
  switch (mode & S_IFMT) {
    case S_IFREG:
      return "a regular file";
    case S_IFDIR:
      return "a folder";
    case S_IFIFO:
      return "a FIFO";
    case S_IFSOCK:
      return "a socket";
    case S_IFCHR:
      return "a character device";
    case S_IFBLK:
      return "a block device";
    case S_IFLNK:
      return "a symbolic link";
    default:
      return "not a regular file";
  }
}

}  // namespace base
