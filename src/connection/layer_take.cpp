// Taking connections in: the hand-over from the accept thread, the bans and the limits,
// the start of the codec once the transport is ready, and admission.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <mutex>
#include <tuple>
#include <utility>

#include "connection/bans.h"
#include "connection/connection_layer.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace connection {

ConnectionLayer::ConnectionLayer(AddressLimits limits, Caps caps)
    : limits_(limits), caps_(caps), book_(std::move(limits)) {}

Connection* ConnectionLayer::Find(core::Socket s) const {
  const auto index = static_cast<std::size_t>(s);
  return s >= 0 && index < byHandle_.size() ? byHandle_[index].get() : nullptr;
}

std::size_t ConnectionLayer::AddDoor(Door door) {
  doors_.push_back(std::move(door));
  return doors_.size() - 1;
}

// Counts `socket` against the cap of its door, when that cap has room.
bool ConnectionLayer::TakeOwnCapped(core::Socket socket, std::size_t door) {
  std::lock_guard<std::mutex> guard(ownCappedLock_);
  std::size_t open = 0;
  for (const auto& [s, d] : ownCapped_) open += d == door ? 1 : 0;
  if (open >= doors_.at(door).ownCap) return false;
  ownCapped_.emplace(socket, door);
  ownCappedCount_.fetch_add(1, std::memory_order_relaxed);
  return true;
}

bool ConnectionLayer::Accepted(core::Socket socket, std::size_t door, const base::Address& peer,
                               const Endpoints& local, int uid) {
  const Door& d = doors_.at(door);
  if (d.ownCap != 0 && !TakeOwnCapped(socket, door)) {
    // Told why in its codec's words: the socket has room for them, being new.
    const std::string open = std::to_string(d.ownCap);
    std::string words;
    d.makeCodec(local)->Refuse("Too many " + d.name + " connections are open (" + open + "); try again in a moment.",
                               words);
    [[maybe_unused]] const ssize_t n = ::send(socket, words.data(), words.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(socket);
    core::Log("Refused a connection on " + d.name + ": " + open + " are open.\n", core::LogPriority::Warning);
    return false;
  }
  // The others are held to the cap; those of a door of its own cap's do not count.
  const std::size_t held = sockets_.load(std::memory_order_relaxed) + handingOver_.load(std::memory_order_relaxed);
  const std::size_t own = ownCappedCount_.load(std::memory_order_relaxed);
  if (d.ownCap == 0 && caps_.maxConnections != 0 && held - std::min(held, own) >= caps_.maxConnections) {
    ::close(socket);
    const base::Address key = base::LimitKey(peer);
    core::LogSource source(key, !limits_.Trusted(peer));
    core::Log("Refused a connection from " + base::AddressText(peer) + " on " + doors_.at(door).name +
                  ": the server holds as many connections as it can.\n",
              core::LogPriority::Warning);
    return false;
  }
  handingOver_.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard<std::mutex> guard(handoverLock_);
    handedOver_.push_back({socket, door, peer, local, uid});
  }
  Wake();
  return true;
}

void ConnectionLayer::CloseSocket(core::Socket socket) {
  // Let go before the close: the accept thread may be given the same number at once.
  if (ownCappedCount_.load(std::memory_order_relaxed) != 0) {
    std::lock_guard<std::mutex> guard(ownCappedLock_);
    if (ownCapped_.erase(socket) != 0) ownCappedCount_.fetch_sub(1, std::memory_order_relaxed);
  }
  ::close(socket);
  sockets_.fetch_sub(1, std::memory_order_relaxed);
}

void ConnectionLayer::TakeHandedOver() {
  std::vector<Handover> taken;
  {
    std::lock_guard<std::mutex> guard(handoverLock_);
    taken.swap(handedOver_);
  }
  for (const Handover& h : taken) {
    Take(h.socket, h.door, h.peer, h.local, h.uid);
    handingOver_.fetch_sub(1, std::memory_order_relaxed);
  }
}

