// Characters and the CharacterTable: who is in play, stored away or waiting as a kit,
// and the movement queue of every character in play. The world (world/world.h) owns the
// one table of a running server; a table is guarded by ConnectionLock, and every member
// that reads or changes it requires it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/stored_password.h"
#include "core/socket_handle.h"
#include "world/cell.h"
#include "world/clock.h"
#include "world/names.h"

namespace world {

// A character's rank. Any other number (only an edited save file can hold one) is
// stored unchanged and reads as Warrior wherever it becomes words or a start cell.
enum class Role : std::int32_t {
  Kit = 0,
  Apprentice = 1,
  Warrior = 2,
  Queen = 4,
  Deputy = 8,
  Leader = 16,
  MedicineCat = 32,
};

// A character's clan. Any value but 0, 1 and 2 reads as Fernfold.
enum class Clan : std::int32_t {
  Emberfold = 0,
  Mossfold = 1,
  Larkfold = 2,
  Fernfold = 4,
};

inline constexpr std::int32_t kDefaultHealth = 4;

struct Character {
  std::string name;         // unique among all characters held; compared exactly
  base::StoredPassword password;  // a hash, or plain from an older file
  std::string pronouns;
  std::int32_t age = 0;     // days (setup takes moons and stores 30 times that)
  Role role = Role::Kit;
  Clan clan = Clan::Emberfold;
  std::string description;  // made by setup: every word followed by one blank
  bool anatomyFlag1 = true;
  bool anatomyFlag2 = true;
  // Column and row. In play: 0 to 29, changed only through MoveCharacter. Kit: -1.
  std::int32_t x = 0;
  std::int32_t y = 0;
  // The connection whose character in play this is; kNoSocket for any other. Kept by
  // the CharacterTable alone; not saved.
  core::Socket playing = core::kNoSocket;
  const Character* following = nullptr;  // whose movements this one copies; not saved
  std::int32_t healthOverall = kDefaultHealth;
  std::int32_t healthHead = kDefaultHealth;
  std::int32_t healthBody = kDefaultHealth;
  std::int32_t healthTail = kDefaultHealth;
  std::int32_t healthLeftFrontLeg = kDefaultHealth;
  std::int32_t healthRightFrontLeg = kDefaultHealth;
  std::int32_t healthLeftBackLeg = kDefaultHealth;
  std::int32_t healthRightBackLeg = kDefaultHealth;
  std::int32_t extra1 = 0;
  std::int32_t extra2 = 0;
};

// The movement words of one character in play, first in, first out: 'n', 's', 'e' or
// 'w'. Holds at most kCapacity words; a fixed ring of two bits a word, so an idle
// character costs a few bytes and no allocation.
class MoveQueue {
 public:
  static constexpr std::size_t kCapacity = 64;

  bool Empty() const { return count_ == 0; }
  bool Full() const { return count_ == kCapacity; }
  std::size_t Size() const { return count_; }
  // REQUIRES: !Empty().
  char Front() const;
  // Returns false, queueing nothing, when the queue is full or `word` is none of 'n',
  // 's', 'e' and 'w'.
  bool Push(char word);
  // REQUIRES: !Empty().
  void Pop();
  // Forgets every word queued.
  void Clear() { count_ = 0; }

 private:
  std::array<std::uint64_t, kCapacity * 2 / 64> words_{};
  std::uint8_t head_ = 0;
  std::uint8_t count_ = 0;
};

// What a change of the tables did to where a character stands, for the caller to tell
// the clients (world/telling.h): `connection`'s character `who` left the cell `left` and
// entered `entered`. One that entered play left no cell, one that left play entered
// none; nothing changed when `who` is nullptr.
struct CellChange {
  core::Socket connection = core::kNoSocket;
  Character* who = nullptr;
  std::optional<Cell> left;
  std::optional<Cell> entered;
};

// The tables as an upgrade carries them to the next process: every character by value
// (its `following` left empty: `leader` names whom it follows, as names are unique), the
// movement queue of each in play, and the game's clock.
struct CarriedCharacter {
  Character character;
  std::string leader;  // the name of the character it follows; empty: nobody
};
struct CarriedWorld {
  struct InPlay {
    core::Socket connection = -1;
    CarriedCharacter character;
    std::string queue;  // its movement words, first first
  };
  struct Kit {
    core::Socket connection = -1;
    CarriedCharacter character;
  };
  std::vector<CarriedCharacter> stored;  // in their order
  std::vector<InPlay> inPlay;            // ascending by connection
  std::vector<Kit> kits;
  GameClockState clock;
  bool changed = false;  // a change not yet taken by a save
};

// The place of one connection in the tables of characters in play: its character and
// its movement queue, empty while the connection has none in play.
struct InPlaySlot {
  std::unique_ptr<Character> character;
  MoveQueue queue;
};

// The characters in play, ascending by connection, read as pairs of a connection and
// its character. Valid until the next change of the table.
class InPlayView {
 public:
  class Iterator {
   public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = std::pair<core::Socket, Character*>;
    using difference_type = std::ptrdiff_t;
    using pointer = void;
    using reference = value_type;

