// The reading half of the connection layer: sockets read through their transports,
// the bytes fed to the codecs, the sweeps, the pace of lines and the deadlines.
#include <sys/epoll.h>

#include <algorithm>

#include "connection/connection_layer.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace connection {

namespace {

bool IsPaused(const Connection& c) { return c.pausedUntil != LimitClock::time_point{}; }
bool HasLines(const Connection& c) { return !c.waiting.Empty(); }
// Its lines are not taken now: over its pace, or held by the game.
bool LinesWait(const Connection& c) { return IsPaused(c) || c.held; }

}  // namespace

// What a codec reports while the layer feeds it one connection's bytes.
class ConnectionLayer::Reader final : public CodecEvents {
 public:
  Reader(ConnectionLayer& layer, Connection& c, const Moment& now) : layer_(layer), c_(c), now_(now) {}
  void Line(std::string_view text) override { layer_.AddFrame(c_, FrameKind::Line, text); }
  void TooLong() override { layer_.AddFrame(c_, FrameKind::TooLong, {}); }
  void Admitted() override { admitted_ = true; }
  void Finished() override { finished_ = true; }
  const Moment& Now() const override { return now_; }
  bool admitted_ = false;
  bool finished_ = false;

 private:
  ConnectionLayer& layer_;
  Connection& c_;
  const Moment& now_;
};

// Once, without the lock: what has arrived, through the transport, into `received`.
void ConnectionLayer::ReadSocket(Connection& c) {
  if (c.proxyStep != Connection::ProxyStep::None) {
    ReadProxyHeader(c);
    return;
  }
  const IoResult result = c.transport->Receive(c.socket, readBuffer_, c.received);
  switch (result.state) {
    case IoState::Done:
      c.readThisTurn = true;  // plaintext, or a handshake that moved on
      break;
    case IoState::WouldBlock:
      break;
    case IoState::Closed:
    case IoState::Reset:
    case IoState::Failed:
      c.readEnded = true;
      c.readEnd = result;
      c.readThisTurn = true;
      break;
  }
}

// Without the lock: the first bytes of a connection of a proxied door. From a trusted
// proxy they are its PROXY header, whose source is applied under the lock; from anyone
// else they must not be one. Either way the bytes after go to the transport, in order.
void ConnectionLayer::ReadProxyHeader(Connection& c) {
  // Enough of a stream to tell a PROXY header ("PROXY ", or version 2's 12-byte
  // signature) from anything else.
  constexpr std::size_t kSignatureBytes = 12;
  std::string_view bytes;
  const IoResult read = connection::ReadSocket(c.socket, readBuffer_, bytes);
  if (read.state == IoState::WouldBlock) return;
  c.readThisTurn = true;
  if (read.state != IoState::Done) {
    c.readEnded = true;
    c.readEnd = read;
    return;
  }
  const auto end = [&](std::string why) {
    c.readEnded = true;
    c.readEnd = {IoState::Failed, 0, 0, std::move(why)};
  };
  net::ProxyHeaderReader& reader = *c.proxyReader;
  const std::size_t taken = reader.Feed(bytes);
  std::string_view rest = bytes.substr(taken);
  if (c.proxyStep == Connection::ProxyStep::Header) {
    if (reader.state() == net::ProxyHeaderReader::State::kReading) return;
    if (reader.state() == net::ProxyHeaderReader::State::kRefused) {
      end("PROXY header refused: " + std::string(reader.reason()));
      return;
    }
    c.proxySource = reader.source();
    c.proxyRead = true;
  } else {
    c.proxyHeld.append(bytes.substr(0, taken));
    const bool notHeader = reader.state() == net::ProxyHeaderReader::State::kRefused &&
                           reader.reason() == std::string_view("not a PROXY header");
    if (!notHeader) {
      if (reader.state() != net::ProxyHeaderReader::State::kReading || c.proxyHeld.size() >= kSignatureBytes) {
        end("a PROXY header from an address that is not a trusted proxy");
      }
      return;
    }
    rest = bytes;  // all of them: the reader only looked
    c.proxyHeld.erase(c.proxyHeld.size() - taken);
  }
  c.proxyStep = Connection::ProxyStep::None;
  c.proxyReader.reset();
  IoResult result;
  if (!c.proxyHeld.empty()) result = c.transport->Take(c.socket, c.proxyHeld, c.received);
  std::string().swap(c.proxyHeld);
  if (!rest.empty() && result.state == IoState::Done) result = c.transport->Take(c.socket, rest, c.received);
  if (result.state != IoState::Done && result.state != IoState::WouldBlock) {
    c.readEnded = true;
    c.readEnd = result;
  }
}

