#include "world/character.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <utility>

#include "core/connection_lock.h"
#include "world/names.h"

namespace world {

namespace {

// The CharacterTable: every character, where it is, and the indexes kept in step with
// them. Guarded by ConnectionLock.
struct CharacterTable {
  std::map<Socket, std::unique_ptr<Character>> OnlineCharacters;
  std::vector<std::unique_ptr<Character>> OfflineCharacters;
  std::map<Socket, std::unique_ptr<Character>> KitQueue;
  // The movement queue of every character in play, and of nothing else.
  std::unordered_map<const Character*, MoveQueue> MoveQueues;
  bool Changed = false;  // since the last TakeChanges
  // The name of every character in the three tables above, once per character, so
  // that a new name is checked against all of them in one lookup.
  NameIndex HeldNames;
  // The names that setups on their way hold (NameReservation), and their index.
  std::vector<std::string> ReservedNames;
  NameIndex ReservedIndex;
  // Connections in play on each cell, ascending, so that telling an area costs the
  // number of listeners rather than the number of players. Kept in step with the x and
  // y of every character in OnlineCharacters.
  std::array<std::vector<Socket>, kMapSize * kMapSize> CellOccupants;
};

// One per process: the game has one world, which every command and the tick read.
CharacterTable Table;
// Set by the saver's thread, read by the commands: outside the table, with no lock.
std::atomic<bool> Kept{true};
std::atomic<bool (*)()> KeptNow{nullptr};

std::vector<Socket>& Occupants(std::int32_t x, std::int32_t y) {
  assert(OnMap(x, y));
  return Table.CellOccupants[static_cast<std::size_t>(y * kMapSize + x)];
}

void AddToCell(Socket connection, std::int32_t x, std::int32_t y) {
  std::vector<Socket>& cell = Occupants(x, y);
  cell.insert(std::lower_bound(cell.begin(), cell.end(), connection), connection);
}

void RemoveFromCell(Socket connection, std::int32_t x, std::int32_t y) {
  std::vector<Socket>& cell = Occupants(x, y);
  const auto it = std::lower_bound(cell.begin(), cell.end(), connection);
  if (it != cell.end() && *it == connection) cell.erase(it);
}

// Puts `c` at the end of the stored characters. The record may be new to the tables
// or come from play: Table.HeldNames is the caller's concern.
void KeepStored(std::unique_ptr<Character> c) {
  assert(c != nullptr && Table.MoveQueues.count(c.get()) == 0);
  Table.OfflineCharacters.push_back(std::move(c));
  Table.Changed = true;
}

// Makes `c` the character in play of `connection`; as for KeepStored, Table.HeldNames is the
// caller's concern.
CellChange PutInPlay(Socket connection, std::unique_ptr<Character> c) {
  assert(Table.OnlineCharacters.count(connection) == 0);
  assert(c != nullptr && OnMap(c->x, c->y) && Table.MoveQueues.count(c.get()) == 0);
  Character& entered = *c;
  AddToCell(connection, c->x, c->y);
  Table.MoveQueues[&entered] = MoveQueue();
  Table.OnlineCharacters.emplace(connection, std::move(c));
  Table.Changed = true;
  return {connection, &entered, std::nullopt, Cell{entered.x, entered.y}};
}

}  // namespace

bool MoveQueue::Push(char word) {
  if (Full()) return false;
  words_[(head_ + count_) % kCapacity] = word;
  ++count_;
  return true;
}

void MoveQueue::Pop() {
  assert(!Empty());
  head_ = static_cast<std::uint8_t>((head_ + 1) % kCapacity);
  --count_;
}

const std::map<Socket, std::unique_ptr<Character>>& InPlay() {
  ASSERT_CONNECTION_LOCK_HELD();
  return Table.OnlineCharacters;
}

const std::vector<std::unique_ptr<Character>>& Stored() {
  ASSERT_CONNECTION_LOCK_HELD();
  return Table.OfflineCharacters;
}

const std::map<Socket, std::unique_ptr<Character>>& Kits() {
  ASSERT_CONNECTION_LOCK_HELD();
  return Table.KitQueue;
}

MoveQueue* MoveQueueOf(const Character& c) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = Table.MoveQueues.find(&c);
  return it == Table.MoveQueues.end() ? nullptr : &it->second;
}

void Store(std::unique_ptr<Character> c) {
  ASSERT_CONNECTION_LOCK_HELD();
  assert(c != nullptr);
  Table.HeldNames.Add(c->name);
  KeepStored(std::move(c));
}

