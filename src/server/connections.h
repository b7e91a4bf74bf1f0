// The connection layer: one record per client connection of every door, and the one
// place that reads and writes their sockets. A connection carries its door's codec
// (server/codec.h), which turns its bytes into lines and the game's frames into bytes;
// the layer keeps the rules every door shares: the order lines are handled in, their
// pace, the bounds on input and on unsent output, and how a connection ends.
//
// Everything here is guarded by ConnectionLock. The accept thread takes connections
// in, the input thread runs RunOnce over and over, and any holder of the lock may send.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "net/socket.h"
#include "server/address_limits.h"
#include "server/byte_queue.h"
#include "server/codec.h"

namespace server {

using net::Socket;

// The first frame every new player gets.
inline constexpr std::string_view kWelcome =
    "Welcome to Pelthollow! Type \"help\" for a list of commands.";

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
// A connection that is not a player yet (HTTP before its WebSocket) must become one
// this soon after it connected; one that is closing must have sent its last bytes.
inline constexpr auto kAdmitTime = std::chrono::seconds(10);
inline constexpr auto kLingerTime = std::chrono::seconds(10);

// Why a connection is being ended. Until its record goes, a connection is in one state.
enum class ConnectionState {
  Open,         // reading and answering
  PeerClosed,   // a read gave 0 bytes: its waiting lines are answered, then it ends
  Finished,     // its codec is done (a close, an HTTP answer): as PeerClosed
  Reset,        // reset by the peer: its waiting lines are handled, then it ends
  RecvFailed,   // a read failed otherwise: as Reset, logged as "Error recv: "
  SendFailed,   // the peer cannot take output any more: as Reset, output is dropped
  Overflowed,   // it stopped reading and its backlog passed a cap: as SendFailed
  Dismissed,    // the server ends it (failed logins, too late): its waiting lines are
                // dropped, whatever state it was in before
};

// What a waiting input frame is.
enum class FrameKind : char {
  Line = 'L',     // a line to handle
  TooLong = 'T',  // a line that passed the limit: answered "Line too long."
};

struct Connection {
  Socket socket = net::kNoSocket;
  std::uint64_t order = 0;    // accept sequence number: the order of sweeps
  std::uint32_t address = 0;  // the client's IPv4 address, host byte order
  bool limited = false;       // outside the trusted blocks: held to the address limits
  bool playing = false;       // admitted as a player: logged, welcomed, known to the game
  bool held = false;          // its next line waits until the game releases it (Hold)
  ConnectionState state = ConnectionState::Open;
  int recvError = 0;  // errno of a failed read, for the log
  std::unique_ptr<Codec> codec;
  // Complete input frames waiting for a sweep, each stored as its FrameKind, its text
  // and a NUL.
  ByteQueue waiting{4096};
  ByteQueue backlog{0};  // output a send did not take yet, in order
  std::uint32_t interest = 0;   // the epoll events asked for now
  bool watched = true;          // in the epoll set (a hung-up socket leaves it early)
  bool queuedForWrite = false;  // in the queue of backlogs to write after the sweep
  LinePace pace;                // lines handled per second, when limited
  // Set while the connection is over its pace: its lines wait, nothing more is read,
  // until this time on the monotonic clock. Empty (the epoch) otherwise.
  LimitClock::time_point pausedUntil{};
  // When the backlog last went above kSoftBacklogBytes; the epoch while it is below.
  LimitClock::time_point overSince{};
  // When the connection must be admitted or gone; the epoch when nothing is due.
  LimitClock::time_point deadline{};
  std::size_t countedBacklog = 0;  // the part of its address's unsent output that is its
  LimitClock::time_point lastLine{};  // when it connected or its last line was handled
};

// One live connection as the operator's console and the metrics see it.
struct ConnectionSummary {
  Socket socket = net::kNoSocket;
  std::uint32_t address = 0;  // IPv4, host byte order
  const char* door = "";      // its codec's DoorName
  bool playing = false;
  LimitClock::time_point lastLine{};
  std::size_t backlog = 0;  // unsent bytes
};

// What the connection layer gives the game. Both are called with ConnectionLock held,
// for players only (a connection that was admitted).
struct GameHandlers {
  // Handles one complete line of `connection`; returns true when the game wants the
  // connection ended now (its later lines are then dropped unread).
  bool (*line)(Socket connection, const std::string& line) = nullptr;
  // `connection` has ended: the game lets go of everything it kept for it.
  void (*ended)(Socket connection) = nullptr;
};

class ConnectionLayer {
 public:
  explicit ConnectionLayer(GameHandlers game) : game_(game) {}
  ~ConnectionLayer();  // closes every connection's socket and the wait set
  ConnectionLayer(const ConnectionLayer&) = delete;
  ConnectionLayer& operator=(const ConnectionLayer&) = delete;

