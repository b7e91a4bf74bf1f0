#include "world/character.h"

#include <algorithm>
#include <cassert>
#include <iterator>
#include <unordered_map>
#include <utility>

#include "core/connection_lock.h"

namespace world {

namespace {

constexpr char kWords[] = {'n', 's', 'e', 'w'};

}  // namespace

char MoveQueue::Front() const {
  assert(!Empty());
  return kWords[(words_[head_ / 32] >> (head_ % 32 * 2)) & 3];
}

bool MoveQueue::Push(char word) {
  const char* found = std::find(std::begin(kWords), std::end(kWords), word);
  if (Full() || found == std::end(kWords)) return false;
  const std::size_t at = (head_ + count_) % kCapacity;
  const auto shift = static_cast<unsigned>(at % 32 * 2);
  std::uint64_t& bits = words_[at / 32];
  bits = (bits & ~(std::uint64_t{3} << shift)) | (static_cast<std::uint64_t>(found - kWords) << shift);
  ++count_;
  return true;
}

void MoveQueue::Pop() {
  assert(!Empty());
  head_ = static_cast<std::uint8_t>((head_ + 1) % kCapacity);
  --count_;
}

std::vector<core::Socket>& CharacterTable::Occupants(std::int32_t x, std::int32_t y) {
  assert(OnMap(x, y));
  return cellOccupants_[static_cast<std::size_t>(y * kMapSize + x)];
}

void CharacterTable::AddToCell(core::Socket connection, std::int32_t x, std::int32_t y) {
  std::vector<core::Socket>& cell = Occupants(x, y);
  cell.insert(std::lower_bound(cell.begin(), cell.end(), connection), connection);
}

void CharacterTable::RemoveFromCell(core::Socket connection, std::int32_t x, std::int32_t y) {
  std::vector<core::Socket>& cell = Occupants(x, y);
  const auto it = std::lower_bound(cell.begin(), cell.end(), connection);
  if (it != cell.end() && *it == connection) cell.erase(it);
}

InPlaySlot* CharacterTable::SlotOf(const Character& c) {
  return const_cast<InPlaySlot*>(std::as_const(*this).SlotOf(c));
}

const InPlaySlot* CharacterTable::SlotOf(const Character& c) const {
  const auto at = static_cast<std::size_t>(c.playing);
  if (c.playing < 0 || at >= inPlay_.size() || inPlay_[at].character.get() != &c) return nullptr;
  return &inPlay_[at];
}

// Puts `c` at the end of the stored characters. The record may be new to the tables
// or come from play: names_ is the caller's concern.
void CharacterTable::KeepStored(std::unique_ptr<Character> c) {
  assert(c != nullptr);
  c->playing = core::kNoSocket;
  stored_.push_back(std::move(c));
  changed_ = true;
}

// Makes `c` the character in play of `connection`, with an empty movement queue; as for
// KeepStored, names_ is the caller's concern.
CellChange CharacterTable::PutInPlay(core::Socket connection, std::unique_ptr<Character> c) {
  assert(connection >= 0 && CharacterOf(connection) == nullptr);
  assert(c != nullptr && OnMap(c->x, c->y));
  const auto at = static_cast<std::size_t>(connection);
  if (at >= inPlay_.size()) inPlay_.resize(at + 1);
  Character& entered = *c;
  entered.playing = connection;
  AddToCell(connection, c->x, c->y);
  playingNames_.Add(entered.name, connection);
  inPlay_[at] = InPlaySlot{std::move(c), MoveQueue()};
  ++inPlayCount_;
  changed_ = true;
  return {connection, &entered, std::nullopt, Cell{entered.x, entered.y}};
}

InPlayView CharacterTable::InPlay() const {
  ASSERT_CONNECTION_LOCK_HELD();
  return InPlayView(inPlay_, inPlayCount_);
}

const std::vector<std::unique_ptr<Character>>& CharacterTable::Stored() const {
  ASSERT_CONNECTION_LOCK_HELD();
  return stored_;
}

const std::map<core::Socket, std::unique_ptr<Character>>& CharacterTable::Kits() const {
  ASSERT_CONNECTION_LOCK_HELD();
  return kits_;
}

MoveQueue* CharacterTable::MoveQueueOf(const Character& c) {
  ASSERT_CONNECTION_LOCK_HELD();
  InPlaySlot* slot = SlotOf(c);
  return slot == nullptr ? nullptr : &slot->queue;
}

const MoveQueue* CharacterTable::MoveQueueOf(const Character& c) const {
  ASSERT_CONNECTION_LOCK_HELD();
  const InPlaySlot* slot = SlotOf(c);
  return slot == nullptr ? nullptr : &slot->queue;
}

void CharacterTable::Store(std::unique_ptr<Character> c) {
  ASSERT_CONNECTION_LOCK_HELD();
  assert(c != nullptr);
  names_.Add(c->name);
  KeepStored(std::move(c));
}

bool CharacterTable::Consistent() const {
  ASSERT_CONNECTION_LOCK_HELD();
  std::unordered_map<const Character*, int> seen;
  for (const auto& [connection, c] : InPlay()) ++seen[c];
  for (const auto& c : stored_) {
    ++seen[c.get()];
    if (c != nullptr && c->playing != core::kNoSocket) return false;
  }
  for (const auto& [connection, c] : kits_) {
    ++seen[c.get()];
    if (c != nullptr && c->playing != core::kNoSocket) return false;
  }
  for (const auto& [c, count] : seen) {
    if (c == nullptr || count != 1) return false;
  }
  if (names_.Size() != seen.size() + reservations_ || playingNames_.Size() != inPlayCount_) return false;
  std::size_t indexed = 0;
  for (const auto& cell : cellOccupants_) indexed += cell.size();
  if (indexed != inPlayCount_) return false;
  std::size_t playing = 0;
  for (const auto& [connection, c] : InPlay()) {
    ++playing;
    if (c->playing != connection || !OnMap(c->x, c->y)) return false;
    const std::vector<core::Socket>& cell = OccupantsOf(c->x, c->y);
    if (!std::binary_search(cell.begin(), cell.end(), connection)) return false;
  }
  return playing == inPlayCount_;
}

Character* CharacterTable::CharacterOf(core::Socket connection) const {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto at = static_cast<std::size_t>(connection);
  return connection < 0 || at >= inPlay_.size() ? nullptr : inPlay_[at].character.get();
}

Character* CharacterTable::FindInPlayByName(std::string_view name, core::Socket* socket) const {
  ASSERT_CONNECTION_LOCK_HELD();
  core::Socket first = core::kNoSocket;
  playingNames_.ForEachCandidate(name, [&](core::Socket connection) {
    if ((first == core::kNoSocket || connection < first) && CharacterOf(connection)->name == name) first = connection;
  });
  if (first == core::kNoSocket) return nullptr;
  if (socket != nullptr) *socket = first;
  return CharacterOf(first);
}

Character* CharacterTable::FindStoredByName(std::string_view name) const {
  ASSERT_CONNECTION_LOCK_HELD();
  for (const auto& c : stored_) {
    if (c->name == name) return c.get();
  }
  return nullptr;
}

NameReservation::NameReservation(CharacterTable& table, std::string name)
    : table_(table), name_(std::move(name)) {
  ASSERT_CONNECTION_LOCK_HELD();
  table_.names_.Add(name_);
  ++table_.reservations_;
}

NameReservation::~NameReservation() {
  ASSERT_CONNECTION_LOCK_HELD();
  table_.names_.Remove(name_);
  --table_.reservations_;
}

bool CharacterTable::NameTaken(std::string_view name) const {
  ASSERT_CONNECTION_LOCK_HELD();
  return names_.Holds(name);
}

bool CharacterTable::NameTooClose(std::string_view name) const {
  ASSERT_CONNECTION_LOCK_HELD();
  return names_.HoldsLookalikeOf(name);
}

CellChange CharacterTable::EnterPlay(core::Socket connection, std::unique_ptr<Character> c) {
  ASSERT_CONNECTION_LOCK_HELD();
  assert(c != nullptr);
  names_.Add(c->name);
  return PutInPlay(connection, std::move(c));
}

CellChange CharacterTable::EnterPlayFromStore(core::Socket connection, const Character* c) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = std::find_if(stored_.begin(), stored_.end(),
                               [&](const std::unique_ptr<Character>& s) { return s.get() == c; });
  assert(it != stored_.end());
  std::unique_ptr<Character> taken = std::move(*it);
  stored_.erase(it);
  return PutInPlay(connection, std::move(taken));
}

