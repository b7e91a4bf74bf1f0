#include "persist/file_replace.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "net/socket.h"

namespace persist {

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

base::Status SyncFolder(const std::string& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return base::Status::SystemError("", errno);
  int error = ::fsync(fd) == 0 ? 0 : errno;
  if (error == EINVAL) error = 0;
  ::close(fd);
  return error == 0 ? base::Status() : base::Status::SystemError("", error);
}

base::Status WriteNewFile(const std::string& path, std::string_view bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return base::Status::SystemError("", errno);
  int error = net::WriteAll(fd, bytes).error();
  if (error == 0 && ::fsync(fd) != 0) {
    error = errno;
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    ::unlink(path.c_str());
    return base::Status::SystemError("", error);
  }
  return {};
}

base::Status ReplaceFile(const std::string& path, std::string_view bytes) {
  const std::string temporary = path + ".tmp";
  // Whatever stands under the temporary name is a save that was killed (ours, and
  // incomplete) or was planted there: it goes, and is never written through.
  if (::unlink(temporary.c_str()) != 0 && errno != ENOENT) return base::Status::SystemError("", errno);
  base::Status written = WriteNewFile(temporary, bytes);
  if (!written.ok()) return written;
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    return base::Status::SystemError("", error);
  }
  return SyncFolder(FolderOf(path));
}

}  // namespace persist