  // Sets up the wait set. Returns false with `error` set when the kernel refuses.
  bool Init(int& error);

  // Takes in a connected, non-blocking socket from `address` (IPv4, host byte order)
  // with its codec, through the per-address limits: a refused one is told so by its
  // codec and closed. A codec whose peer plays from the start is admitted now (logged
  // "New connection from ...", welcomed); the others must be admitted within
  // kAdmitTime. The layer owns `socket` from then on. REQUIRES: ConnectionLock held.
  void Take(Socket socket, std::uint32_t address, std::unique_ptr<Codec> codec);

  // Sends one frame (its text and a NUL, as the Outbox makes it) through the codec of
  // `destination`. The answer to the line being handled is sent at once, as far as the
  // socket takes it; other frames join the backlog, written after the sweep. Frames
  // for handles that are no live connection, or whose output is no longer wanted, are
  // dropped. REQUIRES: ConnectionLock held.
  void SendFrame(Socket destination, std::string_view frame);

  // Structured data: whether the live player `destination`'s codec takes messages of
  // `package`, and one message ("Package.Name json") through it, sent as frames are.
  // REQUIRES: ConnectionLock held.
  bool WantsData(Socket destination, std::string_view package) const;
  void SendData(Socket destination, std::string_view message);

  // Between these two, frames for `socket` (the connection being answered or
  // greeted) are sent at once. REQUIRES: ConnectionLock held.
  void BeginAnswering(Socket socket) { answering_ = socket; }
  void EndAnswering() { answering_ = net::kNoSocket; }

  // Sets `address` to the address of the live connection `socket` and returns true
  // when it is held to the limits. REQUIRES: ConnectionLock held.
  bool LimitedAddressOf(Socket socket, std::uint32_t& address) const;

  // The accept sequence number of the live connection `socket`, which no later
  // connection on a reused handle shares; 0 with false when there is none.
  // REQUIRES: ConnectionLock held.
  bool OrderOf(Socket socket, std::uint64_t& order) const;

  // While the game works on a line elsewhere (a password on the hashing worker), the
  // connection's later lines wait; Release lets them go on, in order. Other
  // connections are answered meanwhile. A held connection that ends waits for its
  // release unless the server ended it. REQUIRES: ConnectionLock held.
  void Hold(Socket socket);
  void Release(Socket socket);

  // Ends `socket` as when the game's line handler asks to (answers from a worker):
  // its waiting lines are dropped. Nothing happens for a handle that is no live
  // connection. REQUIRES: ConnectionLock held.
  void Dismiss(Socket socket);

  // Runs `task` on the input thread with ConnectionLock held, soon (any thread, no lock
  // needed). What it sends is queued like a tick's output unless it calls
  // BeginAnswering itself.
  void Post(std::function<void()> task);

  // One turn of the input thread: waits up to `timeoutMs` (-1: no limit) for input or
  // for the next deadline, then, with ConnectionLock taken, reads what arrived,
  // handles at most one line of every connection, writes backlogs and ends the
  // connections that are done. Waits not at all while lines or output are left over.
  void RunOnce(int timeoutMs);

  // Lets a RunOnce waiting on another thread go on (any thread, no lock needed).
  void Wake();

  // True when the records and every set agree: for tests and fuzzers.
  // REQUIRES: ConnectionLock held.
  bool ConnectionsAreConsistent() const;

  // Live connections, players or not. REQUIRES: ConnectionLock held.
  std::size_t Count() const { return live_; }

  // Every live connection, in ascending handle order. REQUIRES: ConnectionLock held.
  std::vector<ConnectionSummary> Summaries() const;

  // Lines handled since start, over every connection. REQUIRES: ConnectionLock held.
  std::uint64_t LinesHandled() const { return linesHandled_; }

