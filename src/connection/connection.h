// One connection of the connection layer: its record, the rules of the door it came in
// by, who is at the other end, and what its lines are given to. A record is filled in
// for a connection taken in (ConnectionLayer::Take) or carried over an upgrade
// (Connection::Restore), and made part of the layer in one place, ConnectionLayer::Enter.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/address.h"
#include "connection/address_limits.h"
#include "connection/caps.h"
#include "connection/codec.h"
#include "connection/transport.h"
#include "core/byte_queue.h"
#include "net/proxy_protocol.h"
#include "core/socket_handle.h"

namespace connection {


// A connection that is not admitted yet (HTTP before its WebSocket, TLS before its
// handshake, a console before its command) must be admitted this soon after it
// connected, or it is let go.
inline constexpr auto kAdmitTime = std::chrono::seconds(10);

// Who is at the other end of a connection, as the layer knows it.
struct Peer {
  base::Address address;  // the client's address (behind a trusted proxy, the one it names)
  base::Address key;      // base::LimitKey(address): what its limits are counted under
  bool limited = false;   // outside the trusted blocks: held to the address limits
  int uid = -1;           // on a Unix socket (the console), the peer's user; -1 otherwise
  std::optional<base::Address> proxy;  // the trusted proxy it came through, if any

  // Its record at an upgrade (base/field_list.h).
  template <class Io, class Self>
  static void Fields(Io& io, Self& p) {
    io.Address(1, p.address);
    io.Address(2, p.key);
    io.Bool(3, p.limited);
    io.Signed(4, p.uid);
    io.Address(5, p.proxy);
  }
};

// What the lines of a door's admitted connections are given to: the game, or the
// operator's console. Every call comes with ConnectionLock held, on the input thread.
class LineHandler {
 public:
  // `connection` was admitted: its peer, for the handler's own limits and logs.
  virtual void Admitted(core::Socket connection, const Peer& peer) = 0;
  // One complete line of `connection`. Returns true when the connection should end
  // now: its later lines are dropped unread, and what was queued for it still leaves.
  virtual bool Line(core::Socket connection, const std::string& line) = 0;
  // `connection` has ended: the handler lets go of everything it kept for it.
  virtual void Ended(core::Socket connection) = 0;
  // The client of `connection` asked for screen-reader mode (its codec learned it).
  virtual void ScreenReaderAsked(core::Socket connection) { (void)connection; }
  // Whether `connection` has entered play: a door that asks for it ends a connection
  // that has not within the login time.
  virtual bool InPlay(core::Socket connection) const {
    (void)connection;
    return true;
  }
  // Who `connection` is to the handler, for the log line of its end ("Ashpaw"); empty
  // when it is nobody yet.
  virtual std::string Holder(core::Socket connection) const {
    (void)connection;
    return {};
  }

