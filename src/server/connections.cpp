#include "server/connections.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include "server/connection_lock.h"
#include "server/connection_internals.h"
#include "server/log.h"
#include "server/outbox.h"

namespace server {

std::vector<Socket> ConnectionTable;

namespace {

// --- State below is guarded by ConnectionLock. ---------------------------------------
std::vector<std::unique_ptr<Connection>> ByHandle;  // indexed by handle
std::uint64_t NextOrder = 0;
// Connections with complete lines waiting, in ConnectionTable order.
std::set<std::pair<std::uint64_t, Socket>> WithLines;
// Connections that left the Open state and must be ended once their lines are done.
std::vector<Socket> Ending;
// Connections over their pace of lines, by the time they may go on. They are not in
// WithLines meanwhile, so the input thread does not spin on them.
std::set<std::pair<LimitClock::time_point, Socket>> Paused;
// Connections whose backlog is above the soft cap, by when it went above.
std::set<std::pair<LimitClock::time_point, Socket>> OverSoft;

GameHandlers Game;  // set before the threads start

// Set once by InitConnections, before the threads start.
int WaitSet = -1;  // epoll
int WakeUp = -1;   // eventfd: another thread has work for the input thread

}  // namespace

namespace internal {

Connection* Find(Socket s) {
  const auto index = static_cast<std::size_t>(s);
  return s >= 0 && index < ByHandle.size() ? ByHandle[index].get() : nullptr;
}

bool DropsOutput(ConnectionState state) {
  return state == ConnectionState::SendFailed || state == ConnectionState::Overflowed ||
         state == ConnectionState::Dismissed;
}

bool OutputWanted(const Connection& c) { return !DropsOutput(c.state); }

bool IsPaused(const Connection& c) { return c.pausedUntil != LimitClock::time_point{}; }

namespace {
thread_local bool InputThread = false;
}

bool OnInputThread() { return InputThread; }
void MarkInputThread() { InputThread = true; }

void Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(WakeUp, &one, sizeof one);
}

// Asks epoll for what the connection needs now: input while it is open, within its
// pace and has room for more lines, writability while it has a backlog.
void UpdateInterest(Connection& c) {
  std::uint32_t wanted = 0;
  if (c.state == ConnectionState::Open && !IsPaused(c) &&
      c.waiting.Size() < kMaxWaitingInputBytes)
    wanted |= EPOLLIN;
  if (!c.backlog.Empty()) wanted |= EPOLLOUT;
  if (!c.watched || wanted == c.interest) return;
  epoll_event event{};
  event.events = wanted;
  event.data.fd = c.socket;
  ::epoll_ctl(WaitSet, EPOLL_CTL_MOD, c.socket, &event);
  c.interest = wanted;
}

// Keeps OverSoft in step with the size of the connection's backlog.
void NoteBacklogSize(Connection& c) {
  const bool over = c.backlog.Size() > kSoftBacklogBytes;
  const bool was = c.overSince != LimitClock::time_point{};
  if (over == was) return;
  if (over) {
    c.overSince = LimitClock::now();
    OverSoft.emplace(c.overSince, c.socket);
  } else {
    OverSoft.erase({c.overSince, c.socket});
    c.overSince = {};
  }
}

// Leaves the Open state; the input thread ends the connection when its turn comes.
void BeginEnding(Connection& c, ConnectionState why) {
  if (c.state == ConnectionState::Open) {
    c.state = why;
    Ending.push_back(c.socket);
  } else if (why == ConnectionState::Dismissed || (DropsOutput(why) && OutputWanted(c))) {
    // A connection already ending may still lose its output, and the server's own
    // decision to end it outranks every other reason: no further line of it runs.
    c.state = why;
  }
  if (!OutputWanted(c)) {
    c.backlog.Clear();
    NoteBacklogSize(c);
  }
  UpdateInterest(c);
  Wake();
}

}  // namespace internal