void CharacterTable::SetStoredPassword(Character& c, std::string_view password) {
  ASSERT_CONNECTION_LOCK_HELD();
  c.password = password;
  changed_ = true;
}

bool CharacterTable::ParkKit(core::Socket connection, std::unique_ptr<Character> c) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (kits_.count(connection) != 0) return false;
  c->playing = core::kNoSocket;
  names_.Add(c->name);
  kits_.emplace(connection, std::move(c));
  return true;
}

void CharacterTable::DropKit(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = kits_.find(connection);
  if (it == kits_.end()) return;
  names_.Remove(it->second->name);
  kits_.erase(it);
}

CellChange CharacterTable::LeavePlay(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (CharacterOf(connection) == nullptr) return {};
  InPlaySlot& slot = inPlay_[static_cast<std::size_t>(connection)];
  const Cell left{slot.character->x, slot.character->y};
  RemoveFromCell(connection, left.x, left.y);
  playingNames_.Remove(slot.character->name, connection);
  std::unique_ptr<Character> leaving = std::move(slot.character);
  slot.queue.Clear();
  --inPlayCount_;
  Character& stored = *leaving;
  KeepStored(std::move(leaving));
  return {connection, &stored, left, std::nullopt};
}

CellChange CharacterTable::MoveCharacter(core::Socket connection, std::int32_t x, std::int32_t y) {
  ASSERT_CONNECTION_LOCK_HELD();
  Character* c = CharacterOf(connection);
  assert(c != nullptr && OnMap(x, y));
  const Cell left{c->x, c->y};
  RemoveFromCell(connection, left.x, left.y);
  c->x = x;
  c->y = y;
  AddToCell(connection, x, y);
  changed_ = true;
  return {connection, c, left, Cell{x, y}};
}

