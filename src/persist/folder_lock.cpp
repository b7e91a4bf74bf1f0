#include "persist/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace persist {

base::Status LockSaveFolder(std::string_view savePath) {
  // Not the save file itself: every save renames a new file over it, and a lock on the
  // old one would guard nothing.
  const std::string path = std::string(savePath) + ".lock";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return base::Status::SystemError("Error saving world: ", errno);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK) return base::Status::Failure("Another server is using this folder.");
    return base::Status::SystemError("Error locking " + path + ": ", error);
  }
  return {};  // `fd` stays open, and the lock with it, until the process ends
}

}  // namespace persist