namespace {

using namespace internal;

bool HasLines(const Connection& c) { return !c.waiting.Empty(); }

void AddFrame(Connection& c, FrameKind kind, std::string_view text) {
  if (!HasLines(c) && !IsPaused(c)) WithLines.emplace(c.order, c.socket);
  c.waiting.Append(static_cast<char>(kind));
  c.waiting.Append(text);
  c.waiting.Append(net::kFrameEnd);
}

// Takes the next waiting frame. REQUIRES: HasLines(c).
std::pair<FrameKind, std::string> TakeFrame(Connection& c) {
  const std::string_view waiting = c.waiting.View();
  const std::size_t end = waiting.find(net::kFrameEnd);
  std::pair<FrameKind, std::string> frame{static_cast<FrameKind>(waiting[0]),
                                          std::string(waiting.substr(1, end - 1))};
  c.waiting.Consume(end + 1);
  if (!HasLines(c)) WithLines.erase({c.order, c.socket});
  return frame;
}

// Reads what has arrived on an open connection, once.
void ReadFrom(Connection& c) {
  static char buffer[64 * 1024];  // used by the input thread only
  ssize_t n;
  do {
    n = ::recv(c.socket, buffer, sizeof buffer, 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    c.splitter.Feed(
        std::string_view(buffer, static_cast<std::size_t>(n)),
        [&](std::string_view text) { AddFrame(c, FrameKind::Line, text); },
        [&] { AddFrame(c, FrameKind::TooLong, {}); });
  } else if (n == 0) {
    BeginEnding(c, ConnectionState::PeerClosed);
  } else if (errno == ECONNRESET) {
    BeginEnding(c, ConnectionState::Reset);
  } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
    c.recvError = errno;
    BeginEnding(c, ConnectionState::RecvFailed);
  }
  UpdateInterest(c);
}

// True when a line of `c` may run now; otherwise pauses the connection until it may.
bool WithinPace(Connection& c, LimitClock::time_point now) {
  if (!c.limited || c.state == ConnectionState::Dismissed) return true;
  LimitClock::time_point readyAt;
  if (c.pace.Take(Addresses().Limits().maxLinesPerSecond, now, readyAt)) return true;
  LogFirstRefusal(c.address, LimitKind::LinesPerSecond);
  WithLines.erase({c.order, c.socket});
  c.pausedUntil = readyAt;
  Paused.emplace(readyAt, c.socket);
  UpdateInterest(c);  // nothing more is read until it may go on
  return false;
}

// Lets the paused connections whose time has come go on.
void ResumePaused(LimitClock::time_point now) {
  while (!Paused.empty() && Paused.begin()->first <= now) {
    const Socket socket = Paused.begin()->second;
    Paused.erase(Paused.begin());
    Connection* c = Find(socket);
    if (c == nullptr) continue;
    c->pausedUntil = {};
    if (HasLines(*c)) WithLines.emplace(c->order, socket);
    UpdateInterest(*c);
  }
}

// Ends the connections whose backlog has stayed above the soft cap for the grace time.
void EndStalledReaders(LimitClock::time_point now) {
  while (!OverSoft.empty() && OverSoft.begin()->first + kSoftBacklogGrace <= now) {
    Connection* c = Find(OverSoft.begin()->second);
    OverSoft.erase(OverSoft.begin());
    if (c == nullptr) continue;
    c->overSince = {};
    BeginEnding(*c, ConnectionState::Overflowed);
  }
}

// How long the input thread may wait before a paused connection goes on or a stalled
// reader is due: milliseconds for epoll_wait, -1 for no limit.
int MillisecondsToNextDeadline(LimitClock::time_point now) {
  LimitClock::time_point next = LimitClock::time_point::max();
  if (!Paused.empty()) next = Paused.begin()->first;
  if (!OverSoft.empty()) next = std::min(next, OverSoft.begin()->first + kSoftBacklogGrace);
  if (next == LimitClock::time_point::max()) return -1;
  if (next <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
  return static_cast<int>(std::min<std::int64_t>(wait.count(), 60'000));
}

// One sweep: at most one waiting line of every connection, in ConnectionTable order.
void Sweep() {
  const std::vector<std::pair<std::uint64_t, Socket>> turn(WithLines.begin(), WithLines.end());
  const LimitClock::time_point now = LimitClock::now();
  for (const auto& [order, socket] : turn) {
    Connection* c = Find(socket);
    if (c == nullptr || !HasLines(*c) || !WithinPace(*c, now)) continue;
    auto [kind, text] = TakeFrame(*c);
    if (c->state == ConnectionState::Dismissed) continue;
    if (kind == FrameKind::TooLong) {
      BeginAnswering(socket);
      QueueMessage(socket, "Line too long.");
      FlushOutbox();
      EndAnswering();
    } else {
      BeginAnswering(socket);
      const bool dismissed = Game.line(socket, std::move(text));
      EndAnswering();
      if (dismissed) BeginEnding(*c, ConnectionState::Dismissed);
    }
    if (c->state == ConnectionState::Open) UpdateInterest(*c);  // room for more input
  }
}

// A connection is done when it is ending and nothing of it is left to do.
bool ReadyToEnd(const Connection& c) {
  if (c.state == ConnectionState::Dismissed) return true;
  if (HasLines(c)) return false;
  // A peer that only closed its sending side still gets the answers to its lines.
  return c.state != ConnectionState::PeerClosed || c.backlog.Empty();
}

void End(Connection& c) {
  const Socket socket = c.socket;
  if (c.state == ConnectionState::RecvFailed) {
    Log("Error recv: " + std::to_string(c.recvError) + "\n");
  } else {
    Log(std::to_string(static_cast<unsigned>(socket)) + " disconnected\n");
  }
  Game.ended(socket);
  WithLines.erase({c.order, socket});
  if (IsPaused(c)) Paused.erase({c.pausedUntil, socket});
  if (c.overSince != LimitClock::time_point{}) OverSoft.erase({c.overSince, socket});
  Addresses().Disconnect(c.address);
  ::epoll_ctl(WaitSet, EPOLL_CTL_DEL, socket, nullptr);
  if (c.state == ConnectionState::Dismissed) {
    // Input left unread would make the close a reset, which can destroy the last answer
    // before the client reads it.
    static char buffer[4096];
    for (int i = 0; i < 64 && ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT) > 0; ++i) {
    }
    ::shutdown(socket, SHUT_WR);
  }
  ConnectionTable.erase(std::find(ConnectionTable.begin(), ConnectionTable.end(), socket));
  ByHandle[static_cast<std::size_t>(socket)].reset();
  net::CloseSocket(socket);
}

void EndFinishedConnections() {
  std::vector<Socket> still;
  for (const Socket socket : Ending) {
    Connection* c = Find(socket);
    if (c == nullptr) continue;
    if (ReadyToEnd(*c)) {
      End(*c);
    } else {
      still.push_back(socket);
    }
  }
  Ending = std::move(still);
}

}  // namespace

void SetGameHandlers(GameHandlers handlers) { Game = handlers; }

bool InitConnections(int& error) {
  WaitSet = ::epoll_create1(EPOLL_CLOEXEC);
  WakeUp = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (WaitSet < 0 || WakeUp < 0) {
    error = errno;
    return false;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = WakeUp;
  if (::epoll_ctl(WaitSet, EPOLL_CTL_ADD, WakeUp, &event) != 0) {
    error = errno;
    return false;
  }
  return true;
}

Connection& RegisterConnection(Socket socket, std::uint32_t address) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto index = static_cast<std::size_t>(socket);
  if (index >= ByHandle.size()) ByHandle.resize(std::max(index + 1, ByHandle.size() * 2));
  ByHandle[index] = std::make_unique<Connection>();
  Connection& c = *ByHandle[index];
  c.socket = socket;
  c.order = NextOrder++;
  c.address = address;
  c.limited = !Addresses().Trusted(address);
  c.interest = EPOLLIN;
  epoll_event event{};
  event.events = c.interest;
  event.data.fd = socket;
  ::epoll_ctl(WaitSet, EPOLL_CTL_ADD, socket, &event);
  ConnectionTable.push_back(socket);
  return c;
}

bool LimitedAddressOf(Socket socket, std::uint32_t& address) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Connection* c = Find(socket);
  if (c == nullptr || !c->limited) return false;
  address = c->address;
  return true;
}

void InputLoop() {
  MarkInputThread();
  std::vector<epoll_event> events(1024);
  bool busy = false;  // lines wait for the next sweep: look for input without waiting
  int timeout = -1;   // until the next paused connection or stalled reader is due
  for (;;) {
    const int count = ::epoll_wait(WaitSet, events.data(), static_cast<int>(events.size()),
                                   busy ? 0 : timeout);
    std::lock_guard<FairLock> guard(ConnectionLock);
    for (int i = 0; i < count; ++i) {
      const epoll_event& event = events[static_cast<std::size_t>(i)];
      if (event.data.fd == WakeUp) {
        std::uint64_t ignored;
        [[maybe_unused]] const ssize_t n = ::read(WakeUp, &ignored, sizeof ignored);
        continue;
      }
      Connection* c = Find(event.data.fd);
      if (c == nullptr) continue;
      if ((event.events & EPOLLOUT) != 0) SendBacklog(*c);
      if (c->state == ConnectionState::Open && (event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
        ReadFrom(*c);
      } else if ((event.events & (EPOLLHUP | EPOLLERR)) != 0 && c->state == ConnectionState::PeerClosed) {
        BeginEnding(*c, ConnectionState::SendFailed);  // nobody is left to read the answers
      }
      if ((event.events & (EPOLLHUP | EPOLLERR)) != 0 && c->state != ConnectionState::Open) {
        // A hung-up socket is reported at every wait, and its waiting lines may take a
        // while at their pace: stop watching it rather than spin.
        ::epoll_ctl(WaitSet, EPOLL_CTL_DEL, c->socket, nullptr);
        c->watched = false;
      }
    }
    const LimitClock::time_point now = LimitClock::now();
    ResumePaused(now);
    EndStalledReaders(now);
    Sweep();
    WriteSome();
    EndFinishedConnections();
    busy = !WithLines.empty() || OutputWaiting();
    timeout = MillisecondsToNextDeadline(LimitClock::now());
  }
}

}  // namespace server