 protected:
  ~LineHandler() = default;
};

// The rules of one door (a listener): what its connections speak, whom their lines go
// to and how the layer greets them. Made before the server's threads start.
struct Door {
  std::string name;                // "game", "telnet", "web", "metrics", "console"
  CodecMaker makeCodec;
  // The transport of each connection: plain TCP when empty, or TLS.
  std::function<std::unique_ptr<Transport>()> makeTransport;
  // From a trusted proxy (AddressLimits::proxies), a connection starts with a PROXY
  // header, whose source is its address from then on; from anyone else, a PROXY header
  // ends it.
  bool proxied = false;
  LineHandler* handler = nullptr;  // none: the door's connections have no lines to give
  std::string welcome;             // the first frame of each admitted connection; empty: none
  bool logged = true;              // "New connection from ..." and "<handle> disconnected"
  bool counted = true;             // held to the bans and the per-address limits
  bool login = false;              // its connections must enter play (LineHandler::InPlay) in time
  bool players = true;             // its admitted connections are players of the game
  // Not 0: its connections are held to this cap of their own instead of
  // Caps::maxConnections, out of the descriptors kept back (the console's).
  std::size_t ownCap = 0;
  std::chrono::seconds admitWithin = kAdmitTime;
};

// Why a connection is being ended. Until its record goes, a connection is in one state.
// The server ends a connection in one of two ways: after its output (what it was sent
// still leaves, for as long as the linger time) or now (what was queued gets one try
// at the close, nothing more); either way its waiting lines are dropped.
enum class ConnectionState : std::uint8_t {
  Open,         // reading and answering
  PeerClosed,   // a read gave 0 bytes: its waiting lines are answered, then it ends
  CodecDone,    // its codec is done with the peer (a close, an HTTP answer): as PeerClosed
  ServerEndsAfterOutput,  // a kick, a ban: it ends once what it was sent has left
  Reset,        // reset by the peer: its waiting lines are handled, then it ends
  RecvFailed,   // a read failed otherwise: as Reset, logged as "Error recv: "
  SendFailed,   // the peer cannot take output any more: as Reset, output is dropped
  Overflowed,   // it stopped reading and its backlog passed a cap: as SendFailed
  ServerEndsNow,  // failed logins, too late, refused: it ends at this turn's end, and
                  // nothing more is queued for it
};

// Whether a connection ending in `state` drops what it had still to send.
inline bool DropsOutput(ConnectionState state) {
  return state == ConnectionState::SendFailed || state == ConnectionState::Overflowed;
}

// What a waiting input frame is.
enum class FrameKind : char {
  Line = 'L',     // a line to handle
  TooLong = 'T',  // a line that passed the limit: answered "Line too long."
};

// The input thread's part of a connection that few connections need: the reading of a
// PROXY header, and how reading ended. Apart from the record (Connection::Aside), made
// when first needed, so that each of thousands of idle connections carries a pointer.
struct InputAside {
  std::unique_ptr<net::ProxyHeaderReader> proxyReader;
  // Check: the first bytes, until they are known to be no header. After the header of a
  // TLS door's connection: the bytes that came with it, until its client is admitted.
  // Header: the bytes fed to the reader so far (what an upgrade carries it by).
  std::string proxyBytes;
  std::optional<net::ProxySource> proxySource;
  IoResult readEnd;  // how reading ended, once it has (Connection::readEnded)

  // Whether it holds anything: one that does not is not kept.
  bool Holds() const {
    return proxyReader != nullptr || !proxyBytes.empty() || proxySource.has_value() ||
           readEnd.state != IoState::Done || readEnd.error != 0 || readEnd.bytes != 0 || !readEnd.why.empty();
  }

  // Carried within the connection's record, under the connection's own tags.
  template <class Io, class Self>
  static void Fields(Io& io, Self& a) {
    io.Bytes(18, a.proxyBytes);
    io.Record(21, a.readEnd);
    io.NotCarried(a.proxyReader);  // fed its proxyBytes again
    // Held only within one turn of the input thread, which an upgrade waits out:
    io.NotCarried(a.proxySource);
  }
};

// What the log may say of a connection that few connections need: why it is being
// ended, and the figures of its output from when it last went over the soft cap. Apart
// from the record (Connection::ForLog), made when first needed and let go once it holds
// nothing, so that each of thousands of quiet connections carries a pointer. Guarded by
// ConnectionLock.
struct LogAside {
  std::string why;  // why it is being ended, for the log: "closed by the client"
  // At Connection::overSince: every byte queued for it so far, its `unsent`, and what its
  // kernel held unacknowledged: what it was sent and what it took since, for the log
  // when its output ends it. Zero while it is under the soft cap.
  std::uint64_t queuedAtOver = 0;
  std::size_t unsentAtOver = 0;
  std::size_t unackedAtOver = 0;

  // Whether it holds anything: one that does not is not kept.
  bool Holds() const { return !why.empty() || queuedAtOver != 0 || unsentAtOver != 0 || unackedAtOver != 0; }

