// Names that cannot pass for another: which characters a new name may hold, and an
// index of the names of a set of characters by how they read on the screen (Unicode's
// confusable skeletons, UTS #39, through ICU); and an index of the characters in play
// by their exact names. Pure functions and plain records; any thread may call them, and
// the caller guards an index as it guards its characters.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/socket_handle.h"
#include "world/hash_slots.h"

namespace world {

// Why a name may not be given to a new character for its characters alone.
enum class NameFault {
  None,
  // A character that hides or changes what is shown: a control, format or space
  // character, a default-ignorable code point, a variation selector, a Hangul filler,
  // the blank Braille pattern U+2800, or bytes that are no well-formed UTF-8.
  Hidden,
  NoLetter,  // not one letter of any script: punctuation, digits or symbols alone
  // A character that names should not hold (UTS #39): one this server's Unicode data
  // does not know, one not allowed in identifiers (a small capital, a ligature, a
  // symbol, a letter of a script no longer in use), letters of two scripts besides the
  // Common and Inherited ones ("Аsh" with a Cyrillic А), or digits of two systems.
  Unusual,
};

// The first fault of `name`, Hidden before NoLetter before Unusual; None when it may be
// had. Names already held are never checked again: only a new name must pass.
NameFault FaultOfName(std::string_view name);

// Loads the Unicode data that checking a name and reading it alike need (ICU opens it
// when first asked): at start-up, a server pays for it once, as a server whose save holds
// names does, and not its first new player's login.
void LoadNameData();

// Names by how they read, each name held as often as it was added (a save file may
// hold two characters of one name, or two names that read alike from before the rule).
// A name reads as its skeleton taken after compatibility normalisation and full case
// folding, then folded again, with punctuation and marks dropped ("Ashpaw", "ASHPAW",
// "Ashpaw." and an Ashpaw with an accent on its w read alike, as do "Kestrel" spelt
// with a Kelvin sign and "Griffin" with the ligature ffi); and as its skeleton without
// the first folding, which keeps the capitals that pass for other letters ("Ian" and
// "lan"). Adding a name and looking up one that reads alike cost its two readings and a
// lookup of each, however many names are held; removing a name and looking it up
// exactly, a lookup.
class NameIndex {
 public:
  void Add(std::string_view name);
  // Removes one entry of `name`; removes nothing when it holds none.
  void Remove(std::string_view name);
  void Clear();
  // Entries held, counting every time a name was added.
  std::size_t Size() const { return size_; }
  // True when `name` itself, byte for byte, is held.
  bool Holds(std::string_view name) const;
  // True when a name held reads like `name` either way without being `name` itself
  // byte for byte.
  bool HoldsLookalikeOf(std::string_view name) const;

 private:
  // A name held, and the hashes of its two readings (HashSlots::Kept: an entry of
  // thousands).
  struct Held {
    std::string name;
    std::uint32_t folded = 0;
    std::uint32_t written = 0;
  };

  // The slot of one entry of `name`, if any.
  std::optional<std::uint32_t> SlotOf(std::string_view name) const;

  // Entries by slot (a name added twice has two), those free for reuse, and the slots
  // by the hash of the name and of each reading. The hashes file slots, not strings, so
  // each name is stored once.
  std::vector<Held> held_;
  std::vector<std::uint32_t> free_;
  HashSlots byName_;
  HashSlots byFolded_;   // by the reading in any letter case
  HashSlots byWritten_;  // by the reading of the letters as written
  std::size_t size_ = 0;
};

// The connections of the characters in play by the hash of their exact names, so that
// one is found by its name in a lookup rather than a walk over everyone in play. The
// hashes file connections, not strings: the caller keeps the names and checks each
// candidate's, as two names may share a hash.
class PlayingNames {
 public:
  void Add(std::string_view name, core::Socket connection);
  // Removes the entry of `connection` under `name`; removes nothing when there is none.
  void Remove(std::string_view name, core::Socket connection);
  void Clear() { byHash_.Clear(); }
  std::size_t Size() const { return byHash_.Size(); }
  // Calls `each` with every connection added under a name of `name`'s hash, in no order.
  template <typename Each>
  void ForEachCandidate(std::string_view name, Each each) const {
    byHash_.FindIf(std::hash<std::string_view>{}(name), [&](std::uint32_t connection) {
      each(static_cast<core::Socket>(connection));
      return false;
    });
  }

 private:
  HashSlots byHash_;
};

}  // namespace world
