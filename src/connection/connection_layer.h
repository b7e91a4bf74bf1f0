// The connection layer: one record per client connection of every door, and the one
// place that reads and writes their sockets. A connection carries its door's codec
// (connection/codec.h), which turns its bytes into lines and the game's frames into
// bytes, over a transport (connection/transport.h: plain TCP or TLS). The layer keeps
// the rules every door shares: the order lines are handled in, their pace, the bounds
// on input and on unsent output, and how a connection ends.
//
// The input thread runs RunOnce over and over: it reads and writes every socket
// without ConnectionLock, then takes the lock for the codecs, the sweep and the ends.
// The records and sets are guarded by ConnectionLock; the accept thread hands sockets
// over through Accepted, and any holder of the lock may send (the Outbox's sink).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/address.h"
#include "base/status.h"
#include "connection/address_limits.h"
#include "connection/bans.h"
#include "connection/carried.h"
#include "connection/connection.h"
#include "connection/node_pool.h"
#include "core/outbox.h"
#include "core/worker.h"

namespace connection {

// Unsent output: a connection is ended when its backlog passes the hard cap, or stays
// above the soft cap for the grace time (a client that stopped reading). A client that
// keeps reading is never cut off by a burst.
inline constexpr std::size_t kHardBacklogBytes = 4 * 1024 * 1024;
inline constexpr std::size_t kSoftBacklogBytes = 256 * 1024;
inline constexpr auto kSoftBacklogGrace = std::chrono::seconds(10);
// What the kernel may hold for one connection: it counts towards nothing above, so it
// is kept small, and a client that does not read soon leaves its output in the backlog.
inline constexpr int kSocketSendBufferBytes = 64 * 1024;
// Unsent output of all connections of one address held to the limits.
inline constexpr std::size_t kAddressBacklogBytes = 16 * 1024 * 1024;
// Complete input lines a connection may have waiting before the server stops reading
// from it until the sweeps have caught up.
inline constexpr std::size_t kMaxWaitingInputBytes = 64 * 1024;
// A connection that is closing must have sent its last bytes this soon.
inline constexpr auto kLingerTime = std::chrono::seconds(10);
// When the server closes a connection whose peer may still be sending, it stops
// writing and reads and drops what comes for this long or this much, then closes: a
// close with input unread would be a reset, which can destroy the last answer.
inline constexpr auto kDrainTime = std::chrono::seconds(1);
inline constexpr std::size_t kDrainBytes = 64 * 1024;

inline constexpr std::string_view kLineTooLong = "Line too long.";
inline constexpr std::string_view kTooManyConnections = "Too many connections from your address.";
// Never sent (a connection over its address's handshake rate is closed before TLS
// begins, when nothing can be told it), but what Admission refuses it with.
inline constexpr std::string_view kTooManyHandshakes = "Too many TLS handshakes from your address.";

// One live connection as the operator's console and the metrics see it.
struct ConnectionSummary {
  core::Socket socket = core::kNoSocket;
  base::Address address;
  const char* door = "";  // its codec's DoorName
  bool admitted = false;
  bool player = false;  // admitted to a door of the game (not the console)
  LimitClock::time_point lastLine{};
  std::size_t backlog = 0;  // unsent bytes
  std::string client;       // the name its client program gave itself; empty: none
};

class ConnectionLayer final : public core::OutboxSink, public core::WorkerHost {
 public:
  explicit ConnectionLayer(AddressLimits limits = {}, Caps caps = {});
  ~ConnectionLayer();  // closes every connection's socket and the wait set
  ConnectionLayer(const ConnectionLayer&) = delete;
  ConnectionLayer& operator=(const ConnectionLayer&) = delete;

  // Sets up the wait set. On failure nothing is set up.
  base::Status Init();

  // Adds a door; its connections are taken in with its index. Before the threads start.
  std::size_t AddDoor(Door door);

  // The accept thread hands over a connected, non-blocking socket accepted on door
  // `door` from `peer`: it is taken in on the input thread's next turn. The layer owns
  // the socket from now on. When the layer holds as many sockets as the caps allow (a
  // door with a cap of its own: as many of that door's), the socket is closed at once
  // instead (and the refusal logged; a door of its own cap's tells it why first), and
  // false is returned. Any thread, no lock needed.
  bool Accepted(core::Socket socket, std::size_t door, const base::Address& peer, const Endpoints& local,
                int uid = -1);