  // Carried within the connection's record, under the connection's own tags.
  template <class Io, class Self>
  static void Fields(Io& io, Self& a) {
    io.Bytes(10, a.why);
    io.Unsigned(32, a.queuedAtOver);
    io.Unsigned(33, a.unsentAtOver);
    io.Unsigned(34, a.unackedAtOver);
  }
};

struct Connection {
  // Within each part the members go from the widest to the narrowest, so that the
  // record of each of thousands of idle connections wastes no padding.
  // --- Guarded by ConnectionLock. -------------------------------------------------------
  std::uint64_t order = 0;  // accept sequence number: the order of sweeps
  const Door* door = nullptr;
  std::unique_ptr<Codec> codec;
  std::unique_ptr<LogAside> forLog;  // made by ForLog() when first needed
  // Complete input frames waiting for a sweep, each stored as its FrameKind, its text
  // and a NUL. Run dry, it keeps no memory: most connections are idle between lines.
  core::ByteQueue waiting;
  core::ByteQueue backlog;  // output queued and not yet handed to `sending`, in order
  // What the caps count: backlog and sending together, as the last turn left sending.
  std::size_t unsent = 0;
  std::size_t countedBacklog = 0;  // the part of its address's unsent output that is its
  LinePace pace;                   // lines handled per second, when limited
  // Set while the connection is over its pace: its lines wait, nothing more is read,
  // until this time on the monotonic clock. Empty (the epoch) otherwise.
  LimitClock::time_point pausedUntil{};
  // When `unsent` last went above the soft cap (its figures then: LogAside); the epoch
  // while it is below.
  LimitClock::time_point overSince{};
  std::uint64_t queued = 0;  // every byte queued for it so far
  // When the connection must be admitted or gone; the epoch when nothing is due.
  LimitClock::time_point deadline{};
  LimitClock::time_point connected{};  // when it was taken in
  LimitClock::time_point lastLine{};   // when it connected or its last line was handled
  std::size_t countedBuffered = 0;     // its part of the layer's count of all buffered memory
  std::size_t sendingHeld = 0;         // the memory `sending` held when the last turn left it
  Peer peer;
  Endpoints endpoints;  // where it came in: what its codec was made from
  core::Socket socket = core::kNoSocket;
  int recvError = 0;  // errno of a failed read, for the log
  ConnectionState state = ConnectionState::Open;
  bool started = false;         // its transport was ready and its codec started
  bool admitted = false;        // admitted to its door: logged, welcomed, its lines handled
  bool held = false;            // its next line waits until the game releases it (Hold)
  bool queuedForWrite = false;  // in the queue of backlogs to write this turn

  // --- The input thread's own: its I/O runs without ConnectionLock. -------------------
  std::unique_ptr<Transport> transport;
  std::unique_ptr<InputAside> aside;  // made by Aside() when first needed
  std::string received;        // plaintext read and not yet given to the codec
  core::ByteQueue sending;     // output handed to the transport and not yet taken by it
  ByteBudget budget;           // the bytes it may send, when it is held to the limits
  // While its budget (or its address's) is spent: nothing is read until then.
  LimitClock::time_point readPausedUntil{};
  int writeError = 0;          // set when a write failed: the connection cannot take more
  std::uint32_t interest = 0;  // the epoll events asked for now
  // Before its transport sees a byte, a connection of a proxied door reads a PROXY
  // header (from a trusted proxy) or makes sure it sends none (from anyone else).
  enum class ProxyStep : std::uint8_t { None, Header, Check };
  ProxyStep proxyStep = ProxyStep::None;
  bool proxyRead = false;  // the header came this turn: its source is applied under the lock
  bool forwarded = false;  // a forwarded header has named its client (ForwardedClient)
  bool readEnded = false;
  bool readThisTurn = false;   // received bytes or an end for the codec this turn
  bool wrote = false;          // its sending shrank this turn: `unsent` is refreshed
  bool hungUp = false;         // the socket reported a hang-up or an error this turn
  bool wantRead = true;        // set under the lock: input is wanted now
  bool watched = true;         // in the epoll set (a hung-up socket leaves it early)