// With the lock: the bytes read this turn through the codec, and the end of reading.
void ConnectionLayer::FeedCodec(Connection& c, const Moment& now) {
  c.readThisTurn = false;
  if (c.proxyRead) ApplyProxySource(c);
  StartIfReady(c);
  if (!c.received.empty()) {
    if (c.state == ConnectionState::Open && c.started) {
      core::LogSource source(c.peer.key, c.peer.limited);
      Reader events(*this, c, now);
      std::string toPeer;
      c.codec->Read(c.received, events, toPeer);
      Queue(c, toPeer);
      if (events.admitted_ && !c.admitted) Admit(c);
      if (events.finished_) BeginEnding(c, ConnectionState::Finished);
    }
    if (c.received.capacity() > 4096) {
      std::string().swap(c.received);  // an idle connection keeps no read's buffer
    } else {
      c.received.clear();
    }
  }
  if (c.readEnded && c.state == ConnectionState::Open) {
    switch (c.readEnd.state) {
      case IoState::Closed:
        BeginEnding(c, ConnectionState::PeerClosed, "closed by the client");
        break;
      case IoState::Reset:
        BeginEnding(c, ConnectionState::Reset, "reset by the client");
        break;
      default:
        if (!c.readEnd.why.empty()) {
          BeginEnding(c, ConnectionState::Dismissed, c.readEnd.why);  // the protocol below the codec
        } else {
          c.recvError = c.readEnd.error;
          BeginEnding(c, ConnectionState::RecvFailed, "a read failed");
        }
        break;
    }
  }
  MarkDirty(c);
}

void ConnectionLayer::AddFrame(Connection& c, FrameKind kind, std::string_view text) {
  if (!HasLines(c) && !LinesWait(c)) withLines_.emplace(c.order, c.socket);
  c.waiting.Append(static_cast<char>(kind));
  c.waiting.Append(text);
  c.waiting.Append('\0');
}

// Takes the next waiting frame. REQUIRES: HasLines(c).
std::pair<FrameKind, std::string> ConnectionLayer::TakeFrame(Connection& c) {
  const std::string_view waiting = c.waiting.View();
  const std::size_t end = waiting.find('\0');
  std::pair<FrameKind, std::string> frame{static_cast<FrameKind>(waiting[0]),
                                          std::string(waiting.substr(1, end - 1))};
  c.waiting.Consume(end + 1);
  if (!HasLines(c)) withLines_.erase({c.order, c.socket});
  return frame;
}

// True when a line of `c` may run now; otherwise pauses the connection until it may.
bool ConnectionLayer::WithinPace(Connection& c, LimitClock::time_point now) {
  if (!c.peer.limited) return true;
  LimitClock::time_point readyAt;
  if (c.pace.Take(limits_.maxLinesPerSecond, now, readyAt)) return true;
  core::LogSource source(c.peer.key, c.peer.limited);
  const std::string line = book_.NoteRefusal(c.peer.key, LimitKind::LinesPerSecond);
  if (!line.empty()) core::Log(line);
  withLines_.erase({c.order, c.socket});
  c.pausedUntil = readyAt;
  paused_.emplace(readyAt, c.socket);
  MarkDirty(c);  // nothing more is read until it may go on
  return false;
}

void ConnectionLayer::ResumePaused(LimitClock::time_point now) {
  while (!paused_.empty() && paused_.begin()->first <= now) {
    const Socket socket = paused_.begin()->second;
    paused_.erase(paused_.begin());
    Connection* c = Find(socket);
    if (c == nullptr) continue;
    c->pausedUntil = {};
    if (HasLines(*c) && !c->held) withLines_.emplace(c->order, socket);
    MarkDirty(*c);
  }
}

