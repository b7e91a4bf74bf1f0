// Bans: address blocks turned away at connect, and character names refused at login.
// The operator's console changes them; they are kept in a text file beside the save
// file and read back at start. The process's list is guarded by ConnectionLock.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "server/address_limits.h"

namespace server {

inline constexpr std::string_view kBansFilePath = "bans.txt";
inline constexpr const char* kAddressBanned = "Your address is not allowed here.";

struct AddressBan {
  AddressBlock block;
  std::int64_t until = 0;  // seconds since the epoch (wall clock); 0: for ever
  std::string reason;      // may be empty; no line ends
};

// The file holds one ban a line, "#" lines and blank lines ignored:
//   address 203.0.113.0/24 <until> <reason...>
//   name Ash
class BanList {
 public:
  // Adds or replaces the ban of exactly this block.
  void BanAddress(const AddressBan& ban);
  // Returns false when no ban has exactly this block.
  bool UnbanAddress(const AddressBlock& block);
  void BanName(std::string_view name);
  bool UnbanName(std::string_view name);

  // True when a ban in force at `now` covers `address` (IPv4, host byte order).
  bool AddressBanned(std::uint32_t address, std::int64_t now) const;
  bool NameBanned(std::string_view name) const;

  // Forgets the address bans whose time is up at `now`; true when one went.
  bool Expire(std::int64_t now);

  const std::vector<AddressBan>& Addresses() const { return addresses_; }
  const std::vector<std::string>& Names() const { return names_; }

  // The file's text, every ban in the order above.
  std::string Format() const;
  // Reads a file's text, adding its bans. A line that does not parse is skipped and
  // named in `damaged` ("line 3: ..."); the others are kept.
  void Parse(std::string_view text, std::vector<std::string>& damaged);

 private:
  std::vector<AddressBan> addresses_;
  std::vector<std::string> names_;
};

// "203.0.113.7" for a single address, "203.0.113.0/24" for a wider block.
std::string BlockText(const AddressBlock& block);
// One address or CIDR block; false (leaving `block`) when `text` is not one.
bool ParseBlockText(std::string_view text, AddressBlock& block);

// The process's bans. REQUIRES for all three: ConnectionLock held.
BanList& Bans();
// Reads `path` into Bans(); a missing file is no ban at all. Damaged lines and a file
// that cannot be read are logged. Called once, at start.
void LoadBans(std::string_view path = kBansFilePath);
// Writes Bans() to `path` as the save file is written: "<path>.tmp", flushed, renamed
// over `path`, folder flushed. Logs "Error saving bans: <errno>" and returns false on
// failure, leaving the old file.
bool SaveBans(std::string_view path = kBansFilePath);

// Connections refused because their address is banned, since start.
std::uint64_t BannedRefusals();
void NoteBannedRefusal();

}  // namespace server