  // Takes in a connected, non-blocking socket now, through the bans and the
  // per-address limits of its door: a refused one is told so by its codec and closed.
  // A connection whose codec plays from the start is admitted once its transport is
  // ready (at once for plain TCP: logged, welcomed); the others must be admitted within
  // their door's time. REQUIRES: ConnectionLock held; on the input thread, or in a
  // test that drives RunOnce itself.
  void Take(core::Socket socket, std::size_t door, const base::Address& peer, const Endpoints& local = {},
            int uid = -1);

  // The Outbox's sink: one frame's text, or one structured message, through the codec
  // of `destination`, queued behind what it has queued already and written on the
  // input thread's next turn. Frames for handles that are no admitted connection, or
  // whose output is no longer wanted, are dropped. REQUIRES: ConnectionLock held.
  void SendText(core::Socket destination, std::string_view text) override;
  void SendData(core::Socket destination, std::string_view message) override;
  bool WantsData(core::Socket destination, std::string_view package) const override;
  bool MayWantData() const override { return dataCarriers_ > 0; }

  // The worker's host (core/worker.h): while the game works on a line elsewhere (a
  // password on the hashing worker), the connection's later lines wait; its answer
  // runs on the input thread, then its lines go on, in order. Other connections are
  // answered meanwhile. A held connection that ends waits for its answer unless the
  // server ended it.
  std::uint64_t Hold(core::Socket socket) override;
  void Post(std::function<void()> task) override;
  void Answer(core::Socket socket, std::uint64_t ticket, const core::Completion& completion) override;
  void CompleteUnowned(const core::Completion& completion) override;
  // Lets a held connection's lines go on. REQUIRES: ConnectionLock held.
  void Release(core::Socket socket);

  // Ends `socket` now (ConnectionState::ServerEndsNow), as when a line handler asks to:
  // its waiting lines are dropped, what was queued gets one last try. Nothing happens
  // for a handle that is no live connection. REQUIRES: ConnectionLock held.
  void EndNow(core::Socket socket, std::string_view why = "ended by the server");

  // Ends the admitted connection `socket` once its output has left
  // (ConnectionState::ServerEndsAfterOutput): what was sent to it so far still leaves,
  // its waiting lines are dropped and nothing more is read. False when there is no such
  // live connection. REQUIRES: ConnectionLock held.
  bool EndAfterOutput(core::Socket socket);

  // One turn of the input thread: waits up to `timeoutMs` (-1: no limit) for input or
  // for the next deadline; reads what arrived; then, with ConnectionLock taken, takes
  // in the accepted sockets, runs the posted tasks, feeds the codecs, handles at most
  // one line of every connection and ends the connections that are done; then writes.
  // Waits not at all while lines or output are left over.
  void RunOnce(int timeoutMs);

  // Lets a RunOnce waiting on another thread go on (any thread, no lock needed).
  void Wake();

  // True when the records and every set agree: for tests and fuzzers.
  // REQUIRES: ConnectionLock held.
  bool ConnectionsAreConsistent() const;

  // Live connections, admitted or not. REQUIRES: ConnectionLock held.
  std::size_t Count() const { return live_; }
  // Every live connection, in ascending handle order. REQUIRES: ConnectionLock held.
  std::vector<ConnectionSummary> Summaries() const;
  // Lines handled since start, over every connection. REQUIRES: ConnectionLock held.
  std::uint64_t LinesHandled() const { return linesHandled_; }
  // The counts of the address limits and their refusals. REQUIRES: ConnectionLock held.
  const AddressBook& Book() const { return book_; }
  // Connections refused because their address is banned, since start. Any thread.
  std::uint64_t BannedRefusals() const { return bannedRefusals_.load(std::memory_order_relaxed); }
  // Forgets what the limits no longer need (each world tick). REQUIRES: ConnectionLock held.
  void Prune(LimitClock::time_point now) { book_.Prune(now); }
  // The memory all unsent output and waiting input hold, in bytes. REQUIRES: ConnectionLock held.
  std::size_t Buffered() const { return buffered_; }
  const Caps& CapsInForce() const { return caps_; }
  // What the game queues for its connections: the layer is its sink, and flushes it
  // after the handlers of a sweep, of ended connections and of the worker's answers.
  // REQUIRES: ConnectionLock held to use it.
  core::Outbox& Outbox() { return outbox_; }
  // The bans: the doors check every address against them, the game its logins' names,
  // and the console changes them. REQUIRES: ConnectionLock held to use them.
  BanList& Bans() { return bans_; }
  const BanList& Bans() const { return bans_; }

