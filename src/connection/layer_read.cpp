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
  void Done() override { done_ = true; }
  void Unit(std::size_t count) override { units_ += count; }
  const Moment& Now() const override { return now_; }
  std::string_view ClientIs(const base::Address& client) override { return layer_.ForwardedClient(c_, client); }
  void ClientNamed(std::string_view name) override { client_.assign(name); }
  void ScreenReaderAsked() override { screenReader_ = true; }
  // After the codec's read: what it reported beside the lines.
  void Apply() {
    if (admitted_ && !c_.admitted) layer_.Admit(c_);
    if (done_) layer_.BeginEnding(c_, ConnectionState::CodecDone);
    if (c_.admitted) layer_.TellLearned(c_, client_, screenReader_);
  }
  bool admitted_ = false;
  bool done_ = false;
  std::size_t units_ = 0;
  std::string client_;         // the name the client gave itself, when it came
  bool screenReader_ = false;  // the client asked for screen-reader mode

 private:
  ConnectionLayer& layer_;
  Connection& c_;
  const Moment& now_;
};

// Once, without the lock: what has arrived, through the transport, into `received`.
// Returns the bytes read from the socket.
std::size_t ConnectionLayer::ReadSocket(Connection& c) {
  if (c.proxyStep != Connection::ProxyStep::None) {
    const std::size_t bytes = ReadProxyHeader(c);
    c.TrimAside();  // the header read, most connections need it no more
    return bytes;
  }
  const IoResult result = c.transport->Receive(c.socket, readBuffer_, c.received);
  NoteRead(c, result);
  return result.bytes;
}

// Without the lock: what a transport's read came to, for FeedCodec.
void ConnectionLayer::NoteRead(Connection& c, const IoResult& result) {
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
      c.Aside().readEnd = result;
      c.readThisTurn = true;
      break;
  }
}

// Without the lock: the first bytes of a connection of a proxied door. From a trusted
// proxy they are its PROXY header, whose source is applied under the lock; from anyone
// else they must not be one. Either way the bytes after go to the transport, in order.
std::size_t ConnectionLayer::ReadProxyHeader(Connection& c) {
  // Enough of a stream to tell a PROXY header ("PROXY ", or version 2's 12-byte
  // signature) from anything else.
  constexpr std::size_t kSignatureBytes = 12;
  std::string_view bytes;
  const IoResult read = connection::ReadSocket(c.socket, readBuffer_, bytes);
  if (read.state == IoState::WouldBlock) return 0;
  c.readThisTurn = true;
  if (read.state != IoState::Done) {
    c.readEnded = true;
    c.Aside().readEnd = read;
    return 0;
  }
  const auto end = [&](std::string why) {
    c.readEnded = true;
    c.Aside().readEnd = {IoState::Failed, 0, 0, std::move(why)};
  };
  // Made with the first bytes: a connection that sends none costs no reader.
  InputAside& aside = c.Aside();
  if (aside.proxyReader == nullptr) aside.proxyReader = std::make_unique<net::ProxyHeaderReader>();
  net::ProxyHeaderReader& reader = *aside.proxyReader;
  const std::size_t taken = reader.Feed(bytes);
  std::string_view rest = bytes.substr(taken);
  if (c.proxyStep == Connection::ProxyStep::Header) {
    if (reader.state() == net::ProxyHeaderReader::State::kReading) {
      aside.proxyBytes.append(bytes);
      return bytes.size();
    }
    std::string().swap(aside.proxyBytes);
    if (reader.state() == net::ProxyHeaderReader::State::kRefused) {
      end("PROXY header refused: " + std::string(reader.reason()));
      return bytes.size();
    }
    aside.proxySource = reader.source();
    c.proxyRead = true;
  } else {
    aside.proxyBytes.append(bytes.substr(0, taken));
    const bool notHeader = reader.state() == net::ProxyHeaderReader::State::kRefused &&
                           reader.reason() == std::string_view("not a PROXY header");
    if (!notHeader) {
      if (reader.state() != net::ProxyHeaderReader::State::kReading || aside.proxyBytes.size() >= kSignatureBytes) {
        end("a PROXY header from an address that is not a trusted proxy");
      }
      return bytes.size();
    }
    rest = bytes;  // all of them: the reader only looked
    aside.proxyBytes.erase(aside.proxyBytes.size() - taken);
  }
  c.proxyStep = Connection::ProxyStep::None;
  aside.proxyReader.reset();
  if (c.proxyRead && c.door->makeTransport) {
    // The client's TLS handshake waits until the bans and the limits have taken in the
    // client the header names (ApplyProxySource): a refused one costs no handshake.
    aside.proxyBytes.assign(rest);
    return bytes.size();
  }
  IoResult result;
  if (!aside.proxyBytes.empty()) result = c.transport->Take(c.socket, aside.proxyBytes, c.received);
  std::string().swap(aside.proxyBytes);
  if (!rest.empty() && result.state == IoState::Done) result = c.transport->Take(c.socket, rest, c.received);
  if (result.state != IoState::Done && result.state != IoState::WouldBlock) {
    c.readEnded = true;
    aside.readEnd = result;
  }
  return bytes.size();
}

