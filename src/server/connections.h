// Connections: one record per live client connection, ConnectionTable in accept
// order, and the writing of frames with a bounded backlog per connection. Everything
// here is guarded by ConnectionLock; the accept thread registers connections, the
// input thread reads, sweeps and ends them, and any holder of the lock may send.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/frame.h"
#include "net/socket.h"

namespace server {

using net::Socket;

// Output a connection may leave unsent before it counts as gone.
inline constexpr std::size_t kMaxBacklogBytes = 256 * 1024;
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
  Overflowed,   // it stopped reading and its backlog passed the cap: as SendFailed
  Dismissed,    // the server ends it (failed logins): its waiting lines are dropped
};

struct Connection {
  Socket socket = net::kNoSocket;
  std::uint64_t order = 0;  // accept sequence number: the ConnectionTable order
  ConnectionState state = ConnectionState::Open;
  int recvError = 0;  // errno of a failed read, for the log
  net::FrameSplitter splitter{net::kMaxLineBytes};
  // Complete input frames waiting for a sweep, each stored as one kind byte ('L' a
  // line, 'T' a frame that was too long), its text and a NUL; the first starts at
  // waitingHead.
  std::string waiting;
  std::size_t waitingHead = 0;
  std::string backlog;  // output a send did not take yet, in order
  std::size_t backlogHead = 0;
  std::uint32_t interest = 0;  // the epoll events asked for now
  bool queuedForWrite = false;  // in the input thread's queue of backlogs to write
};

// The handles of live connections, in accept order.
extern std::vector<Socket> ConnectionTable;

// Sets up the wait set the input thread waits on. Returns false with `error` set when
// the kernel refuses. Call once, before the threads start.
bool InitConnections(int& error);

// Makes the record of a newly accepted connection and adds it to ConnectionTable.
// This is the only place a Connection is made. REQUIRES: ConnectionLock held.
Connection& RegisterConnection(Socket socket);

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