  // --- An upgrade to a new build (layer_carry.cpp). ---------------------------------------
  // A quiet: no line goes to its handler (they wait, in order); reading, writing, the
  // worker's answers and the deadlines go on. At the end of each turn `ready` is asked,
  // `settled` telling whether nothing is in flight (no task posted, no socket handed
  // over, no connection held but `except`); when it says yes, `then` runs once on the
  // input thread, with ConnectionLock held and the input thread's I/O at rest. `then`
  // may Carry, EndUncarried and exec, or EndQuiet. REQUIRES: ConnectionLock held.
  void BeginQuiet(core::Socket except, std::function<bool(bool settled)> ready, std::function<void()> then);
  void EndQuiet();
  bool Quieting() const { return quiet_.has_value(); }
  // The layer's record for the next process: every connection it can take in and what
  // outlives connections; the ones it cannot (TLS, whose sessions live in this process's
  // OpenSSL) are listed in `left`. What the last writes sent is counted first, so that a
  // connection's record says what it still has to send.
  // REQUIRES: ConnectionLock held, and the input thread's I/O at rest: inside a quiet's
  // work, or in a line handler on the input thread (a probe's copy).
  CarriedLayer Carry(std::vector<core::Socket>& left);
  // Tells each of `sockets` `text` (when it is a player) and ends it at once: its output,
  // its codec's goodbye and its transport's close (a close_notify) get one try, and its
  // socket drains. REQUIRES: ConnectionLock held, inside a quiet's work.
  void EndUncarried(const std::vector<core::Socket>& sockets, std::string_view text);
  // In the new process, after its doors are added and before its threads start: takes
  // in the carried connections as they were, each on the door of its name; one whose
  // door is gone or whose codec cannot read its record is closed and logged. Their line
  // handlers hear Admitted again for those admitted, and nothing is logged or sent.
  // Returns the sockets taken in (none from a record ReadCarriedLayer refuses).
  // REQUIRES: ConnectionLock held.
  std::vector<core::Socket> Adopt(const CarriedLayer& carried);

  // For the last moments of the process: sends every backlog, waiting for slow sockets
  // until `limit` has passed, then closes every transport (a TLS close_notify).
  // REQUIRES: ConnectionLock held (and kept until the end).
  void SendEverything(std::chrono::milliseconds limit);

 private:
  class Reader;
  // A socket the server is done with, on its way out (layer_end.cpp).
  struct Closing {
    core::Socket socket = core::kNoSocket;
    std::unique_ptr<Transport> transport;
    std::string last;     // bytes to try once before the close
    bool drain = false;   // read and drop the peer's bytes a while before the close
  };
  struct Draining {
    LimitClock::time_point until{};
    std::size_t dropped = 0;
  };
  struct Handover {
    core::Socket socket = core::kNoSocket;
    std::size_t door = 0;
    base::Address peer;
    Endpoints local;
    int uid = -1;
  };

  // Transports whose work elsewhere is done (a TLS handshake step), by handle and
  // order, for the input thread's next turn. Shared with that work, which may end after
  // the layer: its wake-up is a descriptor of its own, and once the layer is gone
  // nothing is added.
  struct Resumes {
    ~Resumes();
    void Add(core::Socket socket, std::uint64_t order);
    // A duplicate of the layer's eventfd, made with the first connection of a TLS door
    // (ReadyForWorkElsewhere) before any Add: a server without TLS spends no descriptor on it.
    int wakeUp = -1;
    std::mutex mutex;
    bool open = true;  // guarded by mutex, as is `due`
    std::vector<std::pair<core::Socket, std::uint64_t>> due;
  };

  // Makes Resumes' wake-up descriptor if it is not made yet. False when it cannot be
  // made (no descriptor left): the connection that needs it is refused.
  bool ReadyForWorkElsewhere();

