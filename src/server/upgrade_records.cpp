#include "server/upgrade_records.h"

#include <array>
#include <climits>
#include <cstring>

namespace server::upgrade_records {

using base::FieldReader;
using base::FieldWriter;

void PutAddress(FieldWriter& out, std::uint32_t tag, const base::Address& address) {
  out.Bytes(tag, std::string_view(reinterpret_cast<const char*>(address.bytes.data()), address.bytes.size()));
}

bool GetAddress(FieldReader& in, std::uint32_t tag, base::Address& address) {
  const std::string_view bytes = in.Bytes(tag);
  if (bytes.empty()) return true;
  if (bytes.size() != address.bytes.size()) return false;
  std::memcpy(address.bytes.data(), bytes.data(), bytes.size());
  return true;
}

bool GetInt32(FieldReader& in, std::uint32_t tag, std::int32_t& value) {
  const std::int64_t read = in.Signed(tag, value);
  if (read < INT32_MIN || read > INT32_MAX) return false;
  value = static_cast<std::int32_t>(read);
  return true;
}

bool GetSocket(FieldReader& in, std::uint32_t tag, int& socket) {
  const std::uint64_t read = in.Unsigned(tag, kMaxDescriptor + 1);
  if (read > kMaxDescriptor) return false;
  socket = static_cast<int>(read);
  return true;
}

namespace {

// --- The connection layer. -----------------------------------------------------------------

enum PeerTag : std::uint32_t { kPeerAddress = 1, kPeerKey, kPeerLimited, kPeerUid, kPeerProxy };
enum EndpointsTag : std::uint32_t { kLocal = 1, kLocalPort, kEndpointPeer, kFromProxy };
enum IoTag : std::uint32_t { kIoState = 1, kIoError, kIoBytes, kIoWhy };
enum ConnectionTag : std::uint32_t {
  kSocket = 1, kOrder, kDoor, kPeer, kEndpoints, kStarted, kAdmitted, kState, kRecvError, kWhy,
  kCodec, kWaiting, kBacklog, kSending, kGoodbye, kReceived, kProxyStep, kProxyBytes, kForwarded,
  kReadEnded, kReadEnd, kWriteError, kPace, kPausedUntil, kOverSince, kDeadline, kConnected,
  kLastLine, kBudget, kReadPausedUntil,
};

FieldWriter PeerRecord(const connection::Peer& peer) {
  FieldWriter out;
  PutAddress(out, kPeerAddress, peer.address);
  PutAddress(out, kPeerKey, peer.key);
  out.Bool(kPeerLimited, peer.limited);
  out.Signed(kPeerUid, peer.uid);
  if (peer.proxy) PutAddress(out, kPeerProxy, *peer.proxy);
  return out;
}

bool ReadPeer(FieldReader in, connection::Peer& peer) {
  bool good = GetAddress(in, kPeerAddress, peer.address) && GetAddress(in, kPeerKey, peer.key);
  peer.limited = in.Bool(kPeerLimited);
  const std::int64_t uid = in.Signed(kPeerUid, -1);
  good = good && uid >= -1 && uid <= INT_MAX;
  peer.uid = static_cast<int>(uid);
  if (!in.Bytes(kPeerProxy).empty()) {
    base::Address proxy;
    good = good && GetAddress(in, kPeerProxy, proxy);
    peer.proxy = proxy;
  }
  return good && in.Good();
}

FieldWriter ConnectionRecord(const connection::CarriedConnection& c) {
  FieldWriter out;
  out.Unsigned(kSocket, static_cast<std::uint64_t>(c.socket));
  out.Unsigned(kOrder, c.order);
  out.Bytes(kDoor, c.door);
  out.Record(kPeer, PeerRecord(c.peer));
  FieldWriter endpoints;
  PutAddress(endpoints, kLocal, c.endpoints.local);
  endpoints.Unsigned(kLocalPort, c.endpoints.localPort);
  PutAddress(endpoints, kEndpointPeer, c.endpoints.peer);
  endpoints.Bool(kFromProxy, c.endpoints.fromProxy);
  out.Record(kEndpoints, endpoints);
  out.Bool(kStarted, c.started);
  out.Bool(kAdmitted, c.admitted);
  out.Unsigned(kState, static_cast<std::uint64_t>(c.state));
  out.Signed(kRecvError, c.recvError);
  out.Bytes(kWhy, c.why);
  out.Bytes(kCodec, c.codec);
  out.Bytes(kWaiting, c.waiting);
  out.Bytes(kBacklog, c.backlog);
  out.Bytes(kSending, c.sending);
  out.Bytes(kGoodbye, c.goodbye);
  out.Bytes(kReceived, c.received);
  out.Unsigned(kProxyStep, static_cast<std::uint64_t>(c.proxyStep));
  out.Bytes(kProxyBytes, c.proxyBytes);
  out.Bool(kForwarded, c.forwarded);
  out.Bool(kReadEnded, c.readEnded);
  FieldWriter end;
  end.Unsigned(kIoState, static_cast<std::uint64_t>(c.readEnd.state));
  end.Signed(kIoError, c.readEnd.error);
  end.Unsigned(kIoBytes, c.readEnd.bytes);
  end.Bytes(kIoWhy, c.readEnd.why);
  out.Record(kReadEnd, end);
  out.Signed(kWriteError, c.writeError);
  out.Signed(kPace, c.pace);
  out.Signed(kPausedUntil, c.pausedUntil);
  out.Signed(kOverSince, c.overSince);
  out.Signed(kDeadline, c.deadline);
  out.Signed(kConnected, c.connected);
  out.Signed(kLastLine, c.lastLine);
  out.Signed(kBudget, c.budget);
  out.Signed(kReadPausedUntil, c.readPausedUntil);
  return out;
}

// Waiting input is a run of frames, each a kind, its text and a NUL: anything else
// would send the layer past the end of its buffer.
bool WellFramed(std::string_view waiting) {
  while (!waiting.empty()) {
    const std::size_t end = waiting.find('\0');
    if (end == std::string_view::npos) return false;
    const char kind = waiting.front();
    if (kind != static_cast<char>(connection::FrameKind::Line) &&
        kind != static_cast<char>(connection::FrameKind::TooLong))
      return false;
    waiting.remove_prefix(end + 1);
  }
  return true;
}

bool ReadConnection(FieldReader in, connection::CarriedConnection& c) {
  bool good = GetSocket(in, kSocket, c.socket);
  c.order = in.Unsigned(kOrder);
  c.door = in.Bytes(kDoor);
  good = good && ReadPeer(in.Record(kPeer), c.peer);
  FieldReader endpoints = in.Record(kEndpoints);
  good = good && GetAddress(endpoints, kLocal, c.endpoints.local) &&
         GetAddress(endpoints, kEndpointPeer, c.endpoints.peer);
  const std::uint64_t port = endpoints.Unsigned(kLocalPort);
  c.endpoints.localPort = static_cast<std::uint16_t>(port);
  c.endpoints.fromProxy = endpoints.Bool(kFromProxy);
  good = good && port <= UINT16_MAX && endpoints.Good();
  c.started = in.Bool(kStarted);
  c.admitted = in.Bool(kAdmitted);
  const std::uint64_t state = in.Unsigned(kState);
  good = good && state <= static_cast<std::uint64_t>(connection::ConnectionState::ServerEndsNow);
  c.state = static_cast<connection::ConnectionState>(state);
  c.recvError = static_cast<int>(in.Signed(kRecvError));
  c.why = in.Bytes(kWhy);
  c.codec = in.Bytes(kCodec);
  c.waiting = in.Bytes(kWaiting);
  c.backlog = in.Bytes(kBacklog);
  c.sending = in.Bytes(kSending);
  c.goodbye = in.Bytes(kGoodbye);
  c.received = in.Bytes(kReceived);
  const std::uint64_t step = in.Unsigned(kProxyStep);
  good = good && step <= static_cast<std::uint64_t>(connection::Connection::ProxyStep::Check);
  c.proxyStep = static_cast<connection::Connection::ProxyStep>(step);
  c.proxyBytes = in.Bytes(kProxyBytes);
  c.forwarded = in.Bool(kForwarded);
  c.readEnded = in.Bool(kReadEnded);
  FieldReader end = in.Record(kReadEnd);
  const std::uint64_t io = end.Unsigned(kIoState);
  good = good && io <= static_cast<std::uint64_t>(connection::IoState::Failed);
  c.readEnd.state = static_cast<connection::IoState>(io);
  c.readEnd.error = static_cast<int>(end.Signed(kIoError));
  c.readEnd.bytes = static_cast<std::size_t>(end.Unsigned(kIoBytes));
  c.readEnd.why = end.Bytes(kIoWhy);
  in.Absorb(end);
  c.writeError = static_cast<int>(in.Signed(kWriteError));
  c.pace = in.Signed(kPace);
  c.pausedUntil = in.Signed(kPausedUntil);
  c.overSince = in.Signed(kOverSince);
  c.deadline = in.Signed(kDeadline);
  c.connected = in.Signed(kConnected);
  c.lastLine = in.Signed(kLastLine);
  c.budget = in.Signed(kBudget);
  c.readPausedUntil = in.Signed(kReadPausedUntil);
  return good && !c.door.empty() && WellFramed(c.waiting) && in.Good();
}

enum BookTag : std::uint32_t { kBookRecord = 1, kBookRefusals, kKey = 1, kLive, kFailed, kCreated, kRefused };

enum LayerTag : std::uint32_t {
  kConnection = 1, kDrain, kNextOrder, kLinesHandled, kBannedRefusals, kBook, kKeyBudget,
};
enum DrainTag : std::uint32_t { kDrainSocket = 1, kDrainUntil, kDrainDropped };
enum BudgetTag : std::uint32_t { kBudgetKey = 1, kBudgetFull };

// --- The world. -------------------------------------------------------------------------

enum CharacterTag : std::uint32_t {
  kName = 1, kPassword, kPronouns, kAge, kRole, kClan, kDescription, kFlag1, kFlag2, kX, kY,
  kHealth,  // eight of them, in the order of the record
  kExtra1, kExtra2, kLeader,
};

std::array<std::int32_t world::Character::*, 8> HealthFields() {
  using world::Character;
  return {&Character::healthOverall,      &Character::healthHead,          &Character::healthBody,
          &Character::healthTail,         &Character::healthLeftFrontLeg,  &Character::healthRightFrontLeg,
          &Character::healthLeftBackLeg,  &Character::healthRightBackLeg};
}

FieldWriter CharacterRecord(const world::CarriedCharacter& carried) {
  const world::Character& c = carried.character;
  FieldWriter out;
  out.Bytes(kName, c.name);
  out.Bytes(kPassword, c.password);
  out.Bytes(kPronouns, c.pronouns);
  out.Signed(kAge, c.age);
  out.Signed(kRole, static_cast<std::int32_t>(c.role));
  out.Signed(kClan, static_cast<std::int32_t>(c.clan));
  out.Bytes(kDescription, c.description);
  out.Bool(kFlag1, c.anatomyFlag1);
  out.Bool(kFlag2, c.anatomyFlag2);
  out.Signed(kX, c.x);
  out.Signed(kY, c.y);
  for (const auto field : HealthFields()) out.Signed(kHealth, c.*field);
  out.Signed(kExtra1, c.extra1);
  out.Signed(kExtra2, c.extra2);
  out.Bytes(kLeader, carried.leader);
  return out;
}

bool ReadCharacter(FieldReader in, world::CarriedCharacter& carried) {
  world::Character& c = carried.character;
  c.name = in.Bytes(kName);
  c.password = in.Bytes(kPassword);
  c.pronouns = in.Bytes(kPronouns);
  std::int32_t role = static_cast<std::int32_t>(c.role);
  std::int32_t clan = static_cast<std::int32_t>(c.clan);
  bool good = GetInt32(in, kAge, c.age) && GetInt32(in, kRole, role) && GetInt32(in, kClan, clan) &&
              GetInt32(in, kX, c.x) && GetInt32(in, kY, c.y) && GetInt32(in, kExtra1, c.extra1) &&
              GetInt32(in, kExtra2, c.extra2);
  c.role = static_cast<world::Role>(role);
  c.clan = static_cast<world::Clan>(clan);
  c.description = in.Bytes(kDescription);
  c.anatomyFlag1 = in.Bool(kFlag1, true);
  c.anatomyFlag2 = in.Bool(kFlag2, true);
  const std::vector<std::int64_t> health = in.AllSigned(kHealth);
  const auto fields = HealthFields();
  for (std::size_t i = 0; i < health.size() && i < fields.size(); ++i) {
    good = good && health[i] >= INT32_MIN && health[i] <= INT32_MAX;
    c.*fields[i] = static_cast<std::int32_t>(health[i]);
  }
  carried.leader = in.Bytes(kLeader);
  return good && !c.name.empty() && in.Good();
}

enum WorldTag : std::uint32_t { kStored = 1, kInPlay, kKit, kDay, kTickOfDay, kChanged };
enum PlaceTag : std::uint32_t { kPlaceConnection = 1, kPlaceCharacter, kPlaceQueue };

}  // namespace

FieldWriter BookRecord(const connection::CarriedBook& book) {
  FieldWriter out;
  for (const connection::CarriedBook::Record& r : book.records) {
    FieldWriter record;
    PutAddress(record, kKey, r.key);
    record.Unsigned(kLive, r.live);
    for (const std::int64_t t : r.failedLogins) record.Signed(kFailed, t);
    for (const std::int64_t t : r.created) record.Signed(kCreated, t);
    record.Unsigned(kRefused, r.refused);
    out.Record(kBookRecord, record);
  }
  for (const std::uint64_t count : book.refusals) out.Unsigned(kBookRefusals, count);
  return out;
}

bool ReadBook(FieldReader in, connection::CarriedBook& book) {
  bool good = true;
  for (FieldReader& record : in.AllRecords(kBookRecord)) {
    connection::CarriedBook::Record& r = book.records.emplace_back();
    good = good && GetAddress(record, kKey, r.key);
    const std::uint64_t live = record.Unsigned(kLive);
    good = good && live <= kMaxDescriptor;
    r.live = static_cast<unsigned>(live);
    r.failedLogins = record.AllSigned(kFailed);
    r.created = record.AllSigned(kCreated);
    r.refused = static_cast<std::uint8_t>(record.Unsigned(kRefused) & 0xFF);
    in.Absorb(record);
  }
  const std::vector<std::uint64_t> refusals = in.AllUnsigned(kBookRefusals);
  for (std::size_t kind = 0; kind < refusals.size() && kind < book.refusals.size(); ++kind) {
    book.refusals[kind] = refusals[kind];
  }
  return good && in.Good();
}

FieldWriter LayerRecord(const connection::CarriedLayer& layer) {
  FieldWriter out;
  for (const connection::CarriedConnection& c : layer.connections) out.Record(kConnection, ConnectionRecord(c));
  for (const connection::CarriedDrain& d : layer.drains) {
    FieldWriter drain;
    drain.Unsigned(kDrainSocket, static_cast<std::uint64_t>(d.socket));
    drain.Signed(kDrainUntil, d.until);
    drain.Unsigned(kDrainDropped, d.dropped);
    out.Record(kDrain, drain);
  }
  out.Unsigned(kNextOrder, layer.nextOrder);
  out.Unsigned(kLinesHandled, layer.linesHandled);
  out.Unsigned(kBannedRefusals, layer.bannedRefusals);
  out.Record(kBook, BookRecord(layer.book));
  for (const auto& [key, full] : layer.keyBudgets) {
    FieldWriter budget;
    PutAddress(budget, kBudgetKey, key);
    budget.Signed(kBudgetFull, full);
    out.Record(kKeyBudget, budget);
  }
  return out;
}

bool ReadLayer(FieldReader in, connection::CarriedLayer& layer) {
  bool good = true;
  for (FieldReader& record : in.AllRecords(kConnection)) {
    good = good && ReadConnection(record, layer.connections.emplace_back());
  }
  for (FieldReader& record : in.AllRecords(kDrain)) {
    connection::CarriedDrain& d = layer.drains.emplace_back();
    good = good && GetSocket(record, kDrainSocket, d.socket);
    d.until = record.Signed(kDrainUntil);
    d.dropped = record.Unsigned(kDrainDropped);
    in.Absorb(record);
  }
  layer.nextOrder = in.Unsigned(kNextOrder, 1);
  layer.linesHandled = in.Unsigned(kLinesHandled);
  layer.bannedRefusals = in.Unsigned(kBannedRefusals);
  good = good && ReadBook(in.Record(kBook), layer.book);
  for (FieldReader& record : in.AllRecords(kKeyBudget)) {
    auto& [key, full] = layer.keyBudgets.emplace_back();
    good = good && GetAddress(record, kBudgetKey, key);
    full = record.Signed(kBudgetFull);
    in.Absorb(record);
  }
  for (const connection::CarriedConnection& c : layer.connections) {
    good = good && c.order < layer.nextOrder;
  }
  return good && in.Good();
}

FieldWriter WorldRecord(const world::CarriedWorld& world) {
  FieldWriter out;
  for (const world::CarriedCharacter& c : world.stored) out.Record(kStored, CharacterRecord(c));
  for (const world::CarriedWorld::InPlay& p : world.inPlay) {
    FieldWriter place;
    place.Unsigned(kPlaceConnection, static_cast<std::uint64_t>(p.connection));
    place.Record(kPlaceCharacter, CharacterRecord(p.character));
    place.Bytes(kPlaceQueue, p.queue);
    out.Record(kInPlay, place);
  }
  for (const world::CarriedWorld::Kit& k : world.kits) {
    FieldWriter place;
    place.Unsigned(kPlaceConnection, static_cast<std::uint64_t>(k.connection));
    place.Record(kPlaceCharacter, CharacterRecord(k.character));
    out.Record(kKit, place);
  }
  out.Signed(kDay, world.clock.day);
  out.Signed(kTickOfDay, world.clock.tickOfDay);
  out.Bool(kChanged, world.changed);
  return out;
}

bool ReadWorld(FieldReader in, world::CarriedWorld& world) {
  bool good = true;
  for (FieldReader& record : in.AllRecords(kStored)) {
    good = good && ReadCharacter(record, world.stored.emplace_back());
  }
  for (FieldReader& record : in.AllRecords(kInPlay)) {
    world::CarriedWorld::InPlay& p = world.inPlay.emplace_back();
    good = good && GetSocket(record, kPlaceConnection, p.connection) &&
           ReadCharacter(record.Record(kPlaceCharacter), p.character);
    p.queue = record.Bytes(kPlaceQueue);
    for (const char word : p.queue) good = good && (word == 'n' || word == 's' || word == 'e' || word == 'w');
    in.Absorb(record);
  }
  for (FieldReader& record : in.AllRecords(kKit)) {
    world::CarriedWorld::Kit& k = world.kits.emplace_back();
    good = good && GetSocket(record, kPlaceConnection, k.connection) &&
           ReadCharacter(record.Record(kPlaceCharacter), k.character);
    in.Absorb(record);
  }
  good = good && GetInt32(in, kDay, world.clock.day) && GetInt32(in, kTickOfDay, world.clock.tickOfDay) &&
         world.clock.tickOfDay >= 0 && world.clock.tickOfDay < world::kTicksPerDay;
  world.changed = in.Bool(kChanged);
  return good && in.Good();
}

}  // namespace server::upgrade_records
