#include "world/character.h"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <utility>

#include "core/connection_lock.h"
#include "world/client_data.h"
#include "world/names.h"

namespace world {

namespace {

// --- The tables. Guarded by ConnectionLock. ----------------------------------
std::map<Socket, std::unique_ptr<Character>> OnlineCharacters;
std::vector<std::unique_ptr<Character>> OfflineCharacters;
std::map<Socket, std::unique_ptr<Character>> KitQueue;
// The movement queue of every character in play, and of nothing else.
std::unordered_map<const Character*, MoveQueue> MoveQueues;
bool Changed = false;  // since the last TakeChanges
// The name of every character in the three tables above, once per character, so that
// a new name is checked against all of them in one lookup.
NameIndex HeldNames;
// The names that setups on their way hold (NameReservation), and their index.
std::vector<std::string> ReservedNames;
NameIndex ReservedIndex;
// Set by the saver's thread, read by the commands.
std::atomic<bool> Kept{true};

// Connections in play on each cell, ascending, so that telling an area costs the
// number of listeners rather than the number of players. Kept in step with the x and
// y of every character in OnlineCharacters.
std::array<std::vector<Socket>, kMapSize * kMapSize> CellOccupants;

std::vector<Socket>& Cell(std::int32_t x, std::int32_t y) {
  assert(OnMap(x, y));
  return CellOccupants[static_cast<std::size_t>(y * kMapSize + x)];
}

void AddToCell(Socket connection, std::int32_t x, std::int32_t y) {
  std::vector<Socket>& cell = Cell(x, y);
  cell.insert(std::lower_bound(cell.begin(), cell.end(), connection), connection);
}

void RemoveFromCell(Socket connection, std::int32_t x, std::int32_t y) {
  std::vector<Socket>& cell = Cell(x, y);
  const auto it = std::lower_bound(cell.begin(), cell.end(), connection);
  if (it != cell.end() && *it == connection) cell.erase(it);
}

// Puts `c` at the end of the stored characters. The record may be new to the tables
// or come from play: HeldNames is the caller's concern.
void KeepStored(std::unique_ptr<Character> c) {
  assert(c != nullptr && MoveQueues.count(c.get()) == 0);
  OfflineCharacters.push_back(std::move(c));
  Changed = true;
}

// Makes `c` the character in play of `connection`; as for KeepStored, HeldNames is the
// caller's concern.
Character& PutInPlay(Socket connection, std::unique_ptr<Character> c) {
  assert(OnlineCharacters.count(connection) == 0);
  assert(c != nullptr && OnMap(c->x, c->y) && MoveQueues.count(c.get()) == 0);
  Character& entered = *c;
  AddToCell(connection, c->x, c->y);
  MoveQueues[&entered] = MoveQueue();
  OnlineCharacters.emplace(connection, std::move(c));
  Changed = true;
  TellClientEverything(connection);
  TellRoomPlayers(entered.x, entered.y);
  return entered;
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
  return OnlineCharacters;
}

const std::vector<std::unique_ptr<Character>>& Stored() {
  ASSERT_CONNECTION_LOCK_HELD();
  return OfflineCharacters;
}

const std::map<Socket, std::unique_ptr<Character>>& Kits() {
  ASSERT_CONNECTION_LOCK_HELD();
  return KitQueue;
}

MoveQueue* MoveQueueOf(const Character& c) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = MoveQueues.find(&c);
  return it == MoveQueues.end() ? nullptr : &it->second;
}

void Store(std::unique_ptr<Character> c) {
  ASSERT_CONNECTION_LOCK_HELD();
  assert(c != nullptr);
  HeldNames.Add(c->name);
  KeepStored(std::move(c));
}

bool TablesAreConsistent() {
  ASSERT_CONNECTION_LOCK_HELD();
  std::unordered_map<const Character*, int> seen;
  for (const auto& [connection, c] : OnlineCharacters) ++seen[c.get()];
  for (const auto& c : OfflineCharacters) ++seen[c.get()];
  for (const auto& [connection, c] : KitQueue) ++seen[c.get()];
  for (const auto& [c, count] : seen) {
    if (c == nullptr || count != 1) return false;
  }
  if (HeldNames.Size() != seen.size()) return false;
  if (MoveQueues.size() != OnlineCharacters.size()) return false;
  std::size_t indexed = 0;
  for (const auto& cell : CellOccupants) indexed += cell.size();
  if (indexed != OnlineCharacters.size()) return false;
  for (const auto& [connection, c] : OnlineCharacters) {
    if (MoveQueues.count(c.get()) != 1 || !OnMap(c->x, c->y)) return false;
    const std::vector<Socket>& cell = Cell(c->x, c->y);
    if (!std::binary_search(cell.begin(), cell.end(), connection)) return false;
  }
  return true;
}

Character* CharacterOf(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = OnlineCharacters.find(connection);
  return it == OnlineCharacters.end() ? nullptr : it->second.get();
}

Character* FindInPlayByName(std::string_view name, Socket* socket) {
  ASSERT_CONNECTION_LOCK_HELD();
  for (auto& [connection, c] : OnlineCharacters) {
    if (c->name == name) {
      if (socket != nullptr) *socket = connection;
      return c.get();
    }
  }
  return nullptr;
}

Character* FindStoredByName(std::string_view name) {
  ASSERT_CONNECTION_LOCK_HELD();
  for (auto& c : OfflineCharacters) {
    if (c->name == name) return c.get();
  }
  return nullptr;
}

NameReservation::NameReservation(std::string name) : name_(std::move(name)) {
  ASSERT_CONNECTION_LOCK_HELD();
  ReservedNames.push_back(name_);
  ReservedIndex.Add(name_);
}

NameReservation::~NameReservation() {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = std::find(ReservedNames.begin(), ReservedNames.end(), name_);
  if (it != ReservedNames.end()) ReservedNames.erase(it);
  ReservedIndex.Remove(name_);
}

void SetNewCharactersKept(bool kept) { Kept.store(kept, std::memory_order_relaxed); }
bool NewCharactersKept() { return Kept.load(std::memory_order_relaxed); }

bool NameTaken(std::string_view name) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (FindInPlayByName(name) != nullptr) return true;
  if (std::find(ReservedNames.begin(), ReservedNames.end(), name) != ReservedNames.end()) return true;
  for (auto& [connection, c] : KitQueue) {
    if (c->name == name) return true;
  }
  return FindStoredByName(name) != nullptr;
}