  // --- Its record at an upgrade (base/field_list.h): every member above, once, with the
  // tag it is carried under or as not carried, and why. A member added above and left out
  // here fails a test (layer_record_test.cpp); a new field takes the next tag, and a tag
  // keeps its meaning for good, since the builds on either side of an upgrade read each
  // other's records. -------------------------------------------------------------------
  template <class Io, class Self>
  static void Fields(Io& io, Self& c) {
    io.Unsigned(1, c.socket, static_cast<core::Socket>(kMaxDescriptor));
    io.Unsigned(2, c.order);
    io.Door(3, c.door);  // by its name
    io.Record(4, c.peer);
    io.Record(5, c.endpoints);
    io.Bool(6, c.started);
    io.Bool(7, c.admitted);
    io.Unsigned(8, c.state, ConnectionState::ServerEndsNow);
    io.Signed(9, c.recvError);
    io.Apart(c.forLog);  // 10 and 32 to 34
    io.Codec(11, c.codec);  // its own record (Codec::SaveState)
    io.Bytes(12, c.waiting);
    io.Bytes(13, c.backlog);
    io.Bytes(14, c.sending);
    // 15 was a goodbye of the codec's that was never set; older builds still write it.
    io.Bytes(16, c.received);
    io.Unsigned(17, c.proxyStep, Connection::ProxyStep::Check);
    io.Apart(c.aside);  // 18 and 21
    io.Bool(19, c.forwarded);
    io.Bool(20, c.readEnded);
    io.Signed(22, c.writeError);
    io.Time(23, c.pace);
    io.Time(24, c.pausedUntil);
    io.Time(25, c.overSince);
    io.Time(26, c.deadline);
    io.Time(27, c.connected);
    io.Time(28, c.lastLine);
    io.Time(29, c.budget);
    io.Time(30, c.readPausedUntil);
    io.Unsigned(31, c.queued);
    // Not carried. Made again when the layer takes the record in (ConnectionLayer::Enter,
    // Connection::Restore):
    io.NotCarried(c.unsent);          // its backlog and sending
    io.NotCarried(c.countedBacklog);  // counted again under its key
    io.NotCarried(c.queuedForWrite);  // queued again with its backlog
    io.NotCarried(c.countedBuffered);
    io.NotCarried(c.sendingHeld);
    io.NotCarried(c.transport);    // plain: a TLS connection is never carried
    io.NotCarried(c.wantRead);
    io.NotCarried(c.interest);
    io.NotCarried(c.watched);
    // Held only within one turn of the input thread, which an upgrade waits out:
    io.NotCarried(c.proxyRead);
    io.NotCarried(c.readThisTurn);
    io.NotCarried(c.wrote);
    io.NotCarried(c.hungUp);
    // An upgrade waits until no connection is held but the console's that asked for it,
    // which the new process answers itself:
    io.NotCarried(c.held);
  }

  // Its LogAside, made if it has none; and let go once it holds nothing. ConnectionLock
  // held.
  LogAside& ForLog() {
    if (forLog == nullptr) forLog = std::make_unique<LogAside>();
    return *forLog;
  }
  void TrimForLog() {
    if (forLog != nullptr && !forLog->Holds()) forLog.reset();
  }
  // Its LogAside, or an empty one when it has none.
  const LogAside& Logged() const {
    static const LogAside kNone;
    return forLog != nullptr ? *forLog : kNone;
  }
  // Sets why it is being ended; empty: nobody said.
  void SetWhy(std::string_view why) {
    if (why.empty() && forLog == nullptr) return;
    ForLog().why = why;
    TrimForLog();
  }
  // Forgets the figures of when its output went over the soft cap: it is under it.
  void ForgetOver() {
    if (forLog == nullptr) return;
    forLog->queuedAtOver = 0;
    forLog->unsentAtOver = 0;
    forLog->unackedAtOver = 0;
    TrimForLog();
  }

  // Its InputAside, made if it has none. Input thread only.
  InputAside& Aside() {
    if (aside == nullptr) aside = std::make_unique<InputAside>();
    return *aside;
  }
  // Lets its InputAside go once it holds nothing. Input thread only.
  void TrimAside() {
    if (aside != nullptr && !aside->Holds()) aside.reset();
  }

  // What Restore made of a record.
  enum class Restored : std::uint8_t {
    Whole,      // every field, its door and its codec: ready to be taken in
    Foreign,    // sensible, but its door is not among those given, or its codec cannot
                // read its own record (another build's): it is to be closed
    Senseless,  // damaged, or a value that makes no sense
  };
  // Writes the record of everything the next build needs, its codec's own record among
  // them. REQUIRES: not over TLS (its session lives in this process's OpenSSL).
  void Save(base::FieldWriter& out) const;
  // Reads a record Save wrote, of this build or another, into this fresh connection: its
  // fields, and what they make again (a plain transport, the PROXY header's reader). Its
  // door is the plain door of its name among `doors`, whose codec reads its own record.
  // Given no doors (a check of the record alone), a sensible record is Foreign. The name
  // the record gives its door goes to `doorName` when one is given (for the log).
  Restored Restore(base::FieldReader in, std::span<const Door> doors, std::string* doorName = nullptr);
};

}  // namespace connection