    Iterator() = default;
    Iterator(const InPlaySlot* first, const InPlaySlot* at, const InPlaySlot* end)
        : first_(first), at_(at), end_(end) {
      SkipEmpty();
    }
    value_type operator*() const {
      return {static_cast<core::Socket>(at_ - first_), at_->character.get()};
    }
    Iterator& operator++() {
      ++at_;
      SkipEmpty();
      return *this;
    }
    Iterator operator++(int) {
      Iterator was = *this;
      ++*this;
      return was;
    }
    bool operator==(const Iterator& other) const { return at_ == other.at_; }

   private:
    void SkipEmpty() {
      while (at_ != end_ && at_->character == nullptr) ++at_;
    }
    const InPlaySlot* first_ = nullptr;
    const InPlaySlot* at_ = nullptr;
    const InPlaySlot* end_ = nullptr;
  };

  InPlayView(const std::vector<InPlaySlot>& slots, std::size_t count) : slots_(slots), count_(count) {}
  Iterator begin() const {
    const InPlaySlot* first = slots_.data();
    return Iterator(first, first, first + slots_.size());
  }
  Iterator end() const {
    const InPlaySlot* first = slots_.data();
    return Iterator(first, first + slots_.size(), first + slots_.size());
  }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

 private:
  const std::vector<InPlaySlot>& slots_;
  std::size_t count_;
};

// The CharacterTable: every character of the world, where it is, and the indexes kept
// in step with them. A Character lives in exactly one of three tables (in play, stored,
// waiting kits) and is moved between them by the verbs below, never copied; records are
// released only when the table is, or a fault empties it, and a waiting kit (which
// nothing points to) when its connection ends, so pointers to them (following) stay
// valid while the server runs. Others read the tables through the views; a const table
// lends its records as they are, since what constness guards here is which character
// stands where. The verbs tell no client anything: those that move a character report
// what they did. Every member requires ConnectionLock.
class CharacterTable {
 public:
  CharacterTable() = default;
  CharacterTable(const CharacterTable&) = delete;
  CharacterTable& operator=(const CharacterTable&) = delete;

  // Connection to its character in play, ascending by handle.
  InPlayView InPlay() const;
  // Characters no connection controls, in the order they were stored.
  const std::vector<std::unique_ptr<Character>>& Stored() const;
  // Connection to its newly made kit, which waits to be born (never saved).
  const std::map<core::Socket, std::unique_ptr<Character>>& Kits() const;

  // The movement queue of a character in play; nullptr for any other character.
  MoveQueue* MoveQueueOf(const Character& c);
  const MoveQueue* MoveQueueOf(const Character& c) const;

  // Adds the new record `c` at the end of the stored characters (the loader).
  void Store(std::unique_ptr<Character> c);

  // True when every table keeps its promises: each character in one table, each
  // character in play knowing its connection and no other character claiming one, each
  // character in play in the index of its own cell and no other, as many entries in the
  // index of names as there are characters, and in that of names in play as are in
  // play. For tests and the fuzzer; O(characters).
  bool Consistent() const;

  // The character in play of a connection, or nullptr.
  Character* CharacterOf(core::Socket connection) const;

  // The first character in play, in ascending handle order, whose name is `name`;
  // nullptr when there is none. `socket` (if given) receives its connection. Costs a
  // lookup, however many characters are in play.
  Character* FindInPlayByName(std::string_view name, core::Socket* socket = nullptr) const;

  // The first stored character whose name is `name`, or nullptr.
  Character* FindStoredByName(std::string_view name) const;

  // True when a character in play, a waiting kit or a stored character has this name,
  // or a setup on its way has reserved it (NameReservation). Costs a lookup, however
  // many characters there are.
  bool NameTaken(std::string_view name) const;

  // True when a character in play, a waiting kit or a stored character has a name that
  // could be taken for `name` on the screen without being it byte for byte: one that
  // reads alike (world/names.h), `name` in other letter case among them. Costs the
  // readings of `name` and a lookup, however many characters there are.
  bool NameTooClose(std::string_view name) const;

