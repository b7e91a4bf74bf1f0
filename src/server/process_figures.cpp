#include "server/process_figures.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace server {

namespace {

// A small file of /proc whole, or nothing when it cannot be read.
std::optional<std::string> ReadProcFile(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string text;
  char buffer[4096];
  ssize_t n = 0;
  while (text.size() < 64 * 1024 && (n = ::read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (n < 0) return std::nullopt;
  return text;
}

}  // namespace

// From /proc/self/stat, whose fields after the command's name in parentheses are
// numbered from 3 (proc(5)); the start is counted from the boot time in /proc/stat.
std::optional<ProcessFigures> ReadProcessFigures() {
  const std::optional<std::string> stat = ReadProcFile("/proc/self/stat");
  const std::optional<std::string> system = ReadProcFile("/proc/stat");
  if (!stat || !system) return std::nullopt;
  const std::size_t nameEnd = stat->rfind(')');
  if (nameEnd == std::string::npos) return std::nullopt;
  std::vector<std::uint64_t> fields(3, 0);  // fields 1 and 2 are not numbers
  std::string_view rest = std::string_view(*stat).substr(nameEnd + 1);
  while (!rest.empty() && fields.size() <= 24) {
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
    const std::size_t end = std::min(rest.find(' '), rest.size());
    std::uint64_t value = 0;
    std::from_chars(rest.data(), rest.data() + end, value);  // the state letter reads as 0
    fields.push_back(value);
    rest.remove_prefix(end);
  }
  const std::size_t boot = system->find("\nbtime ");
  std::uint64_t bootTime = 0;
  if (fields.size() <= 24 || boot == std::string::npos) return std::nullopt;
  const char* at = system->data() + boot + 7;
  std::from_chars(at, system->data() + system->size(), bootTime);
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const double pageBytes = static_cast<double>(::sysconf(_SC_PAGESIZE));
  ProcessFigures figures;
  figures.cpuSeconds = static_cast<double>(fields[14] + fields[15]) / ticks;  // utime, stime
  figures.startTime = static_cast<double>(bootTime) + static_cast<double>(fields[22]) / ticks;
  figures.residentBytes = static_cast<double>(fields[24]) * pageBytes;  // rss, in pages
  return figures;
}

// The descriptors open in this process, the one that lists them left out.
std::optional<double> OpenDescriptors() {
  DIR* listing = ::opendir("/proc/self/fd");
  if (listing == nullptr) return std::nullopt;
  const std::string own = std::to_string(::dirfd(listing));
  double count = 0;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != ".." && name != own) ++count;
  }
  ::closedir(listing);
  return count;
}

}  // namespace server
