#include "folder.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>

namespace harness {

TempDir::TempDir(std::string_view prefix) {
  std::error_code ignored;
  std::string pattern =
      (std::filesystem::temp_directory_path(ignored) / (std::string(prefix) + "-XXXXXX")).string();
  if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (keep_ || path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
  std::string out;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return out;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

std::string Tail(const std::string& path, std::size_t bytes) {
  const std::string all = ReadFile(path);
  return all.size() <= bytes ? all : all.substr(all.size() - bytes);
}

void WriteFile(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  [[maybe_unused]] auto n = ::write(fd, bytes.data(), bytes.size());
  ::close(fd);
}

}  // namespace harness