  // Makes the new record `c` the character in play of `connection`, with a new empty
  // movement queue, and reports the cell it entered (`who` is the record).
  // REQUIRES: the connection has no character in play; c stands on the map.
  CellChange EnterPlay(core::Socket connection, std::unique_ptr<Character> c);

  // Takes the stored character `c` out of the stored characters and into play, and
  // reports the cell it entered. REQUIRES: c is stored and stands on the map.
  CellChange EnterPlayFromStore(core::Socket connection, const Character* c);

  // Parks a new kit for `connection`. Returns false, keeping nothing, when the
  // connection already has one waiting.
  bool ParkKit(core::Socket connection, std::unique_ptr<Character> c);

  // Releases the kit waiting for `connection`, if there is one, so that its name is
  // free again: a kit can never be logged into, and the connection that made it has
  // ended.
  void DropKit(core::Socket connection);

  // If the connection has a character in play, stores it at the end of the stored
  // characters with every field kept, drops its movement queue and reports the cell it
  // left; otherwise changes nothing and reports no change.
  CellChange LeavePlay(core::Socket connection);

  // Gives a stored or playing character a new stored password (a hash), and counts
  // that as a change for the save.
  void SetStoredPassword(Character& c, std::string_view password);

  // Moves a character in play to another cell and reports the cells it left and
  // entered. REQUIRES: the connection is in play; the cell is on the map.
  CellChange MoveCharacter(core::Socket connection, std::int32_t x, std::int32_t y);

  // The connections whose characters in play stand on (x, y), ascending.
  // REQUIRES: (x, y) is on the map.
  const std::vector<core::Socket>& OccupantsOf(std::int32_t x, std::int32_t y) const;

  // Every character a save writes, in its order: the stored ones, then those in play
  // in ascending handle order. Nothing is moved.
  std::vector<const Character*> CharactersToSave() const;

  // True when a character that a save writes has changed since the last call: one was
  // made, entered or left play, was stored or moved. The save that follows clears it.
  bool TakeChanges();

  // The tables as an upgrade carries them (CarriedWorld, but its clock).
  void Carry(CarriedWorld& carried) const;
  // Fills the empty tables from `carried` (but its clock), telling no client anything.
  // Empty when it worked; otherwise what makes it no world the tables can hold (a name
  // held twice, a character in play off the map, a connection in play twice), the
  // tables left empty. REQUIRES: the tables empty.
  std::string Adopt(const CarriedWorld& carried);

 private:
  friend class NameReservation;

  std::vector<core::Socket>& Occupants(std::int32_t x, std::int32_t y);
  void AddToCell(core::Socket connection, std::int32_t x, std::int32_t y);
  void RemoveFromCell(core::Socket connection, std::int32_t x, std::int32_t y);
  void KeepStored(std::unique_ptr<Character> c);
  CellChange PutInPlay(core::Socket connection, std::unique_ptr<Character> c);
  void Clear();

  InPlaySlot* SlotOf(const Character& c);
  const InPlaySlot* SlotOf(const Character& c) const;

  // Indexed by connection: a record costs a few bytes for each handle, and finding a
  // character in play by its connection costs no search.
  std::vector<InPlaySlot> inPlay_;
  std::size_t inPlayCount_ = 0;
  std::vector<std::unique_ptr<Character>> stored_;
  std::map<core::Socket, std::unique_ptr<Character>> kits_;
  bool changed_ = false;  // since the last TakeChanges
  // The name of every character in the three tables above, once per character, and of
  // every reservation (NameReservation), so that a new name is checked against all of
  // them in one lookup.
  NameIndex names_;
  std::size_t reservations_ = 0;
  // The connection of every character in inPlay_ by its name, for FindInPlayByName.
  PlayingNames playingNames_;
  // Connections in play on each cell, ascending, so that telling an area costs the
  // number of listeners rather than the number of players. Kept in step with the x and
  // y of every character in inPlay_.
  std::array<std::vector<core::Socket>, kMapSize * kMapSize> cellOccupants_;
};

// A name a setup holds in `table` while its password is hashed, so that no other setup
// can take it (nor one that reads alike) meanwhile: NameTaken and NameTooClose count
// it. Let go when the reservation is destroyed; the table must outlive it. Made, used
// and destroyed with ConnectionLock held.
class NameReservation {
 public:
  NameReservation(CharacterTable& table, std::string name);
  ~NameReservation();
  NameReservation(const NameReservation&) = delete;
  NameReservation& operator=(const NameReservation&) = delete;

 private:
  CharacterTable& table_;
  std::string name_;
};

}  // namespace world
