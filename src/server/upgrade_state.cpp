#include "server/upgrade_state.h"

#include <sodium.h>

#include <bit>
#include <climits>
#include <cstring>

#include "base/field_list.h"
#include "server/upgrade_records.h"

namespace server {

namespace {

using base::FieldReader;
using base::FieldWriter;
using namespace upgrade_records;

std::uint64_t DoubleBits(double value) { return std::bit_cast<std::uint64_t>(value); }
double BitsDouble(std::uint64_t bits) { return std::bit_cast<double>(bits); }

constexpr std::size_t kDigestBytes = 16;

// --- The game's and the server's own. ------------------------------------------------------

enum SessionTag : std::uint32_t { kSessionSocket = 1, kSessionKey, kSessionLimited, kFailedLogins, kEndRequested, kSecretNext };
enum MuteTag : std::uint32_t { kMuteName = 1, kMuteUntil };
enum HistogramTag : std::uint32_t { kCounts = 1, kSum, kCount };
enum MeasuresTag : std::uint32_t {
  kStartedAt = 1, kLastTick, kTicks, kSaves, kSavesDone, kSavesFailed, kLastSaveDone, kKicks,
  kAcceptErrors, kLastSnapshot,
};
enum CountdownTag : std::uint32_t { kRunning = 1, kRestart, kDue, kNextStep };
enum ListenerTag : std::uint32_t { kListenerDoor = 1, kListenerSocket };
enum StateTag : std::uint32_t {
  kWriter = 1, kFolderLock, kListener, kLayer, kWorld, kSession, kMute, kAllowances, kLogins,
  kMeasures, kTickCount, kNextTick, kCountdown, kConsole, kAnnouncement, kScreenReader,
};

FieldWriter HistogramRecord(const CarriedMeasures::Histogram& h) {
  FieldWriter out;
  for (const std::uint64_t count : h.counts) out.Unsigned(kCounts, count);
  out.Unsigned(kSum, DoubleBits(h.sum));
  out.Unsigned(kCount, h.count);
  return out;
}

void ReadHistogram(FieldReader& parent, std::uint32_t tag, CarriedMeasures::Histogram& h) {
  FieldReader in = parent.Record(tag);
  h.counts = in.AllUnsigned(kCounts);
  h.sum = BitsDouble(in.Unsigned(kSum));
  h.count = in.Unsigned(kCount);
  parent.Absorb(in);
}

FieldWriter MeasuresRecord(const CarriedMeasures& m) {
  FieldWriter out;
  out.Signed(kStartedAt, m.started);
  out.Signed(kLastTick, m.lastTickNanoseconds);
  out.Record(kTicks, HistogramRecord(m.ticks));
  out.Record(kSaves, HistogramRecord(m.saves));
  out.Unsigned(kSavesDone, m.savesDone);
  out.Unsigned(kSavesFailed, m.savesFailed);
  out.Signed(kLastSaveDone, m.lastSaveDone);
  out.Unsigned(kKicks, m.kicks);
  out.Unsigned(kAcceptErrors, m.acceptErrors);
  out.Unsigned(kLastSnapshot, DoubleBits(m.lastSnapshotSeconds));
  return out;
}

bool ReadMeasures(FieldReader in, CarriedMeasures& m) {
  m.started = in.Signed(kStartedAt);
  m.lastTickNanoseconds = in.Signed(kLastTick);
  ReadHistogram(in, kTicks, m.ticks);
  ReadHistogram(in, kSaves, m.saves);
  m.savesDone = in.Unsigned(kSavesDone);
  m.savesFailed = in.Unsigned(kSavesFailed);
  m.lastSaveDone = in.Signed(kLastSaveDone);
  m.kicks = in.Unsigned(kKicks);
  m.acceptErrors = in.Unsigned(kAcceptErrors);
  m.lastSnapshotSeconds = BitsDouble(in.Unsigned(kLastSnapshot));
  return in.Good();
}

FieldWriter StateRecord(const UpgradeState& state) {
  FieldWriter out;
  out.Bytes(kWriter, state.writer);
  out.Signed(kFolderLock, state.folderLock);
  for (const CarriedListener& l : state.listeners) {
    FieldWriter listener;
    listener.Bytes(kListenerDoor, l.door);
    listener.Unsigned(kListenerSocket, static_cast<std::uint64_t>(l.socket));
    out.Record(kListener, listener);
  }
  out.Bytes(kLayer, state.layer.record);
  out.Record(kWorld, WorldRecord(state.world));
  for (const auto& [socket, s] : state.sessions) {
    FieldWriter session;
    session.Unsigned(kSessionSocket, static_cast<std::uint64_t>(socket));
    PutAddress(session, kSessionKey, s.key);
    session.Bool(kSessionLimited, s.limited);
    session.Signed(kFailedLogins, s.failedLogins);
    session.Bool(kEndRequested, s.endRequested);
    session.Bool(kSecretNext, s.secretNext);
    out.Record(kSession, session);
  }
  for (const core::Socket socket : state.screenReaders) out.Unsigned(kScreenReader, static_cast<std::uint64_t>(socket));
  for (const auto& [name, until] : state.mutes) {
    FieldWriter mute;
    mute.Bytes(kMuteName, name);
    mute.Signed(kMuteUntil, until);
    out.Record(kMute, mute);
  }
  base::FieldSaver io(out);
  io.Record(kAllowances, state.allowances);
  for (const std::uint64_t count : state.logins) out.Unsigned(kLogins, count);
  out.Record(kMeasures, MeasuresRecord(state.measures));
  out.Unsigned(kTickCount, state.tick);
  out.Signed(kNextTick, state.nextTick);
  FieldWriter countdown;
  countdown.Bool(kRunning, state.countdown.running);
  countdown.Bool(kRestart, state.countdown.restart);
  countdown.Signed(kDue, state.countdown.due);
  countdown.Unsigned(kNextStep, state.countdown.nextStep);
  out.Record(kCountdown, countdown);
  out.Signed(kConsole, state.console);
  out.Bytes(kAnnouncement, state.announcement);
  return out;
}

base::Status Senseless(std::string_view what) {
  return base::Status::Failure("The upgrade's state is damaged: " + std::string(what) + " makes no sense.");
}

base::Status ReadState(FieldReader in, UpgradeState& state) {
  state.writer = in.Bytes(kWriter);
  const std::int64_t lock = in.Signed(kFolderLock, -1);
  if (lock < -1 || lock > static_cast<std::int64_t>(connection::kMaxDescriptor)) return Senseless("the folder's lock");
  state.folderLock = static_cast<int>(lock);
  for (FieldReader& record : in.AllRecords(kListener)) {
    CarriedListener& l = state.listeners.emplace_back();
    l.door = record.Bytes(kListenerDoor);
    if (!GetSocket(record, kListenerSocket, l.socket) || l.door.empty() || !record.Good()) {
      return Senseless("a listener");
    }
  }
  if (!connection::ReadCarriedLayer(in.Bytes(kLayer), state.layer)) return Senseless("a connection");
  if (!ReadWorld(in.Record(kWorld), state.world)) return Senseless("the world");
  for (FieldReader& record : in.AllRecords(kSession)) {
    auto& [socket, s] = state.sessions.emplace_back();
    const std::int64_t failed = record.Signed(kFailedLogins);
    if (!GetSocket(record, kSessionSocket, socket) || !GetAddress(record, kSessionKey, s.key) || failed < 0 ||
        failed > INT_MAX) {
      return Senseless("a session");
    }
    s.limited = record.Bool(kSessionLimited);
    s.failedLogins = static_cast<int>(failed);
    s.endRequested = record.Bool(kEndRequested);
    s.secretNext = record.Bool(kSecretNext);
    if (!record.Good()) return Senseless("a session");
  }
  for (const std::uint64_t socket : in.AllUnsigned(kScreenReader)) {
    if (socket > connection::kMaxDescriptor) return Senseless("a connection in screen-reader mode");
    state.screenReaders.push_back(static_cast<core::Socket>(socket));
  }
  for (FieldReader& record : in.AllRecords(kMute)) {
    state.mutes.emplace_back(std::string(record.Bytes(kMuteName)), record.Signed(kMuteUntil));
    if (!record.Good()) return Senseless("a mute");
  }
  FieldReader allowances = in.Record(kAllowances);
  base::FieldLoader book(allowances);
  connection::CarriedBook::Fields(book, state.allowances);
  if (!book.Good()) return Senseless("the game's limits");
  const std::vector<std::uint64_t> logins = in.AllUnsigned(kLogins);
  for (std::size_t i = 0; i < logins.size() && i < state.logins.size(); ++i) state.logins[i] = logins[i];
  if (!ReadMeasures(in.Record(kMeasures), state.measures)) return Senseless("the measures");
  state.tick = in.Unsigned(kTickCount);
  state.nextTick = in.Signed(kNextTick);
  FieldReader countdown = in.Record(kCountdown);
  state.countdown.running = countdown.Bool(kRunning);
  state.countdown.restart = countdown.Bool(kRestart);
  state.countdown.due = countdown.Signed(kDue);
  state.countdown.nextStep = countdown.Unsigned(kNextStep);
  in.Absorb(countdown);
  const std::int64_t console = in.Signed(kConsole, -1);
  if (console < -1 || console > static_cast<std::int64_t>(connection::kMaxDescriptor)) return Senseless("the console");
  state.console = static_cast<core::Socket>(console);
  state.announcement = in.Bytes(kAnnouncement);
  if (!in.Good()) return Senseless("a field");
  return {};
}

void PutFixed64(std::string& out, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) out += static_cast<char>(value >> (8 * i));
}

std::uint64_t GetFixed64(std::string_view in) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(in[static_cast<std::size_t>(i)]);
  return value;
}