// The bans and the limits for a connection from `peer` on `door`, and the rate of TLS
// handshakes when its handshake is to come: empty when it may go on (its live connection then counted),
// otherwise the words it is refused with.
std::string_view ConnectionLayer::Admission(const Door& door, const Peer& peer, bool handshakeToCome) {
  if (!door.counted) return {};
  const std::string who = base::AddressText(peer.address);
  if (Bans().AddressBanned(peer.address, static_cast<std::int64_t>(std::time(nullptr)))) {
    bannedRefusals_.fetch_add(1, std::memory_order_relaxed);
    core::Log("Refused a connection from " + who + " on " + door.name + ": the address is banned.\n",
              core::LogPriority::Warning);
    return kAddressBanned;
  }
  if (peer.limited && !book_.Connect(peer.key)) {
    // The limit's own line once, and one line for each refusal: the log's budget for
    // the address keeps a flood of attempts from flooding the log.
    const std::string line = book_.NoteRefusal(peer.key, LimitKind::Connections);
    if (!line.empty()) core::Log(line, core::LogPriority::Warning);
    core::Log("Refused a connection from " + who + " on " + door.name + ": too many connections.\n",
              core::LogPriority::Warning);
    return kTooManyConnections;
  }
  if (handshakeToCome && door.makeTransport && peer.limited && !WithinHandshakeRate(door, peer)) {
    book_.Disconnect(peer.key);
    return kTooManyHandshakes;
  }
  return {};
}

// A TLS handshake costs the server a key exchange and a signature before it knows
// anything of the client: each limited address has a rate of them, and a connection
// over it is closed before its handshake. A storm of them is logged once a period,
// not once a connection.
bool ConnectionLayer::WithinHandshakeRate(const Door& door, const Peer& peer) {
  const LimitClock::time_point now = LimitClock::now();
  if (book_.HandshakeAllowed(peer.key, now)) return true;
  const std::string line = book_.NoteRefusal(peer.key, LimitKind::Handshakes);
  if (!line.empty()) core::Log(line, core::LogPriority::Warning);
  std::uint64_t unlogged = 0;
  if (book_.LogHandshakeRefusal(peer.key, now, unlogged)) {
    core::Log("Refused a connection from " + base::AddressText(peer.address) + " on " + door.name +
                  ": too many TLS handshakes" +
                  (unlogged == 0 ? std::string()
                                 : " (" + core::GroupedNumber(unlogged) + " more since the last such line)") +
                  ".\n",
              core::LogPriority::Warning);
  }
  return false;
}

// Turned away before it is a connection: its codec's words, then the close. Over TLS,
// whose handshake has not begun, no word can be said, nor lost: the socket is closed at
// once rather than drained (a storm of refused handshakes costs one close each).
bool ConnectionLayer::ReadyForWorkElsewhere() {
  if (resumes_->wakeUp < 0 && wakeUp_ >= 0) resumes_->wakeUp = ::fcntl(wakeUp_, F_DUPFD_CLOEXEC, 0);
  return resumes_->wakeUp >= 0;
}

void ConnectionLayer::Refuse(core::Socket socket, const Door& door, Codec& codec, std::string_view text) {
  Closing closing{socket, MakePlainTransport(), {}, !door.makeTransport};
  if (!door.makeTransport) codec.Refuse(text, closing.last);
  closing_.push_back(std::move(closing));
}

void ConnectionLayer::Take(core::Socket socket, std::size_t doorIndex, const base::Address& address,
                           const Endpoints& local, int uid) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Door& door = doors_.at(doorIndex);
  sockets_.fetch_add(1, std::memory_order_relaxed);  // until CloseSocket
  // From a trusted proxy, the client is known once its PROXY header is read: the bans
  // and the limits wait for it.
  const bool throughProxy = door.proxied && limits_.Proxy(address);
  Peer peer{address, base::LimitKey(address), false, uid, std::nullopt};
  if (!throughProxy) peer.limited = door.counted && !limits_.Trusted(address);
  Endpoints endpoints = local;
  endpoints.peer = address;
  endpoints.fromProxy = limits_.Proxy(address);
  std::unique_ptr<Codec> codec = door.makeCodec(endpoints);
  core::LogSource source(peer.key, peer.limited);
  if (!throughProxy) {
    const std::string_view refusal = Admission(door, peer, true);
    if (!refusal.empty()) {
      Refuse(socket, door, *codec, refusal);
      return;
    }
  }
  if (door.makeTransport && !ReadyForWorkElsewhere()) {
    core::Log("Refused a connection from " + base::AddressText(peer.address) + " on " + door.name +
                  ": no descriptor is left for its handshake's wake-up.\n",
              core::LogPriority::Error);
    Refuse(socket, door, *codec, {});
    return;
  }
  auto made = std::make_unique<Connection>();
  Connection& c = *made;
  c.socket = socket;
  c.order = nextOrder_++;
  c.peer = peer;
  c.endpoints = endpoints;
  c.door = &door;
  c.codec = std::move(codec);
  c.transport = door.makeTransport ? door.makeTransport() : MakePlainTransport();
  if (door.makeTransport) {
    c.transport->SetWake([resumes = resumes_, socket, order = c.order] { resumes->Add(socket, order); });
  }
  if (door.proxied) {
    c.proxyStep = throughProxy ? Connection::ProxyStep::Header : Connection::ProxyStep::Check;
    if (throughProxy) c.peer.proxy = address;
  }
  c.connected = c.lastLine = LimitClock::now();
  c.deadline = c.lastLine + door.admitWithin;
  c.interest = EPOLLIN;
  Enter(std::move(made));
  StartIfReady(c);
  if (!inRunOnce_) Wake();  // RunOnce's wait must end by the deadline, and write the opening
}