// Ends the connections whose unsent output has stayed above the soft cap for the
// grace time.
void ConnectionLayer::EndStalledReaders(LimitClock::time_point now) {
  while (!overSoft_.empty() && overSoft_.begin()->first + kSoftBacklogGrace <= now) {
    Connection* c = Find(overSoft_.begin()->second);
    overSoft_.erase(overSoft_.begin());
    if (c == nullptr) continue;
    c->overSince = {};
    BeginEnding(*c, ConnectionState::Overflowed, "it stopped reading: its output stayed over the soft cap");
  }
}

// A connection not admitted in time is let go unheard; one whose last output has not
// left in time loses it.
void ConnectionLayer::EndOverdue(LimitClock::time_point now) {
  while (!deadlines_.empty() && deadlines_.begin()->first <= now) {
    Connection* c = Find(deadlines_.begin()->second);
    deadlines_.erase(deadlines_.begin());
    if (c == nullptr) continue;
    c->deadline = {};
    if (!c->admitted) {
      BeginEnding(*c, ConnectionState::Dismissed, "not admitted in time");
    } else if (HasLines(*c) || c->held) {
      SetDeadline(*c, now + kLingerTime);  // its lines are still being answered
    } else {
      BeginEnding(*c, ConnectionState::SendFailed, "its last output did not leave in time");
    }
  }
}

// How long RunOnce may wait before something is due: milliseconds for epoll_wait, -1
// for no limit.
int ConnectionLayer::MillisecondsToNextDeadline(LimitClock::time_point now) const {
  LimitClock::time_point next = LimitClock::time_point::max();
  if (!paused_.empty()) next = paused_.begin()->first;
  if (!overSoft_.empty()) next = std::min(next, overSoft_.begin()->first + kSoftBacklogGrace);
  if (!deadlines_.empty()) next = std::min(next, deadlines_.begin()->first);
  if (!drainDeadlines_.empty()) next = std::min(next, drainDeadlines_.begin()->first);
  if (next == LimitClock::time_point::max()) return -1;
  if (next <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
  return static_cast<int>(std::min<std::int64_t>(wait.count(), 60'000));
}

// One sweep: at most one waiting line of every connection, in accept order.
void ConnectionLayer::Sweep(LimitClock::time_point now) {
  const std::vector<std::pair<std::uint64_t, Socket>> turn(withLines_.begin(), withLines_.end());
  for (const auto& [order, socket] : turn) {
    Connection* c = Find(socket);
    if (c == nullptr || c->held || !HasLines(*c) || !WithinPace(*c, now)) continue;
    auto [kind, text] = TakeFrame(*c);
    c->lastLine = now;
    ++linesHandled_;
    core::LogSource source(c->peer.key, c->peer.limited);
    if (kind == FrameKind::TooLong) {
      SendText(socket, kLineTooLong);
    } else if (c->door->handler != nullptr && c->door->handler->Line(socket, text)) {
      BeginEnding(*c, ConnectionState::Dismissed, "ended by the game");
    }
    MarkDirty(*c);  // room for more input
  }
}

// Input is wanted while the connection is open, within its pace and has room for more
// lines; writability while it has output the socket did not take.
void ConnectionLayer::UpdateInterest(Connection& c) {
  std::uint32_t wanted = 0;
  if (c.wantRead && !c.readEnded) wanted |= EPOLLIN;
  if (!c.sending.Empty() || c.transport->WantsWrite()) wanted |= EPOLLOUT;
  if (!c.watched || wanted == c.interest) return;
  epoll_event event{};
  event.events = wanted;
  event.data.fd = c.socket;
  ::epoll_ctl(waitSet_, EPOLL_CTL_MOD, c.socket, &event);
  c.interest = wanted;
}

// Notes that the connection's wish for input may have changed; the input thread sets
// its interest before it waits again.
void ConnectionLayer::MarkDirty(Connection& c) {
  dirty_.push_back(c.socket);
  if (!inRunOnce_) Wake();
}

void ConnectionLayer::SetInterests() {
  for (const Socket socket : dirty_) {
    Connection* c = Find(socket);
    if (c == nullptr) continue;
    c->wantRead = c->state == ConnectionState::Open && !IsPaused(*c) &&
                  c->waiting.Size() < kMaxWaitingInputBytes;
    UpdateInterest(*c);
  }
  dirty_.clear();
}

}  // namespace connection
