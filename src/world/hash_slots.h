// HashSlots: numbers (slots, connections) filed under the hashes of what they stand for,
// in one flat table of eight bytes an entry, so that an index of thousands of names
// costs no node of its own per name. It keeps 32 bits of each hash: what it finds under
// a hash are candidates, which the caller checks against what it keeps itself. A plain
// record; the caller guards it as it guards what it indexes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

namespace world {

class HashSlots {
 public:
  // Files `value` under `hash`; a value may be filed under a hash more than once.
  // REQUIRES: value != kNone.
  void Add(std::size_t hash, std::uint32_t value);
  // Removes one entry of `value` under `hash`. Returns false, removing nothing, when
  // there is none.
  bool Remove(std::size_t hash, std::uint32_t value);
  void Clear() { *this = HashSlots(); }
  std::size_t Size() const { return size_; }

  // The first value filed under `hash` (or under a hash that shares its kept bits) for
  // which `test(value)` is true; nothing when there is none. The order is no promise.
  template <class Test>
  std::optional<std::uint32_t> FindIf(std::size_t hash, Test test) const {
    if (entries_.empty()) return std::nullopt;
    const std::uint32_t kept = Kept(hash);
    for (std::size_t at = Home(kept);; at = Next(at)) {
      const Entry& e = entries_[at];
      if (e.value == kNone) return std::nullopt;
      if (e.kept == kept && test(e.value)) return e.value;
    }
  }

  static constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();

  // The bits of `hash` an entry keeps. They are a hash of their own that files and finds
  // what `hash` does, so that a caller may keep them in 4 bytes instead.
  static std::uint32_t Kept(std::size_t hash) {
    return static_cast<std::uint32_t>(hash ^ (static_cast<std::uint64_t>(hash) >> 32));
  }

 private:
  struct Entry {
    std::uint32_t kept = 0;       // the hash's bits kept
    std::uint32_t value = kNone;  // kNone: the entry is free
  };

  std::size_t Home(std::uint32_t kept) const { return kept & (entries_.size() - 1); }
  std::size_t Next(std::size_t at) const { return (at + 1) & (entries_.size() - 1); }
  void Grow();

  // Open addressing with linear probing; the size a power of two, at most three
  // quarters full, so that a probe ends at a free entry.
  std::vector<Entry> entries_;
  std::size_t size_ = 0;
};

}  // namespace world
