#include "persist/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "persist/save.h"

namespace persist {

base::Status AdoptSaveFolderLock(int fd, int& held, std::string_view savePath) {
  const std::string path = std::string(savePath) + ".lock";
  struct stat inherited {};
  struct stat named {};
  // A lock already held by this open file is taken again at once.
  if (::fstat(fd, &inherited) != 0 || ::stat(path.c_str(), &named) != 0 ||
      inherited.st_dev != named.st_dev || inherited.st_ino != named.st_ino ||
      ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return LockSaveFolder(held, savePath);
  }
  ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  held = fd;
  return {};
}

base::Status LockSaveFolder(int& held, std::string_view savePath) {
  // Not the save file itself: every save renames a new file over it, and a lock on the
  // old one would guard nothing.
  const std::string path = std::string(savePath) + ".lock";
  // Without blocking: a FIFO planted under the name must not hold up the start.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
  if (fd < 0) return base::Status::SystemError(kSaveError, errno);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return base::Status::Failure("Another server is using this folder.");
    return base::Status::SystemError("Error locking " + path + ": ", error);
  }
  held = fd;
  return {};  // `fd` stays open, and the lock with it, until the process ends
}

}  // namespace persist
