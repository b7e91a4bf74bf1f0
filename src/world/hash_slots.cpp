#include "world/hash_slots.h"

namespace world {

void HashSlots::Add(std::size_t hash, std::uint32_t value) {
  if ((size_ + 1) * 4 > entries_.size() * 3) Grow();
  const std::uint32_t kept = Kept(hash);
  std::size_t at = Home(kept);
  while (entries_[at].value != kNone) at = Next(at);
  entries_[at] = Entry{kept, value};
  ++size_;
}

bool HashSlots::Remove(std::size_t hash, std::uint32_t value) {
  if (entries_.empty()) return false;
  const std::uint32_t kept = Kept(hash);
  std::size_t hole = Home(kept);
  for (;; hole = Next(hole)) {
    const Entry& e = entries_[hole];
    if (e.value == kNone) return false;
    if (e.kept == kept && e.value == value) break;
  }
  // The entries after the hole, up to the next free one, move back into it unless that
  // would put one before its home: every probe still reaches what it looks for.
  for (std::size_t at = Next(hole); entries_[at].value != kNone; at = Next(at)) {
    const std::size_t home = Home(entries_[at].kept);
    const bool staysAfterHole = hole <= at ? (hole < home && home <= at) : (hole < home || home <= at);
    if (staysAfterHole) continue;
    entries_[hole] = entries_[at];
    hole = at;
  }
  entries_[hole] = Entry{};
  --size_;
  return true;
}

void HashSlots::Grow() {
  std::vector<Entry> old(entries_.empty() ? 16 : entries_.size() * 2);
  old.swap(entries_);
  for (const Entry& e : old) {
    if (e.value == kNone) continue;
    std::size_t at = Home(e.kept);
    while (entries_[at].value != kNone) at = Next(at);
    entries_[at] = e;
  }
}

}  // namespace world