// With the lock: the bytes read this turn through the codec, and the end of reading.
void ConnectionLayer::FeedCodec(Connection& c, const Moment& now) {
  c.readThisTurn = false;
  if (c.proxyRead) {
    ApplyProxySource(c);
    if (c.aside != nullptr && !c.aside->proxyBytes.empty() && c.state == ConnectionState::Open) {
      admittedThroughProxy_.push_back(c.socket);
    }
  }
  StartIfReady(c);
  if (!c.received.empty()) {
    if (c.state == ConnectionState::Open && c.started) {
      core::LogSource source(c.peer.key, c.peer.limited);
      Reader events(*this, c, now);
      std::string toPeer;
      c.codec->Read(c.received, events, toPeer);
      Queue(c, toPeer);
      events.Apply();
      ChargeUnits(c, events.units_, now.monotonic);
      if (c.codec->Pending()) pendingCodecs_.emplace(c.order, c.socket);
    }
    std::string().swap(c.received);  // an idle connection keeps no read's buffer
  }
  if (c.readEnded && c.state == ConnectionState::Open) {
    const IoResult& readEnd = c.Aside().readEnd;
    switch (readEnd.state) {
      case IoState::Closed:
        BeginEnding(c, ConnectionState::PeerClosed, "closed by the client");
        break;
      case IoState::Reset:
        BeginEnding(c, ConnectionState::Reset, "reset by the client");
        break;
      default:
        if (!readEnd.why.empty()) {
          BeginEnding(c, ConnectionState::ServerEndsNow, readEnd.why);  // the protocol below the codec
        } else {
          c.recvError = readEnd.error;
          BeginEnding(c, ConnectionState::RecvFailed, "a read failed");
        }
        break;
    }
  }
  MarkDirty(c);
}

// What a codec learned of its client: the client's name in the log, and a wish for
// screen-reader mode to the line handler. A line of its own, so that the connection's
// first lines stay as they are.
void ConnectionLayer::TellLearned(Connection& c, std::string_view client, bool screenReader) {
  if (!client.empty() && c.door->logged) {
    core::Log(std::to_string(static_cast<unsigned>(c.socket)) + " uses the client " + core::EscapeForLog(client) + "\n");
  }
  if (screenReader && c.door->handler != nullptr) c.door->handler->ScreenReaderAsked(c.socket);
}

void ConnectionLayer::AddFrame(Connection& c, FrameKind kind, std::string_view text) {
  if (!HasLines(c) && !LinesWait(c)) withLines_.emplace(c.order, c.socket);
  c.waiting.Append(static_cast<char>(kind));
  c.waiting.Append(text);
  c.waiting.Append('\0');
  NoteBuffered(c);
}

// Takes the next waiting frame. REQUIRES: HasLines(c).
std::pair<FrameKind, std::string> ConnectionLayer::TakeFrame(Connection& c) {
  const std::string_view waiting = c.waiting.View();
  const std::size_t end = waiting.find('\0');
  std::pair<FrameKind, std::string> frame{static_cast<FrameKind>(waiting[0]),
                                          std::string(waiting.substr(1, end - 1))};
  c.waiting.Consume(end + 1);
  if (!HasLines(c)) withLines_.erase({c.order, c.socket});
  NoteBuffered(c);
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
  Pause(c, readyAt);
  return false;
}

// Over its pace: its lines wait and nothing more is read until `until`.
void ConnectionLayer::Pause(Connection& c, LimitClock::time_point until) {
  if (c.pausedUntil != LimitClock::time_point{}) {
    if (until <= c.pausedUntil) return;
    paused_.erase({c.pausedUntil, c.socket});
  }
  withLines_.erase({c.order, c.socket});
  c.pausedUntil = until;
  paused_.emplace(until, c.socket);
  MarkDirty(c);
}

// The units of work a read cost, against the connection's pace.
void ConnectionLayer::ChargeUnits(Connection& c, std::size_t units, LimitClock::time_point now) {
  LimitClock::time_point readyAt;
  if (!c.peer.limited || c.pace.Charge(limits_.maxLinesPerSecond, units, now, readyAt)) return;
  core::LogSource source(c.peer.key, c.peer.limited);
  const std::string line = book_.NoteRefusal(c.peer.key, LimitKind::LinesPerSecond);
  if (!line.empty()) core::Log(line, core::LogPriority::Warning);
  Pause(c, readyAt);
}

