// Bans: address blocks turned away at connect, and character names refused at login.
// The operator's console changes them; they are kept in a text file beside the save
// file (persist/bans_file.h) and read back at start. A plain record; the server's list
// belongs to its connection layer (connection/connection_layer.h) and is guarded by
// ConnectionLock.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/address.h"

namespace connection {

inline constexpr const char* kAddressBanned = "Your address is not allowed here.";

struct AddressBan {
  base::AddressBlock block;
  std::int64_t until = 0;  // seconds since the epoch (wall clock); 0: for ever
  std::string reason;      // may be empty; no line ends
};

// The list in the order of its file. The file holds one ban a line:
//   address 203.0.113.0/24 <until> <reason...>
//   name Ash
// Comments ("#"), blank lines and lines that do not parse are kept where they stand,
// so that a rewrite of the file loses nothing the operator wrote.
class BanList {
 public:
  // Adds the ban, or replaces the ban of exactly this block in its place; returns the
  // ban it replaced.
  std::optional<AddressBan> BanAddress(const AddressBan& ban);
  // Returns false when no ban has exactly this block.
  bool UnbanAddress(const base::AddressBlock& block);
  // Returns false, adding nothing, when the name is banned already.
  bool BanName(std::string_view name);
  bool UnbanName(std::string_view name);

  // True when a ban in force at `now` covers `address`.
  bool AddressBanned(const base::Address& address, std::int64_t now) const;
  bool NameBanned(std::string_view name) const;

  // Forgets the address bans whose time is up at `now`; true when one went.
  bool Expire(std::int64_t now);

  // The bans in force or not yet expired, in file order.
  std::vector<AddressBan> Addresses() const;
  std::vector<std::string> Names() const;

  // The file's text: every line in its order, the bans as they stand now.
  std::string Format() const;
  // Reads a file's text, adding its lines. A line that does not parse is kept as it
  // is and named in `damaged` ("line 3: ..."); the others are read.
  void Parse(std::string_view text, std::vector<std::string>& damaged);

 private:
  enum class Kind : std::uint8_t { Address, Name, Kept };
  struct Entry {
    Kind kind = Kind::Kept;
    AddressBan ban;    // Kind::Address
    std::string text;  // the name (Kind::Name) or the line as it stood (Kind::Kept)
  };
  std::vector<Entry> entries_;
};

}  // namespace connection
