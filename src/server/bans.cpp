#include "server/bans.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <string>

#include "net/socket.h"
#include "server/connection_lock.h"
#include "server/log.h"

namespace server {

namespace {

BanList Process;  // guarded by ConnectionLock
std::atomic<std::uint64_t> Refused{0};

bool SameBlock(const AddressBlock& a, const AddressBlock& b) {
  return a.network == b.network && a.mask == b.mask;
}

// The next word of `text` up to a blank, taken off its front.
std::string_view TakeWord(std::string_view& text) {
  const std::size_t blank = text.find(' ');
  const std::string_view word = text.substr(0, blank);
  text.remove_prefix(blank == std::string_view::npos ? text.size() : blank + 1);
  return word;
}

bool ReadSeconds(std::string_view text, std::int64_t& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size();
}

// Parses one line that is not blank or a comment; false when it is damaged.
bool ParseLine(std::string_view line, BanList& bans) {
  const std::string_view kind = TakeWord(line);
  if (kind == "name") {
    if (line.empty() || line.find(' ') != std::string_view::npos) return false;
    bans.BanName(line);
    return true;
  }
  if (kind != "address") return false;
  AddressBan ban;
  if (!ParseBlockText(TakeWord(line), ban.block) || !ReadSeconds(TakeWord(line), ban.until))
    return false;
  ban.reason = std::string(line);
  bans.BanAddress(ban);
  return true;
}

}  // namespace

void BanList::BanAddress(const AddressBan& ban) {
  for (AddressBan& old : addresses_) {
    if (SameBlock(old.block, ban.block)) {
      old = ban;
      return;
    }
  }
  addresses_.push_back(ban);
}

bool BanList::UnbanAddress(const AddressBlock& block) {
  const auto it = std::find_if(addresses_.begin(), addresses_.end(),
                               [&](const AddressBan& ban) { return SameBlock(ban.block, block); });
  if (it == addresses_.end()) return false;
  addresses_.erase(it);
  return true;
}

void BanList::BanName(std::string_view name) {
  if (!NameBanned(name)) names_.emplace_back(name);
}

bool BanList::UnbanName(std::string_view name) {
  const auto it = std::find(names_.begin(), names_.end(), name);
  if (it == names_.end()) return false;
  names_.erase(it);
  return true;
}

bool BanList::AddressBanned(std::uint32_t address, std::int64_t now) const {
  return std::any_of(addresses_.begin(), addresses_.end(), [&](const AddressBan& ban) {
    return (address & ban.block.mask) == ban.block.network && (ban.until == 0 || now < ban.until);
  });
}

bool BanList::NameBanned(std::string_view name) const {
  return std::find(names_.begin(), names_.end(), name) != names_.end();
}

bool BanList::Expire(std::int64_t now) {
  const auto before = addresses_.size();
  std::erase_if(addresses_, [&](const AddressBan& ban) { return ban.until != 0 && now >= ban.until; });
  return addresses_.size() != before;
}

std::string BanList::Format() const {
  std::string text = "# Pelthollow bans: address <block> <until, seconds since 1970; 0: for ever> <reason>\n";
  for (const AddressBan& ban : addresses_) {
    text += "address " + BlockText(ban.block) + " " + std::to_string(ban.until);
    if (!ban.reason.empty()) text += " " + ban.reason;
    text += "\n";
  }
  for (const std::string& name : names_) text += "name " + name + "\n";
  return text;
}

void BanList::Parse(std::string_view text, std::vector<std::string>& damaged) {
  for (int number = 1; !text.empty(); ++number) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() == '#') continue;
    if (!ParseLine(line, *this)) {
      damaged.push_back("line " + std::to_string(number) + ": " + EscapeForLog(line));
    }
  }
}

std::string BlockText(const AddressBlock& block) {
  int bits = 0;
  for (std::uint32_t m = block.mask; m != 0; m <<= 1) ++bits;
  std::string text = AddressText(block.network);
  if (bits != 32) text += "/" + std::to_string(bits);
  return text;
}

bool ParseBlockText(std::string_view text, AddressBlock& block) {
  if (text.empty() || text == "none" || text.find(',') != std::string_view::npos) return false;
  std::vector<AddressBlock> one;
  if (!ParseAddressBlocks(text, one) || one.size() != 1) return false;
  block = one.front();
  return true;
}

BanList& Bans() {
  ASSERT_CONNECTION_LOCK_HELD();
  return Process;
}

void LoadBans(std::string_view path) {
  ASSERT_CONNECTION_LOCK_HELD();
  const std::string name(path);
  const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno != ENOENT) Log("Error reading bans: " + std::to_string(errno) + "\n");
    return;
  }
  std::string text;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Log("Error reading bans: " + std::to_string(errno) + "\n");
      ::close(fd);
      return;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  std::vector<std::string> damaged;
  Process.Parse(text, damaged);
  for (const std::string& what : damaged) Log("Bans file " + name + ", skipped " + what + "\n");
}

bool SaveBans(std::string_view path) {
  ASSERT_CONNECTION_LOCK_HELD();
  const std::string name(path);
  const std::string temporary = name + ".tmp";
  const std::string text = Process.Format();
  int error = 0;
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  bool ok = fd >= 0;
  if (!ok) error = errno;
  if (ok && !net::WriteAll(fd, text, error)) ok = false;
  if (ok && ::fsync(fd) != 0) {
    error = errno;
    ok = false;
  }
  if (fd >= 0) ::close(fd);
  if (ok && ::rename(temporary.c_str(), name.c_str()) != 0) {
    error = errno;
    ok = false;
  }
  if (!ok) {
    ::unlink(temporary.c_str());
    Log("Error saving bans: " + std::to_string(error) + "\n");
    return false;
  }
  const std::size_t slash = name.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash + 1);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

std::uint64_t BannedRefusals() { return Refused.load(std::memory_order_relaxed); }
void NoteBannedRefusal() { Refused.fetch_add(1, std::memory_order_relaxed); }

}  // namespace server