  struct QuietWork {
    core::Socket except = core::kNoSocket;
    std::function<bool(bool settled)> ready;
    std::function<void()> then;
  };
  // layer_carry.cpp
  void CheckQuiet();
  core::Socket AdoptOne(std::string_view record);
  // layer_take.cpp
  Connection* Find(core::Socket s) const;
  // The one place a record becomes part of the layer, for a connection taken in and for
  // one carried over an upgrade alike: filed by its handle and put in every set its
  // fields call for (its deadline, its pause, its waiting lines and output, its end).
  Connection& Enter(std::unique_ptr<Connection> made);
  void TakeHandedOver();
  std::string_view Admission(const Door& door, const Peer& peer, bool handshakeToCome);
  bool WithinHandshakeRate(const Door& door, const Peer& peer);
  void Refuse(core::Socket socket, const Door& door, Codec& codec, std::string_view text);
  void ApplyProxySource(Connection& c);
  std::string_view ForwardedClient(Connection& c, const base::Address& client);
  void StartIfReady(Connection& c);
  void Admit(Connection& c);
  void SetDeadline(Connection& c, LimitClock::time_point when);
  void DropLoginDeadlineIfInPlay(Connection& c);
  // layer_read.cpp
  std::size_t ReadSocket(Connection& c);
  void NoteRead(Connection& c, const IoResult& result);
  std::size_t ReadProxyHeader(Connection& c);
  void FeedCodec(Connection& c, const Moment& now);
  void TellLearned(Connection& c, std::string_view client, bool screenReader);
  void AddFrame(Connection& c, FrameKind kind, std::string_view text);
  std::pair<FrameKind, std::string> TakeFrame(Connection& c);
  bool WithinPace(Connection& c, LimitClock::time_point now);
  void Sweep(LimitClock::time_point now);
  void ResumePaused(LimitClock::time_point now);
  void EndStalledReaders(LimitClock::time_point now);
  void EndOverdue(LimitClock::time_point now);
  int MillisecondsToNextDeadline(LimitClock::time_point now) const;
  void UpdateInterest(Connection& c);
  void MarkDirty(Connection& c);
  void SetInterests();
  void ChargeUnits(Connection& c, std::size_t units, LimitClock::time_point now);
  void Pause(Connection& c, LimitClock::time_point until);
  bool WithinBudget(Connection& c, LimitClock::time_point now);
  void SpendBudget(Connection& c, std::size_t bytes, LimitClock::time_point now);
  void ResumeReading(LimitClock::time_point now);
  void FeedPending(const Moment& now);
  void NoteBuffered(Connection& c);
  void EnforceMemoryCap();
  // layer_resume.cpp
  void ResumeTransports();
  void TakeAdmittedThroughProxy();
  // layer_write.cpp
  void Queue(Connection& c, std::string_view bytes);
  void NoteUnsent(Connection& c);
  std::string WhyOverflowed(const Connection& c, std::string_view cap,
                            LimitClock::time_point now) const;
  void HandOverBacklogs();
  void WriteSending(Connection& c);
  void WriteHandedOver();
  void NoteWrites(Connection& c);
  void NoteAllWrites();  // NoteWrites for every connection written since the last
  // layer_end.cpp
  void BeginEnding(Connection& c, ConnectionState state, std::string_view why = {});
  bool ReadyToEnd(const Connection& c) const;
  void End(Connection& c);
  void EndConnectionsReadyToEnd();
  void CloseSockets();
  void StartDraining(core::Socket socket);
  void Drain(core::Socket socket);
  void EndDrains(LimitClock::time_point now, bool all);

  AddressLimits limits_;
  Caps caps_;
  std::vector<Door> doors_;  // made before the threads start, read-only afterwards
  int waitSet_ = -1;         // epoll
  int wakeUp_ = -1;          // eventfd: another thread has work for RunOnce

