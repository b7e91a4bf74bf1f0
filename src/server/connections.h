// Connections: one record per live client connection, ConnectionTable in accept
// order, and the writing of frames with a bounded backlog per connection (the reading
// half is connections.cpp, the writing half output.cpp). Everything here is guarded by
// ConnectionLock; the accept thread registers connections, the input thread reads,
// sweeps and ends them, and any holder of the lock may send.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/frame.h"
#include "net/socket.h"
#include "server/address_limits.h"
#include "server/byte_queue.h"

namespace server {

using net::Socket;

// Unsent output: a connection is ended when its backlog passes the hard cap, or stays
// above the soft cap for the grace time (a client that stopped reading). A client that
// keeps reading is never cut off by a burst.
inline constexpr std::size_t kHardBacklogBytes = 4 * 1024 * 1024;
inline constexpr std::size_t kSoftBacklogBytes = 256 * 1024;
inline constexpr auto kSoftBacklogGrace = std::chrono::seconds(10);
// Complete input lines a connection may have waiting before the server stops reading
// from it until the sweeps have caught up.
inline constexpr std::size_t kMaxWaitingInputBytes = 64 * 1024;

// Why a connection is being ended. Until its record goes, a connection is in one state.
enum class ConnectionState {
  Open,         // reading and answering
  PeerClosed,   // a read gave 0 bytes: its waiting lines are answered, then it ends
  Reset,        // reset by the peer: its waiting lines are handled, then it ends
  RecvFailed,   // a read failed otherwise: as Reset, logged as "Error recv: "
  SendFailed,   // the peer cannot take output any more: as Reset, output is dropped
  Overflowed,   // it stopped reading and its backlog passed a cap: as SendFailed
  Dismissed,    // the server ends it (failed logins): its waiting lines are dropped,
                // whatever state it was in before
};

// What a waiting input frame is.
enum class FrameKind : char {
  Line = 'L',     // a line to handle
  TooLong = 'T',  // a frame that passed the limit: answered "Line too long."
};

struct Connection {
  Socket socket = net::kNoSocket;
  std::uint64_t order = 0;  // accept sequence number: the ConnectionTable order
  std::uint32_t address = 0;  // the client's IPv4 address, host byte order
  bool limited = false;       // outside the trusted blocks: held to the address limits
  ConnectionState state = ConnectionState::Open;
  int recvError = 0;  // errno of a failed read, for the log
  net::FrameSplitter splitter{net::kMaxLineBytes};
  // Complete input frames waiting for a sweep, each stored as its FrameKind, its text
  // and a NUL.
  ByteQueue waiting{4096};
  ByteQueue backlog{0};  // output a send did not take yet, in order
  std::uint32_t interest = 0;  // the epoll events asked for now
  bool watched = true;         // in the epoll set (a hung-up socket leaves it early)
  bool queuedForWrite = false;  // in the input thread's queue of backlogs to write
  LinePace pace;                // lines handled per second, when limited
  // Set while the connection is over its pace: its lines wait, nothing more is read,
  // until this time on the monotonic clock. Empty (the epoch) otherwise.
  LimitClock::time_point pausedUntil{};
  // When the backlog last went above kSoftBacklogBytes; the epoch while it is below.
  LimitClock::time_point overSince{};
};

// What the connection layer gives the game, registered once before the threads start.
// Both are called by the input thread with ConnectionLock held.
struct GameHandlers {
  // Handles one complete line of `connection`; returns true when the game wants the
  // connection ended now (its later lines are then dropped unread).
  bool (*line)(Socket connection, std::string line) = nullptr;
  // `connection` has ended: the game lets go of everything it kept for it.
  void (*ended)(Socket connection) = nullptr;
};
void SetGameHandlers(GameHandlers handlers);

// The handles of live connections, in accept order.
extern std::vector<Socket> ConnectionTable;

// Sets up the wait set the input thread waits on. Returns false with `error` set when
// the kernel refuses. Call once, before the threads start.
bool InitConnections(int& error);

// Makes the record of a newly accepted connection from `address` (IPv4, host byte
// order) and adds it to ConnectionTable. This is the only place a Connection is made.
// The caller has counted it with Addresses().Connect. REQUIRES: ConnectionLock held.
Connection& RegisterConnection(Socket socket, std::uint32_t address);

// Sets `address` to the address of the live connection `socket` and returns true when
// that address is held to the limits; false (leaving `address`) for a trusted address
// or a handle that is no live connection. REQUIRES: ConnectionLock held.
bool LimitedAddressOf(Socket socket, std::uint32_t& address);

// The frame sink of the Outbox. The answer to the line the input thread is handling
// is sent at once, as far as the socket takes it; every other frame joins its
// connection's backlog, in order, and the input thread writes it after the sweep.
// Frames for handles that are not live connections, or whose output is no longer
// wanted, are dropped. REQUIRES: ConnectionLock held.
void SendFrame(Socket destination, std::string_view frame);

// Between these two, frames for `socket` (the connection the lock holder is serving:
// the line being answered, the connection being greeted) are sent at once instead of
// waiting for the input thread. REQUIRES: ConnectionLock held.
void BeginAnswering(Socket socket);
void EndAnswering();

// The input thread's body: waits for input, reads it, sweeps, ends connections.
// Never returns.
void InputLoop();

}  // namespace server
