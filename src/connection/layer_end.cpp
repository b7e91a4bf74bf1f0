// How connections end: the states on the way out, the record let go with the lock
// held, and the socket's last bytes, its close and its drain after the lock.
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "connection/connection_layer.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace connection {

namespace {

// The server itself ends the connection, whatever its peer may still be sending.
bool ServerEnds(ConnectionState state) {
  return state == ConnectionState::ServerEndsAfterOutput || state == ConnectionState::ServerEndsNow ||
         state == ConnectionState::CodecDone;
}

}  // namespace

// Leaves the Open state; the connection ends when its turn comes. Any holder of the
// lock may call it: what needs the input thread (the interest, the sending part of the
// output) is done on its next turn.
void ConnectionLayer::BeginEnding(Connection& c, ConnectionState state, std::string_view why) {
  if (c.state == ConnectionState::Open) {
    c.state = state;
    c.SetWhy(why);
    ending_.push_back(c.socket);
    if (state == ConnectionState::PeerClosed || state == ConnectionState::CodecDone ||
        state == ConnectionState::ServerEndsAfterOutput) {
      SetDeadline(c, LimitClock::now() + kLingerTime);  // its last output must leave by then
    }
  } else if (state == ConnectionState::ServerEndsNow || (DropsOutput(state) && !DropsOutput(c.state))) {
    // A connection already ending may still lose its output, and the server's own
    // decision to end it now outranks every other reason: no further line of it runs.
    c.state = state;
    c.SetWhy(why);
  }
  if (c.state == ConnectionState::ServerEndsNow || c.state == ConnectionState::ServerEndsAfterOutput) {
    c.waiting.Clear();
    withLines_.erase({c.order, c.socket});
    NoteBuffered(c);
  }
  if (DropsOutput(c.state)) {
    c.backlog.Clear();
    c.unsent = 0;
    NoteUnsent(c);
  }
  MarkDirty(c);
}

void ConnectionLayer::EndNow(core::Socket socket, std::string_view why) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (Connection* c = Find(socket)) BeginEnding(*c, ConnectionState::ServerEndsNow, why);
}

bool ConnectionLayer::EndAfterOutput(core::Socket socket) {
  ASSERT_CONNECTION_LOCK_HELD();
  Connection* c = Find(socket);
  if (c == nullptr || !c->admitted || c->state != ConnectionState::Open) return false;
  BeginEnding(*c, ConnectionState::ServerEndsAfterOutput, "removed by the console");
  return true;
}

// A connection is done when it is ending and nothing of it is left to do.
bool ConnectionLayer::ReadyToEnd(const Connection& c) const {
  if (c.state == ConnectionState::ServerEndsNow) return true;
  if (c.state != ConnectionState::ServerEndsAfterOutput && (!c.waiting.Empty() || c.held)) return false;
  // A peer that only closed its sending side still gets the answers to its lines.
  const bool closing = c.state == ConnectionState::PeerClosed ||
                       c.state == ConnectionState::CodecDone || c.state == ConnectionState::ServerEndsAfterOutput;
  return !closing || (c.backlog.Empty() && c.sending.Empty());
}