Connection& ConnectionLayer::Enter(std::unique_ptr<Connection> made) {
  Connection& c = *made;
  const auto index = static_cast<std::size_t>(c.socket);
  // Grown as a vector grows, by doubling, but only handles in use are made.
  if (index >= byHandle_.size()) byHandle_.resize(index + 1);
  byHandle_[index] = std::move(made);
  ++live_;
  if (c.codec->CarriesData()) ++dataCarriers_;
  // Its output, counted again; one that has been over the soft cap keeps the time it
  // went over, and the figures of then; one under it keeps none.
  const LogAside& figures = c.Logged();
  const auto over = std::tuple(c.overSince, figures.queuedAtOver, figures.unsentAtOver, figures.unackedAtOver);
  c.overSince = {};
  c.unsent = DropsOutput(c.state) ? 0 : c.backlog.Size() + c.sending.Size();  // dropped: nothing
  c.sendingHeld = c.sending.Held();
  NoteUnsent(c);
  if (std::get<0>(over) != LimitClock::time_point{} && c.overSince != LimitClock::time_point{}) {
    overSoft_.erase({c.overSince, c.socket});
    LogAside& again = c.ForLog();
    std::tie(c.overSince, again.queuedAtOver, again.unsentAtOver, again.unackedAtOver) = over;
    overSoft_.emplace(c.overSince, c.socket);
  } else if (c.overSince == LimitClock::time_point{}) {
    c.ForgetOver();
  }
  SetDeadline(c, std::exchange(c.deadline, {}));
  if (c.pausedUntil != LimitClock::time_point{}) {
    paused_.emplace(c.pausedUntil, c.socket);
  } else if (!c.waiting.Empty()) {
    withLines_.emplace(c.order, c.socket);
  }
  if (c.readPausedUntil != LimitClock::time_point{}) readPaused_.emplace(c.readPausedUntil, c.socket);
  if (c.state != ConnectionState::Open) ending_.push_back(c.socket);
  if (c.codec->Pending()) pendingCodecs_.emplace(c.order, c.socket);
  epoll_event event{};
  event.events = c.interest;
  event.data.fd = c.socket;
  ::epoll_ctl(waitSet_, EPOLL_CTL_ADD, c.socket, &event);
  if (!c.sending.Empty()) readyToWrite_.push_back(c.socket);
  if (!c.backlog.Empty()) {
    c.queuedForWrite = true;
    toWrite_.push_back(c.socket);
  }
  MarkDirty(c);
  return c;
}

// The PROXY header of a connection from a trusted proxy has come: the client it names
// is the connection's address from now on, for the bans, the limits and the log.
void ConnectionLayer::ApplyProxySource(Connection& c) {
  c.proxyRead = false;
  if (c.aside != nullptr && c.aside->proxySource) {
    c.peer.address = c.aside->proxySource->address;
    c.peer.key = base::LimitKey(c.peer.address);
    c.aside->proxySource.reset();  // the peer holds it from now on
    c.TrimAside();
  }
  c.peer.limited = c.door->counted && !limits_.Trusted(c.peer.address);
  core::LogSource source(c.peer.key, c.peer.limited);
  const std::string_view refusal = Admission(*c.door, c.peer, true);
  if (refusal.empty()) return;
  c.peer.limited = false;  // not counted: nothing to give back at its end
  if (!c.door->makeTransport) {
    std::string words;
    c.codec->Refuse(refusal, words);
    Queue(c, words);
  }
  BeginEnding(c, ConnectionState::ServerEndsNow,
              refusal == kAddressBanned       ? "banned"
              : refusal == kTooManyHandshakes ? "too many TLS handshakes"
                                              : "too many connections");
}