// Without the lock: whether a limited connection's budget, and its address's, leave
// room to read now; if not, its reading waits until they do.
bool ConnectionLayer::WithinBudget(Connection& c, LimitClock::time_point now) {
  if (!c.peer.limited) return true;
  LimitClock::time_point ready = c.budget.ReadyAt(caps_.connectionBytesPerSecond, now);
  const auto key = keyBudgets_.find(c.peer.key);
  if (key != keyBudgets_.end()) ready = std::max(ready, key->second.ReadyAt(caps_.addressBytesPerSecond, now));
  if (ready <= now) return true;
  c.readPausedUntil = ready;
  readPaused_.emplace(ready, c.socket);
  UpdateInterest(c);
  return false;
}

void ConnectionLayer::SpendBudget(Connection& c, std::size_t bytes, LimitClock::time_point now) {
  if (!c.peer.limited || bytes == 0) return;
  c.budget.Spend(caps_.connectionBytesPerSecond, bytes, now);
  keyBudgets_[c.peer.key].Spend(caps_.addressBytesPerSecond, bytes, now);
}

// Without the lock: the connections whose budgets have room again are read again; and
// now and then the budgets that are full again are forgotten.
void ConnectionLayer::ResumeReading(LimitClock::time_point now) {
  while (!readPaused_.empty() && readPaused_.begin()->first <= now) {
    const core::Socket socket = readPaused_.begin()->second;
    readPaused_.erase(readPaused_.begin());
    Connection* c = Find(socket);
    if (c == nullptr) continue;
    c->readPausedUntil = {};
    UpdateInterest(*c);
  }
  if (now - lastBudgetPrune_ < std::chrono::seconds(10)) return;
  lastBudgetPrune_ = now;
  std::erase_if(keyBudgets_, [&](const auto& entry) {
    return entry.second.ReadyAt(caps_.addressBytesPerSecond, now - std::chrono::seconds(2)) <
           now - std::chrono::seconds(2);
  });
}

void ConnectionLayer::ResumePaused(LimitClock::time_point now) {
  while (!paused_.empty() && paused_.begin()->first <= now) {
    const core::Socket socket = paused_.begin()->second;
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
    BeginEnding(*c, ConnectionState::Overflowed,
                WhyOverflowed(*c,
                              "its output stayed over " + std::to_string(kSoftBacklogBytes / 1024) +
                                  " KiB for " + std::to_string(kSoftBacklogGrace.count()) + " s",
                              now));
    c->overSince = {};
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
      BeginEnding(*c, ConnectionState::ServerEndsNow, "not admitted in time");
    } else if (c->state == ConnectionState::Open) {
      // The login time of a player is up: in play by now, or held by a login whose
      // password is being checked (a little longer), or let go.
      if (c->door->handler == nullptr || c->door->handler->InPlay(c->socket)) continue;
      if (c->held) {
        SetDeadline(*c, now + std::chrono::seconds(5));
      } else {
        BeginEnding(*c, ConnectionState::ServerEndsNow,
                    "did not enter play within " + std::to_string(caps_.loginWithin.count()) + " s");
      }
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
  if (!readPaused_.empty()) next = std::min(next, readPaused_.begin()->first);
  if (next == LimitClock::time_point::max()) return -1;
  if (next <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
  return static_cast<int>(std::min<std::int64_t>(wait.count(), 60'000));
}

// One sweep: at most one waiting line of every connection, in accept order.
void ConnectionLayer::Sweep(LimitClock::time_point now) {
  if (quiet_) return;  // an upgrade is waiting for what is in flight: lines wait
  const std::vector<std::pair<std::uint64_t, core::Socket>> turn(withLines_.begin(), withLines_.end());
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
      BeginEnding(*c, ConnectionState::ServerEndsNow, "ended by the game");
    }
    DropLoginDeadlineIfInPlay(*c);
    MarkDirty(*c);  // room for more input
    answered_.push_back(socket);
  }
}

// The codecs that hold input they have not worked through get it again, one request
// each, once their connection's answers have left.
void ConnectionLayer::FeedPending(const Moment& now) {
  const std::vector<std::pair<std::uint64_t, core::Socket>> turn(pendingCodecs_.begin(), pendingCodecs_.end());
  for (const auto& entry : turn) {
    Connection* c = Find(entry.second);
    if (c == nullptr || c->state != ConnectionState::Open || !c->codec->Pending()) {
      pendingCodecs_.erase(entry);
      if (c != nullptr) MarkDirty(*c);
      continue;
    }
    if (c->unsent != 0 || IsPaused(*c)) continue;
    pendingCodecs_.erase(entry);
    core::LogSource source(c->peer.key, c->peer.limited);
    Reader events(*this, *c, now);
    std::string toPeer;
    c->codec->Read({}, events, toPeer);
    Queue(*c, toPeer);
    events.Apply();
    ChargeUnits(*c, events.units_, now.monotonic);
    if (c->codec->Pending()) pendingCodecs_.insert(entry);
    MarkDirty(*c);
  }
}

}  // namespace connection