std::array<unsigned char, kDigestBytes> Digest(std::string_view payload) {
  std::array<unsigned char, kDigestBytes> digest{};
  crypto_generichash(digest.data(), digest.size(), reinterpret_cast<const unsigned char*>(payload.data()),
                     payload.size(), nullptr, 0);
  return digest;
}

}  // namespace

// The envelope: the magic line, the format as 8 bytes, the payload's length as 8, its
// digest, then the payload.
std::string WriteUpgradeState(const UpgradeState& state) {
  const std::string payload = StateRecord(state).Take();
  std::string out(kUpgradeMagic);
  PutFixed64(out, kUpgradeFormat);
  PutFixed64(out, payload.size());
  const auto digest = Digest(payload);
  out.append(reinterpret_cast<const char*>(digest.data()), digest.size());
  out += payload;
  return out;
}

base::Status ReadUpgradeState(std::string_view bytes, UpgradeState& state) {
  const std::size_t head = kUpgradeMagic.size() + 16 + kDigestBytes;
  if (!bytes.starts_with(kUpgradeMagic)) {
    return base::Status::Failure("The upgrade's state is no upgrade state.");
  }
  if (bytes.size() < head) return base::Status::Failure("The upgrade's state is cut short.");
  const std::uint64_t format = GetFixed64(bytes.substr(kUpgradeMagic.size()));
  if (format != kUpgradeFormat) {
    return base::Status::Failure("The upgrade's state is of format " + std::to_string(format) +
                                 "; this build reads format " + std::to_string(kUpgradeFormat) + ".");
  }
  const std::uint64_t length = GetFixed64(bytes.substr(kUpgradeMagic.size() + 8));
  const std::string_view payload = bytes.substr(head);
  if (payload.size() != length) {
    return base::Status::Failure(payload.size() < length ? "The upgrade's state is cut short."
                                                         : "The upgrade's state is longer than it says.");
  }
  const auto digest = Digest(payload);
  if (std::memcmp(digest.data(), bytes.data() + kUpgradeMagic.size() + 16, kDigestBytes) != 0) {
    return base::Status::Failure("The upgrade's state is damaged: its digest does not match.");
  }
  state = {};
  return ReadState(FieldReader(payload), state);
}

}  // namespace server