// A forwarded header of a request through a trusted proxy named `client`. The first
// client named becomes the connection's address (its limits counted under it from now
// on); every one is checked against the bans.
std::string_view ConnectionLayer::ForwardedClient(Connection& c, const base::Address& client) {
  if (!limits_.Proxy(c.peer.address) && !c.peer.proxy) return {};
  if (c.forwarded) {
    if (c.door->counted && Bans().AddressBanned(client, static_cast<std::int64_t>(std::time(nullptr)))) {
      bannedRefusals_.fetch_add(1, std::memory_order_relaxed);
      return kAddressBanned;
    }
    return {};
  }
  c.forwarded = true;
  // Its output so far is counted under the new address from now on.
  const std::size_t unsent = c.unsent;
  c.unsent = 0;
  NoteUnsent(c);
  if (c.peer.limited) book_.Disconnect(c.peer.key);
  c.peer.proxy = c.peer.address;
  c.peer.address = client;
  c.peer.key = base::LimitKey(client);
  c.peer.limited = c.door->counted && !limits_.Trusted(client);
  core::LogSource source(c.peer.key, c.peer.limited);
  const std::string_view refusal = Admission(*c.door, c.peer, false);
  if (!refusal.empty()) c.peer.limited = false;  // not counted: nothing to give back at its end
  c.unsent = unsent;
  NoteUnsent(c);
  return refusal;
}

// Once its transport can carry bytes: the codec's opening, and admission for codecs
// whose peer plays from the start.
void ConnectionLayer::StartIfReady(Connection& c) {
  // A trusted proxy's connection starts once its header has named the client; anyone
  // else's at once (its first bytes are looked at as they come: they must be no header).
  if (c.started || c.state != ConnectionState::Open || c.proxyStep == Connection::ProxyStep::Header ||
      !c.transport->Ready())
    return;
  c.started = true;
  std::string opening;
  c.codec->Start(opening);
  Queue(c, opening);
  if (c.codec->PlaysFromStart()) Admit(c);
}

// The connection becomes a player of its door: logged, welcomed with its first frame,
// and made known to its line handler.
void ConnectionLayer::Admit(Connection& c) {
  c.admitted = true;
  SetDeadline(c, {});
  core::LogSource source(c.peer.key, c.peer.limited);
  if (c.door->logged) {
    const std::string handle = std::to_string(static_cast<unsigned>(c.socket));
    core::Log("New connection from " + base::AddressText(c.peer.address) + " (" + handle + ")\n");
    std::string facts = handle + " came in by " + c.door->name;
    const std::string transport = c.transport->Description();
    if (!transport.empty()) facts += " over " + transport;
    if (c.peer.proxy) facts += " through the proxy " + base::AddressText(*c.peer.proxy);
    core::Log(facts + "\n");
  }
  if (c.door->handler != nullptr) c.door->handler->Admitted(c.socket, c.peer);
  if (!c.door->welcome.empty()) SendText(c.socket, c.door->welcome);
  // A player must enter play in time, or the connection holds a place for nothing.
  if (c.door->login && caps_.loginWithin.count() > 0) SetDeadline(c, c.connected + caps_.loginWithin);
}

// Once its player is in play, an open connection's login time can end it no more: its
// deadline goes now, not when that time is up, and with it the entry that files it.
void ConnectionLayer::DropLoginDeadlineIfInPlay(Connection& c) {
  if (c.deadline == LimitClock::time_point{} || !c.admitted || c.state != ConnectionState::Open || c.held) return;
  if (c.door->handler != nullptr && c.door->handler->InPlay(c.socket)) SetDeadline(c, {});
}

void ConnectionLayer::SetDeadline(Connection& c, LimitClock::time_point when) {
  if (c.deadline != LimitClock::time_point{}) deadlines_.erase({c.deadline, c.socket});
  c.deadline = when;
  if (when != LimitClock::time_point{}) deadlines_.emplace(when, c.socket);
}

}  // namespace connection