// Lets the record go, with the lock held; its socket is written one last time and
// closed after the lock (CloseSockets).
void ConnectionLayer::End(Connection& c) {
  const core::Socket socket = c.socket;
  {
    core::LogSource source(c.peer.key, c.peer.limited);
    const std::string handle = std::to_string(static_cast<unsigned>(socket));
    if (c.state == ConnectionState::RecvFailed) {
      core::Log("Error recv: " + std::to_string(c.recvError) + "\n", core::LogPriority::Error);
    } else if (c.admitted && c.door->logged) {
      core::Log(handle + " disconnected\n");
    }
    if (c.door->logged) {
      std::string line = handle + " ended: " + (c.Logged().why.empty() ? "done" : c.Logged().why);
      const std::string holder =
          c.admitted && c.door->handler != nullptr ? c.door->handler->Holder(socket) : std::string();
      if (!holder.empty()) line += "; it held " + holder;
      core::Log(core::EscapeForLog(line) + "\n");
    }
  }
  if (c.admitted && c.door->handler != nullptr) c.door->handler->Ended(socket);
  withLines_.erase({c.order, socket});
  pendingCodecs_.erase({c.order, socket});
  if (c.readPausedUntil != LimitClock::time_point{}) readPaused_.erase({c.readPausedUntil, socket});
  if (c.pausedUntil != LimitClock::time_point{}) paused_.erase({c.pausedUntil, socket});
  if (c.overSince != LimitClock::time_point{}) overSoft_.erase({c.overSince, socket});
  if (c.deadline != LimitClock::time_point{}) deadlines_.erase({c.deadline, socket});
  c.unsent = 0;
  c.waiting.Clear();
  NoteUnsent(c);
  if (c.peer.limited) book_.Disconnect(c.peer.key);
  if (c.watched) ::epoll_ctl(waitSet_, EPOLL_CTL_DEL, socket, nullptr);
  Closing closing{socket, std::move(c.transport), {}, ServerEnds(c.state)};
  if (c.state == ConnectionState::ServerEndsNow || c.state == ConnectionState::ServerEndsAfterOutput) {
    // The server's own close: what it queued gets one last try, then the codec's
    // goodbye, if it has one.
    closing.last = c.sending.View();
    closing.last += c.backlog.View();
    if (c.admitted) c.codec->Goodbye(closing.last);
  }
  closing_.push_back(std::move(closing));
  if (c.codec->CarriesData()) --dataCarriers_;
  byHandle_[static_cast<std::size_t>(socket)].reset();
  --live_;
}

void ConnectionLayer::EndConnectionsReadyToEnd() {
  std::vector<core::Socket> still;
  for (const core::Socket socket : ending_) {
    Connection* c = Find(socket);
    if (c == nullptr) continue;
    if (ReadyToEnd(*c)) {
      End(*c);
    } else {
      still.push_back(socket);
    }
  }
  ending_ = std::move(still);
}

// Without the lock: the last bytes of the sockets ended this turn, and their close. A
// socket the server closes while its peer may still be sending is drained first, so
// the close is no reset that could destroy the last answer before the client reads it.
void ConnectionLayer::CloseSockets() {
  for (Closing& closing : closing_) {
    if (!closing.last.empty()) closing.transport->Send(closing.socket, closing.last);
    closing.transport->Close(closing.socket);
    if (closing.drain && ::shutdown(closing.socket, SHUT_WR) == 0) {
      StartDraining(closing.socket);
    } else {
      CloseSocket(closing.socket);
    }
  }
  closing_.clear();
}

void ConnectionLayer::StartDraining(core::Socket socket) {
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = socket;
  if (::epoll_ctl(waitSet_, EPOLL_CTL_ADD, socket, &event) != 0) {
    CloseSocket(socket);
    return;
  }
  const LimitClock::time_point until = LimitClock::now() + kDrainTime;
  draining_[socket] = {until, 0};
  drainDeadlines_.emplace(until, socket);
  Drain(socket);
}

// Reads and drops what the peer of a draining socket sent; closes it at the peer's
// close, at an error, or once it has dropped enough.
void ConnectionLayer::Drain(core::Socket socket) {
  const auto it = draining_.find(socket);
  if (it == draining_.end()) return;
  for (;;) {
    const ssize_t n = ::recv(socket, readBuffer_.data(), readBuffer_.size(), MSG_DONTWAIT);
    if (n > 0) {
      it->second.dropped += static_cast<std::size_t>(n);
      if (it->second.dropped < kDrainBytes) continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return;
    } else if (n < 0 && errno == EINTR) {
      continue;
    }
    break;
  }
  drainDeadlines_.erase({it->second.until, socket});
  draining_.erase(it);
  ::epoll_ctl(waitSet_, EPOLL_CTL_DEL, socket, nullptr);
  CloseSocket(socket);
}

// Closes the draining sockets whose time is up, or all of them.
void ConnectionLayer::EndDrains(LimitClock::time_point now, bool all) {
  while (!drainDeadlines_.empty() && (all || drainDeadlines_.begin()->first <= now)) {
    const core::Socket socket = drainDeadlines_.begin()->second;
    drainDeadlines_.erase(drainDeadlines_.begin());
    draining_.erase(socket);
    ::epoll_ctl(waitSet_, EPOLL_CTL_DEL, socket, nullptr);
    CloseSocket(socket);
  }
}

}  // namespace connection