  // The server ends the player connection `socket`: what was sent to it so far still
  // leaves, its waiting lines are dropped and nothing more is read. False when there
  // is no such live connection. REQUIRES: ConnectionLock held.
  bool Remove(Socket socket);

  // For the last moments of the process: sends every backlog, waiting for slow sockets
  // until `limit` has passed. REQUIRES: ConnectionLock held (and kept until the end).
  void SendEverything(std::chrono::milliseconds limit);

 private:
  class Reader;

  Connection* Find(Socket s) const;
  void Admit(Connection& c);
  void ReadFrom(Connection& c);
  void AddFrame(Connection& c, FrameKind kind, std::string_view text);
  std::pair<FrameKind, std::string> TakeFrame(Connection& c);
  bool WithinPace(Connection& c, LimitClock::time_point now);
  void Sweep();
  void ResumePaused(LimitClock::time_point now);
  void EndStalledReaders(LimitClock::time_point now);
  void EndOverdue(LimitClock::time_point now);
  int MillisecondsToNextDeadline(LimitClock::time_point now) const;
  void SetDeadline(Connection& c, LimitClock::time_point when);
  void BeginEnding(Connection& c, ConnectionState why);
  bool ReadyToEnd(const Connection& c) const;
  void End(Connection& c);
  void EndFinishedConnections();
  void UpdateInterest(Connection& c);
  // connection_output.cpp
  void Queue(Connection& c, std::string_view bytes);
  void SendNow(Connection& c, std::string_view bytes);
  void SendBacklog(Connection& c);
  void NoteBacklogSize(Connection& c);
  void WriteSome();

  GameHandlers game_;
  int waitSet_ = -1;  // epoll
  int wakeUp_ = -1;   // eventfd: another thread has work for RunOnce
  std::vector<std::unique_ptr<Connection>> byHandle_;  // indexed by handle
  std::size_t live_ = 0;
  std::uint64_t nextOrder_ = 0;
  std::uint64_t linesHandled_ = 0;
  // Connections with complete lines waiting, in accept order.
  std::set<std::pair<std::uint64_t, Socket>> withLines_;
  // Connections that left the Open state and must be ended once their lines are done.
  std::vector<Socket> ending_;
  // Connections over their pace of lines, by the time they may go on. They are not in
  // withLines_ meanwhile, so the input thread does not spin on them.
  std::set<std::pair<LimitClock::time_point, Socket>> paused_;
  // Connections whose backlog is above the soft cap, by when it went above.
  std::set<std::pair<LimitClock::time_point, Socket>> overSoft_;
  // Connections with a deadline: to be admitted, or to be gone after closing.
  std::set<std::pair<LimitClock::time_point, Socket>> deadlines_;
  // Connections with output for the write after the sweep, first come first served.
  // Frames for anyone but the connection being answered wait here, so a line heard by
  // a crowd, or a world tick, costs its sender and the lock holder no system calls.
  std::vector<Socket> toWrite_;
  std::size_t toWriteHead_ = 0;
  // Unsent output per limited address, over all its connections.
  std::unordered_map<std::uint32_t, std::size_t> addressBacklog_;
  Socket answering_ = net::kNoSocket;  // the connection whose line is being answered
  bool inRunOnce_ = false;             // RunOnce is working: no need to wake it
  bool busy_ = false;                  // lines or output were left for the next turn
  // The wait until the next deadline, as the last turn left it (-1: none). Read by the
  // next turn before it takes the lock.
  std::atomic<int> nextDue_{-1};
  std::string encoded_;                // a frame through its codec, reused
  std::mutex postedLock_;              // guards posted_ only
  std::vector<std::function<void()>> posted_;
};

// The process's connection layer, made by the server before its threads start.
void SetConnections(ConnectionLayer* layer);
ConnectionLayer& Connections();

// The frame and data sinks of the Outbox: the process's layer.
void SendFrame(Socket destination, std::string_view frame);
void SendData(Socket destination, std::string_view message);
bool WantsData(Socket destination, std::string_view package);

// Sets `address` to the address of the live connection `socket` and returns true when
// that address is held to the limits; false for a trusted address, a handle that is no
// live connection, or when no layer runs (the world of a test).
// REQUIRES: ConnectionLock held.
bool LimitedAddressOf(Socket socket, std::uint32_t& address);

}  // namespace server