bool NameTooClose(std::string_view name) {
  ASSERT_CONNECTION_LOCK_HELD();
  return HeldNames.HoldsLookalikeOf(name) || ReservedIndex.HoldsLookalikeOf(name);
}

Character& EnterPlay(Socket connection, std::unique_ptr<Character> c) {
  ASSERT_CONNECTION_LOCK_HELD();
  assert(c != nullptr);
  HeldNames.Add(c->name);
  return PutInPlay(connection, std::move(c));
}

Character& EnterPlayFromStore(Socket connection, const Character* c) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = std::find_if(OfflineCharacters.begin(), OfflineCharacters.end(),
                               [&](const std::unique_ptr<Character>& s) { return s.get() == c; });
  assert(it != OfflineCharacters.end());
  std::unique_ptr<Character> taken = std::move(*it);
  OfflineCharacters.erase(it);
  return PutInPlay(connection, std::move(taken));
}

void SetStoredPassword(Character& c, std::string password) {
  ASSERT_CONNECTION_LOCK_HELD();
  c.password = std::move(password);
  Changed = true;
}

bool ParkKit(Socket connection, std::unique_ptr<Character> c) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (KitQueue.count(connection) != 0) return false;
  HeldNames.Add(c->name);
  KitQueue.emplace(connection, std::move(c));
  return true;
}

void DropKit(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = KitQueue.find(connection);
  if (it == KitQueue.end()) return;
  HeldNames.Remove(it->second->name);
  KitQueue.erase(it);
}

void LeavePlay(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = OnlineCharacters.find(connection);
  if (it == OnlineCharacters.end()) return;
  const std::int32_t x = it->second->x;
  const std::int32_t y = it->second->y;
  RemoveFromCell(connection, x, y);
  MoveQueues.erase(it->second.get());
  std::unique_ptr<Character> leaving = std::move(it->second);
  OnlineCharacters.erase(it);
  KeepStored(std::move(leaving));
  TellRoomPlayers(x, y);
}

void MoveCharacter(Socket connection, std::int32_t x, std::int32_t y) {
  ASSERT_CONNECTION_LOCK_HELD();
  Character* c = CharacterOf(connection);
  assert(c != nullptr && OnMap(x, y));
  const std::int32_t fromX = c->x;
  const std::int32_t fromY = c->y;
  RemoveFromCell(connection, fromX, fromY);
  c->x = x;
  c->y = y;
  AddToCell(connection, x, y);
  Changed = true;
  TellRoomPlayers(fromX, fromY);
  TellRoomInfo(connection);
  TellRoomPlayers(x, y);
}

const std::vector<Socket>& OccupantsOf(std::int32_t x, std::int32_t y) {
  ASSERT_CONNECTION_LOCK_HELD();
  return Cell(x, y);
}

std::vector<const Character*> CharactersToSave() {
  ASSERT_CONNECTION_LOCK_HELD();
  std::vector<const Character*> all;
  all.reserve(OfflineCharacters.size() + OnlineCharacters.size());
  for (const auto& c : OfflineCharacters) all.push_back(c.get());
  for (const auto& [connection, c] : OnlineCharacters) all.push_back(c.get());
  return all;
}

bool TakeChanges() {
  ASSERT_CONNECTION_LOCK_HELD();
  const bool changed = Changed;
  Changed = false;
  return changed;
}

void ClearCharacterTables() {
  ASSERT_CONNECTION_LOCK_HELD();
  MoveQueues.clear();
  OnlineCharacters.clear();
  OfflineCharacters.clear();
  KitQueue.clear();
  HeldNames.Clear();
  for (auto& cell : CellOccupants) cell.clear();
}

}  // namespace world
