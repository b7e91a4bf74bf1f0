#include "connection/bans.h"

#include <algorithm>

#include "base/number.h"

namespace connection {

namespace {

constexpr std::string_view kHeader =
    "# Pelthollow bans: address <block> <until, seconds since 1970; 0: for ever> <reason>";

// The next word of `text` up to a blank, taken off its front.
std::string_view TakeWord(std::string_view& text) {
  const std::size_t blank = text.find(' ');
  const std::string_view word = text.substr(0, blank);
  text.remove_prefix(blank == std::string_view::npos ? text.size() : blank + 1);
  return word;
}

}  // namespace

std::optional<AddressBan> BanList::BanAddress(const AddressBan& ban) {
  for (Entry& entry : entries_) {
    if (entry.kind == Kind::Address && entry.ban.block == ban.block) {
      AddressBan old = entry.ban;
      entry.ban = ban;
      return old;
    }
  }
  entries_.push_back({Kind::Address, ban, {}});
  return std::nullopt;
}

bool BanList::UnbanAddress(const base::AddressBlock& block) {
  return std::erase_if(entries_, [&](const Entry& entry) {
           return entry.kind == Kind::Address && entry.ban.block == block;
         }) != 0;
}

bool BanList::BanName(std::string_view name) {
  if (NameBanned(name)) return false;
  Entry entry;
  entry.kind = Kind::Name;
  entry.text = std::string(name);
  entries_.push_back(std::move(entry));
  return true;
}

bool BanList::UnbanName(std::string_view name) {
  return std::erase_if(entries_, [&](const Entry& entry) {
           return entry.kind == Kind::Name && entry.text == name;
         }) != 0;
}

bool BanList::AddressBanned(const base::Address& address, std::int64_t now) const {
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return entry.kind == Kind::Address && entry.ban.block.Contains(address) &&
           (entry.ban.until == 0 || now < entry.ban.until);
  });
}

bool BanList::NameBanned(std::string_view name) const {
  return std::any_of(entries_.begin(), entries_.end(), [&](const Entry& entry) {
    return entry.kind == Kind::Name && entry.text == name;
  });
}

bool BanList::Expire(std::int64_t now) {
  return std::erase_if(entries_, [&](const Entry& entry) {
           return entry.kind == Kind::Address && entry.ban.until != 0 && now >= entry.ban.until;
         }) != 0;
}

std::vector<AddressBan> BanList::Addresses() const {
  std::vector<AddressBan> bans;
  for (const Entry& entry : entries_) {
    if (entry.kind == Kind::Address) bans.push_back(entry.ban);
  }
  return bans;
}

std::vector<std::string> BanList::Names() const {
  std::vector<std::string> names;
  for (const Entry& entry : entries_) {
    if (entry.kind == Kind::Name) names.push_back(entry.text);
  }
  return names;
}

std::string BanList::Format() const {
  std::string text;
  // A file of our own making opens with what its lines mean.
  const bool headed = !entries_.empty() && entries_[0].kind == Kind::Kept && entries_[0].text == kHeader;
  if (!headed) {
    text += kHeader;
    text += '\n';
  }
  for (const Entry& entry : entries_) {
    switch (entry.kind) {
      case Kind::Address:
        text += "address " + base::BlockText(entry.ban.block) + " " + std::to_string(entry.ban.until);
        if (!entry.ban.reason.empty()) text += " " + entry.ban.reason;
        break;
      case Kind::Name:
        text += "name " + entry.text;
        break;
      case Kind::Kept:
        text += entry.text;
        break;
    }
    text += '\n';
  }
  return text;
}

void BanList::Parse(std::string_view text, std::vector<std::string>& damaged) {
  for (int number = 1; !text.empty(); ++number) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    Entry entry;
    entry.text = std::string(line);
    std::string_view rest = line;
    const std::string_view kind = TakeWord(rest);
    if (line.empty() || line.front() == '#') {
      // kept as it is
    } else if (kind == "name" && !rest.empty() && rest.find(' ') == std::string_view::npos) {
      entry.kind = Kind::Name;
      entry.text = std::string(rest);
    } else if (std::uint64_t until = 0;
               kind == "address" && base::ParseBlock(TakeWord(rest), entry.ban.block) &&
               base::ReadDigits(TakeWord(rest), std::uint64_t{INT64_MAX}, until)) {
      entry.kind = Kind::Address;
      entry.ban.until = static_cast<std::int64_t>(until);
      entry.ban.reason = std::string(rest);
      entry.text.clear();
    } else {
      damaged.push_back("line " + std::to_string(number) + ": " + std::string(line));
    }
    entries_.push_back(std::move(entry));
  }
}

}  // namespace connection