  // --- Guarded by ConnectionLock. -------------------------------------------------------
  core::Outbox outbox_{this};
  BanList bans_;
  std::vector<std::unique_ptr<Connection>> byHandle_;  // indexed by handle; changed by
                                                       // the input thread alone
  std::size_t live_ = 0;
  std::size_t dataCarriers_ = 0;  // connections whose codec can carry data (MayWantData)
  std::uint64_t nextOrder_ = 1;
  std::uint64_t linesHandled_ = 0;
  AddressBook book_;
  std::atomic<std::uint64_t> bannedRefusals_{0};
  std::size_t buffered_ = 0;  // the memory of all unsent output and waiting input (Caps::maxBufferedBytes)
  // Connections whose codec holds input it has not worked through (Codec::Pending).
  std::set<std::pair<std::uint64_t, core::Socket>> pendingCodecs_;
  // Connections with complete lines waiting, in accept order.
  std::set<std::pair<std::uint64_t, core::Socket>> withLines_;
  // Connections that left the Open state and must be ended once their lines are done.
  std::vector<core::Socket> ending_;
  // Connections over their pace of lines, by the time they may go on. They are not in
  // withLines_ meanwhile, so the input thread does not spin on them.
  std::set<std::pair<LimitClock::time_point, core::Socket>> paused_;
  // The nodes of the two sets below, which every connection taken in or sent a burst
  // fills at once: kept apart from the connections' records (connection/node_pool.h).
  NodePool timedNodes_{48};  // a node of std::set, on 64-bit libstdc++
  using TimedSocket = std::pair<LimitClock::time_point, core::Socket>;
  using TimedSockets = std::set<TimedSocket, std::less<TimedSocket>, PoolAllocator<TimedSocket>>;
  // Connections whose unsent output is above the soft cap, by when it went above.
  TimedSockets overSoft_{TimedSockets::allocator_type(&timedNodes_)};
  // Connections with a deadline: to be admitted, or to be gone after closing.
  TimedSockets deadlines_{TimedSockets::allocator_type(&timedNodes_)};
  // Connections with output for this turn's writes, first come first served. Frames
  // for anyone but the lock holder's own connection wait here, so a line heard by a
  // crowd, or a world tick, costs its sender and the lock holder no system calls.
  std::vector<core::Socket> toWrite_;
  std::size_t toWriteHead_ = 0;
  // Connections whose line ran this turn: their output is handed over first.
  std::vector<core::Socket> answered_;
  // Connections whose wish for input changed: their epoll interest is set this turn.
  std::vector<core::Socket> dirty_;
  // Unsent output per limited key, over all its connections.
  std::unordered_map<base::Address, std::size_t, base::AddressHash> keyBacklog_;
  std::optional<QuietWork> quiet_;
  bool inRunOnce_ = false;  // RunOnce holds the lock: no need to wake it
  bool busy_ = false;       // lines or output were left for the next turn
  std::string encoded_;     // a frame through its codec, reused

  // --- The input thread's own, without the lock. ----------------------------------------
  int logDue_ = -1;  // milliseconds until the log's held lines are due (core::FlushLogWhenDue)
  std::vector<core::Socket> readyToWrite_;   // connections whose sending is written this turn
  bool awaitedWrite_ = false;          // one of them waits for its output to leave (ending, or HTTP)
  std::vector<core::Socket> written_;        // connections whose sending shrank or failed
  std::vector<Closing> closing_;       // ended this turn: written, closed after the lock
  std::unordered_map<core::Socket, Draining> draining_;  // closed for writing, read and dropped
  std::set<std::pair<LimitClock::time_point, core::Socket>> drainDeadlines_;
  // The byte budgets of the limited addresses, and the connections whose reading waits
  // for theirs, by when it may go on.
  std::unordered_map<base::Address, ByteBudget, base::AddressHash> keyBudgets_;
  std::set<std::pair<LimitClock::time_point, core::Socket>> readPaused_;
  LimitClock::time_point lastBudgetPrune_{};
  std::array<char, 64 * 1024> readBuffer_{};       // a socket's bytes before the transport
  // Connections whose transport took up its work from elsewhere this turn: fed to their
  // codecs under the lock.
  std::vector<core::Socket> resumed_;
  // Connections of a TLS door admitted this turn once their proxy named the client:
  // what came after the header goes to the transport at the end of the turn.
  std::vector<core::Socket> admittedThroughProxy_;
  // The wait until the next deadline, as the last turn left it (-1: none). Read by the
  // next turn before it takes the lock.
  std::atomic<int> nextDue_{-1};
  std::atomic<bool> quietAsked_{false};  // quiet_ is set: RunOnce looks at it every few ms
  // Held by the input thread while it does I/O without ConnectionLock, and by
  // SendEverything, which writes from another thread at the end of the process.
  std::mutex ioMutex_;

  // Every socket the layer holds: handed over, live, closing or draining. Checked by
  // the accept thread against Caps::maxConnections.
  std::atomic<std::size_t> sockets_{0};
  std::atomic<std::size_t> handingOver_{0};  // accepted, not yet taken in
  void CloseSocket(core::Socket socket);
  // The sockets of doors with a cap of their own (Door::ownCap), with their door, from
  // their accept to their close; they count towards that cap and not the others'.
  bool TakeOwnCapped(core::Socket socket, std::size_t door);
  std::mutex ownCappedLock_;  // guards ownCapped_ only
  std::unordered_map<core::Socket, std::size_t> ownCapped_;
  std::atomic<std::size_t> ownCappedCount_{0};

  const std::shared_ptr<Resumes> resumes_ = std::make_shared<Resumes>();
  std::mutex handoverLock_;  // guards posted_ and handedOver_ only
  std::vector<std::function<void()>> posted_;
  std::vector<Handover> handedOver_;
};

}  // namespace connection
