// The writing half of the connection layer: the Outbox's frame sink, and the backlogs
// the input thread writes after each sweep. Everything here requires ConnectionLock.
#include <sys/epoll.h>

#include <deque>

#include "server/connection_internals.h"
#include "server/connection_lock.h"

namespace server {

using namespace internal;

namespace {

// --- State below is guarded by ConnectionLock. ---------------------------------------
// Connections with output waiting to be written by the input thread, first come first
// served. Frames for anyone but the connection whose line is being answered wait here,
// so a line heard by a whole crowd, or a world tick, costs its sender and the lock
// holder no system calls; the input thread writes a bounded number per sweep.
std::deque<Socket> ToWrite;
// The connection whose line the input thread is answering now, or kNoSocket.
Socket Answering = net::kNoSocket;

// Backlogs written per sweep, so writing to a crowd never holds up answering.
constexpr std::size_t kWritesPerSweep = 128;

}  // namespace

namespace internal {

void SendBacklog(Connection& c) {
  if (!OutputWanted(c) || c.backlog.Empty()) return;
  int error = 0;
  const long sent = net::SendSome(c.socket, c.backlog.View(), error);
  if (sent < 0) {
    BeginEnding(c, ConnectionState::SendFailed);
    return;
  }
  c.backlog.Consume(static_cast<std::size_t>(sent));
  NoteBacklogSize(c);
  UpdateInterest(c);
}

// What a socket does not take is left to its EPOLLOUT.
void WriteSome() {
  for (std::size_t n = 0; n < kWritesPerSweep && !ToWrite.empty(); ++n) {
    Connection* c = Find(ToWrite.front());
    ToWrite.pop_front();
    if (c == nullptr || !c->queuedForWrite) continue;
    c->queuedForWrite = false;
    SendBacklog(*c);
  }
}

bool OutputWaiting() { return !ToWrite.empty(); }

}  // namespace internal

void BeginAnswering(Socket socket) {
  ASSERT_CONNECTION_LOCK_HELD();
  Answering = socket;
}

void EndAnswering() {
  ASSERT_CONNECTION_LOCK_HELD();
  Answering = net::kNoSocket;
}

void SendFrame(Socket destination, std::string_view frame) {
  ASSERT_CONNECTION_LOCK_HELD();
  Connection* c = Find(destination);
  if (c == nullptr || !OutputWanted(*c)) return;
  const bool idle = c->backlog.Empty();
  if (idle && destination == Answering) {
    // The answer to the line in hand leaves at once.
    int error = 0;
    const long sent = net::SendSome(destination, frame, error);
    if (sent < 0) {
      BeginEnding(*c, ConnectionState::SendFailed);
      return;
    }
    frame.remove_prefix(static_cast<std::size_t>(sent));
    if (frame.empty()) return;
  }
  if (c->backlog.Size() + frame.size() > kHardBacklogBytes) {
    BeginEnding(*c, ConnectionState::Overflowed);  // a client that stopped reading
    return;
  }
  c->backlog.Append(frame);
  NoteBacklogSize(*c);
  if (destination == Answering) {
    UpdateInterest(*c);  // the socket is full: EPOLLOUT sends the rest
  } else if (!c->queuedForWrite && (c->interest & EPOLLOUT) == 0) {
    c->queuedForWrite = true;
    if (ToWrite.empty() && !OnInputThread()) Wake();
    ToWrite.push_back(destination);
  }
}

}  // namespace server