const std::vector<core::Socket>& CharacterTable::OccupantsOf(std::int32_t x, std::int32_t y) const {
  ASSERT_CONNECTION_LOCK_HELD();
  assert(OnMap(x, y));
  return cellOccupants_[static_cast<std::size_t>(y * kMapSize + x)];
}

std::vector<const Character*> CharacterTable::CharactersToSave() const {
  ASSERT_CONNECTION_LOCK_HELD();
  std::vector<const Character*> all;
  all.reserve(stored_.size() + inPlayCount_);
  for (const auto& c : stored_) all.push_back(c.get());
  for (const auto& [connection, c] : InPlay()) all.push_back(c);
  return all;
}

bool CharacterTable::TakeChanges() {
  ASSERT_CONNECTION_LOCK_HELD();
  const bool changed = changed_;
  changed_ = false;
  return changed;
}

void CharacterTable::Clear() {
  // The names that setups on their way have reserved stay reserved.
  for (const auto& [connection, c] : InPlay()) names_.Remove(c->name);
  for (const auto& c : stored_) names_.Remove(c->name);
  for (const auto& [connection, c] : kits_) names_.Remove(c->name);
  inPlay_.clear();
  inPlayCount_ = 0;
  playingNames_.Clear();
  stored_.clear();
  kits_.clear();
  for (auto& cell : cellOccupants_) cell.clear();
}

namespace {

CarriedCharacter CarriedFrom(const Character& c) {
  CarriedCharacter carried{c, {}};
  carried.character.following = nullptr;
  carried.character.playing = core::kNoSocket;
  if (c.following != nullptr) carried.leader = c.following->name;
  return carried;
}

}  // namespace

void CharacterTable::Carry(CarriedWorld& carried) const {
  ASSERT_CONNECTION_LOCK_HELD();
  carried.changed = changed_;
  for (const auto& c : stored_) carried.stored.push_back(CarriedFrom(*c));
  for (const auto& [connection, c] : InPlay()) {
    std::string queue;
    MoveQueue copy = inPlay_[static_cast<std::size_t>(connection)].queue;
    for (; !copy.Empty(); copy.Pop()) queue += copy.Front();
    carried.inPlay.push_back({connection, CarriedFrom(*c), std::move(queue)});
  }
  for (const auto& [connection, c] : kits_) carried.kits.push_back({connection, CarriedFrom(*c)});
}

std::string CharacterTable::Adopt(const CarriedWorld& carried) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::unordered_map<std::string, Character*> byName;
  std::vector<std::pair<Character*, const std::string*>> leaders;
  const auto make = [&](const CarriedCharacter& from) -> std::unique_ptr<Character> {
    auto c = std::make_unique<Character>(from.character);
    c->following = nullptr;
    c->playing = core::kNoSocket;
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
    names_.Add(c->name);
    stored_.push_back(std::move(c));
  }
  for (std::size_t i = 0; fault.empty() && i < carried.inPlay.size(); ++i) {
    const CarriedWorld::InPlay& from = carried.inPlay[i];
    const Character& values = from.character.character;
    if (!OnMap(values.x, values.y) || from.connection < 0 || CharacterOf(from.connection) != nullptr ||
        from.queue.size() > MoveQueue::kCapacity) {
      fault = "the character in play " + values.name + " is off the map or twice in play";
      break;
    }
    std::unique_ptr<Character> c = make(from.character);
    if (c == nullptr) {
      fault = "the name " + values.name + " is held twice";
      break;
    }
    names_.Add(c->name);
    MoveQueue& queue = *MoveQueueOf(*PutInPlay(from.connection, std::move(c)).who);
    for (const char word : from.queue) queue.Push(word);
  }
  for (std::size_t i = 0; fault.empty() && i < carried.kits.size(); ++i) {
    const CarriedWorld::Kit& from = carried.kits[i];
    std::unique_ptr<Character> c = make(from.character);
    if (c == nullptr || kits_.count(from.connection) != 0) {
      fault = "the kit " + from.character.character.name + " is held twice";
      break;
    }
    names_.Add(c->name);
    kits_.emplace(from.connection, std::move(c));
  }
  for (const auto& [c, leader] : leaders) {
    const auto it = byName.find(*leader);
    if (it != byName.end()) c->following = it->second;  // one gone meanwhile: nobody
  }
  if (!fault.empty()) {
    Clear();
    return fault;
  }
  changed_ = carried.changed;
  return {};
}

}  // namespace world