bool TablesAreConsistent() {
  ASSERT_CONNECTION_LOCK_HELD();
  std::unordered_map<const Character*, int> seen;
  for (const auto& [connection, c] : Table.OnlineCharacters) ++seen[c.get()];
  for (const auto& c : Table.OfflineCharacters) ++seen[c.get()];
  for (const auto& [connection, c] : Table.KitQueue) ++seen[c.get()];
  for (const auto& [c, count] : seen) {
    if (c == nullptr || count != 1) return false;
  }
  if (Table.HeldNames.Size() != seen.size()) return false;
  if (Table.MoveQueues.size() != Table.OnlineCharacters.size()) return false;
  std::size_t indexed = 0;
  for (const auto& cell : Table.CellOccupants) indexed += cell.size();
  if (indexed != Table.OnlineCharacters.size()) return false;
  for (const auto& [connection, c] : Table.OnlineCharacters) {
    if (Table.MoveQueues.count(c.get()) != 1 || !OnMap(c->x, c->y)) return false;
    const std::vector<Socket>& cell = Occupants(c->x, c->y);
    if (!std::binary_search(cell.begin(), cell.end(), connection)) return false;
  }
  return true;
}

Character* CharacterOf(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = Table.OnlineCharacters.find(connection);
  return it == Table.OnlineCharacters.end() ? nullptr : it->second.get();
}

Character* FindInPlayByName(std::string_view name, Socket* socket) {
  ASSERT_CONNECTION_LOCK_HELD();
  for (auto& [connection, c] : Table.OnlineCharacters) {
    if (c->name == name) {
      if (socket != nullptr) *socket = connection;
      return c.get();
    }
  }
  return nullptr;
}

Character* FindStoredByName(std::string_view name) {
  ASSERT_CONNECTION_LOCK_HELD();
  for (auto& c : Table.OfflineCharacters) {
    if (c->name == name) return c.get();
  }
  return nullptr;
}

NameReservation::NameReservation(std::string name) : name_(std::move(name)) {
  ASSERT_CONNECTION_LOCK_HELD();
  Table.ReservedNames.push_back(name_);
  Table.ReservedIndex.Add(name_);
}

NameReservation::~NameReservation() {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = std::find(Table.ReservedNames.begin(), Table.ReservedNames.end(), name_);
  if (it != Table.ReservedNames.end()) Table.ReservedNames.erase(it);
  Table.ReservedIndex.Remove(name_);
}

void SetNewCharactersKept(bool kept) { Kept.store(kept, std::memory_order_relaxed); }
void SetNewCharactersCheck(bool (*keptNow)()) { KeptNow.store(keptNow, std::memory_order_relaxed); }
bool NewCharactersKept() {
  if (!Kept.load(std::memory_order_relaxed)) return false;
  bool (*const keptNow)() = KeptNow.load(std::memory_order_relaxed);
  return keptNow == nullptr || keptNow();
}

bool NameTaken(std::string_view name) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (FindInPlayByName(name) != nullptr) return true;
  if (std::find(Table.ReservedNames.begin(), Table.ReservedNames.end(), name) != Table.ReservedNames.end()) return true;
  for (auto& [connection, c] : Table.KitQueue) {
    if (c->name == name) return true;
  }
  return FindStoredByName(name) != nullptr;
}

bool NameTooClose(std::string_view name) {
  ASSERT_CONNECTION_LOCK_HELD();
  return Table.HeldNames.HoldsLookalikeOf(name) || Table.ReservedIndex.HoldsLookalikeOf(name);
}

CellChange EnterPlay(Socket connection, std::unique_ptr<Character> c) {
  ASSERT_CONNECTION_LOCK_HELD();
  assert(c != nullptr);
  Table.HeldNames.Add(c->name);
  return PutInPlay(connection, std::move(c));
}

CellChange EnterPlayFromStore(Socket connection, const Character* c) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = std::find_if(Table.OfflineCharacters.begin(), Table.OfflineCharacters.end(),
                               [&](const std::unique_ptr<Character>& s) { return s.get() == c; });
  assert(it != Table.OfflineCharacters.end());
  std::unique_ptr<Character> taken = std::move(*it);
  Table.OfflineCharacters.erase(it);
  return PutInPlay(connection, std::move(taken));
}

void SetStoredPassword(Character& c, std::string password) {
  ASSERT_CONNECTION_LOCK_HELD();
  c.password = std::move(password);
  Table.Changed = true;
}

bool ParkKit(Socket connection, std::unique_ptr<Character> c) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (Table.KitQueue.count(connection) != 0) return false;
  Table.HeldNames.Add(c->name);
  Table.KitQueue.emplace(connection, std::move(c));
  return true;
}

void DropKit(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = Table.KitQueue.find(connection);
  if (it == Table.KitQueue.end()) return;
  Table.HeldNames.Remove(it->second->name);
  Table.KitQueue.erase(it);
}

CellChange LeavePlay(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = Table.OnlineCharacters.find(connection);
  if (it == Table.OnlineCharacters.end()) return {};
  const Cell left{it->second->x, it->second->y};
  RemoveFromCell(connection, left.x, left.y);
  Table.MoveQueues.erase(it->second.get());
  std::unique_ptr<Character> leaving = std::move(it->second);
  Table.OnlineCharacters.erase(it);
  Character& stored = *leaving;
  KeepStored(std::move(leaving));
  return {connection, &stored, left, std::nullopt};
}

CellChange MoveCharacter(Socket connection, std::int32_t x, std::int32_t y) {
  ASSERT_CONNECTION_LOCK_HELD();
  Character* c = CharacterOf(connection);
  assert(c != nullptr && OnMap(x, y));
  const Cell left{c->x, c->y};
  RemoveFromCell(connection, left.x, left.y);
  c->x = x;
  c->y = y;
  AddToCell(connection, x, y);
  Table.Changed = true;
  return {connection, c, left, Cell{x, y}};
}

const std::vector<Socket>& OccupantsOf(std::int32_t x, std::int32_t y) {
  ASSERT_CONNECTION_LOCK_HELD();
  return Occupants(x, y);
}

std::vector<const Character*> CharactersToSave() {
  ASSERT_CONNECTION_LOCK_HELD();
  std::vector<const Character*> all;
  all.reserve(Table.OfflineCharacters.size() + Table.OnlineCharacters.size());
  for (const auto& c : Table.OfflineCharacters) all.push_back(c.get());
  for (const auto& [connection, c] : Table.OnlineCharacters) all.push_back(c.get());
  return all;
}

bool TakeChanges() {
  ASSERT_CONNECTION_LOCK_HELD();
  const bool changed = Table.Changed;
  Table.Changed = false;
  return changed;
}

void ClearCharacterTables() {
  ASSERT_CONNECTION_LOCK_HELD();
  Table.MoveQueues.clear();
  Table.OnlineCharacters.clear();
  Table.OfflineCharacters.clear();
  Table.KitQueue.clear();
  Table.HeldNames.Clear();
  for (auto& cell : Table.CellOccupants) cell.clear();
}

namespace {

CarriedCharacter CarriedFrom(const Character& c) {
  CarriedCharacter carried{c, {}};
  carried.character.following = nullptr;
  if (c.following != nullptr) carried.leader = c.following->name;
  return carried;
}

}  // namespace

CarriedWorld CarryWorld() {
  ASSERT_CONNECTION_LOCK_HELD();
  CarriedWorld carried;
  carried.clock = GameClock;
  carried.changed = Table.Changed;
  for (const auto& c : Table.OfflineCharacters) carried.stored.push_back(CarriedFrom(*c));
  for (const auto& [connection, c] : Table.OnlineCharacters) {
    std::string queue;
    MoveQueue copy = Table.MoveQueues.at(c.get());
    for (; !copy.Empty(); copy.Pop()) queue += copy.Front();
    carried.inPlay.push_back({connection, CarriedFrom(*c), std::move(queue)});
  }
  for (const auto& [connection, c] : Table.KitQueue) carried.kits.push_back({connection, CarriedFrom(*c)});
  return carried;
}

std::string AdoptWorld(const CarriedWorld& carried) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::unordered_map<std::string, Character*> byName;
  std::vector<std::pair<Character*, const std::string*>> leaders;
  const auto make = [&](const CarriedCharacter& from) -> std::unique_ptr<Character> {
    auto c = std::make_unique<Character>(from.character);
    c->following = nullptr;
    if (!byName.emplace(c->name, c.get()).second) return nullptr;
    if (!from.leader.empty()) leaders.emplace_back(c.get(), &from.leader);
    return c;
  };
  std::string fault;
  for (const CarriedCharacter& from : carried.stored) {
    std::unique_ptr<Character> c = make(from);
    if (c == nullptr) {
      fault = "the name " + from.character.name + " is held twice";
      break;
    }
    Table.HeldNames.Add(c->name);
    Table.OfflineCharacters.push_back(std::move(c));
  }
  for (std::size_t i = 0; fault.empty() && i < carried.inPlay.size(); ++i) {
    const CarriedWorld::InPlay& from = carried.inPlay[i];
    const Character& values = from.character.character;
    if (!OnMap(values.x, values.y) || Table.OnlineCharacters.count(from.connection) != 0 ||
        from.queue.size() > MoveQueue::kCapacity) {
      fault = "the character in play " + values.name + " is off the map or twice in play";
      break;
    }
    std::unique_ptr<Character> c = make(from.character);
    if (c == nullptr) {
      fault = "the name " + values.name + " is held twice";
      break;
    }
    MoveQueue& queue = Table.MoveQueues[c.get()];
    for (const char word : from.queue) queue.Push(word);
    AddToCell(from.connection, c->x, c->y);
    Table.HeldNames.Add(c->name);
    Table.OnlineCharacters.emplace(from.connection, std::move(c));
  }
  for (std::size_t i = 0; fault.empty() && i < carried.kits.size(); ++i) {
    const CarriedWorld::Kit& from = carried.kits[i];
    std::unique_ptr<Character> c = make(from.character);
    if (c == nullptr || Table.KitQueue.count(from.connection) != 0) {
      fault = "the kit " + from.character.character.name + " is held twice";
      break;
    }
    Table.HeldNames.Add(c->name);
    Table.KitQueue.emplace(from.connection, std::move(c));
  }
  for (const auto& [c, leader] : leaders) {
    const auto it = byName.find(*leader);
    if (it != byName.end()) c->following = it->second;  // one gone meanwhile: nobody
  }
  if (!fault.empty()) {
    ClearCharacterTables();
    return fault;
  }
  GameClock = carried.clock;
  Table.Changed = carried.changed;
  return {};
}

}  // namespace world
