// An upgrade, as the connection layer sees it: a quiet in which no line is handled
// while what is in flight finishes, every connection written out as plain values for
// the next build (Carry), the ones that cannot go told and closed (EndUncarried), and
// in the new process every carried connection taken in again as it was (Adopt).
#include <sys/epoll.h>
#include <unistd.h>

#include <mutex>

#include "connection/connection_layer.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace connection {

void ConnectionLayer::BeginQuiet(Socket except, std::function<bool(bool settled)> ready,
                                 std::function<void()> then) {
  ASSERT_CONNECTION_LOCK_HELD();
  quiet_ = QuietWork{except, std::move(ready), std::move(then)};
  quietAsked_.store(true, std::memory_order_relaxed);
  if (!inRunOnce_) Wake();
}

void ConnectionLayer::EndQuiet() {
  ASSERT_CONNECTION_LOCK_HELD();
  quiet_.reset();
  quietAsked_.store(false, std::memory_order_relaxed);
  busy_ = true;  // the lines that waited go on at the next turn
  if (!inRunOnce_) Wake();
}

// At the end of a turn while quiet: once nothing is in flight (no task posted, no socket
// handed over, no connection held but the one that asked), the quiet's work runs with
// everything the layer holds at rest.
void ConnectionLayer::CheckQuiet() {
  std::lock_guard<core::FairLock> guard(core::ConnectionLock);
  std::lock_guard<std::mutex> io(ioMutex_);
  if (!quiet_) return;
  for (const Socket socket : written_) {
    if (Connection* c = Find(socket); c != nullptr && c->wrote) NoteWrites(*c);
  }
  written_.clear();
  bool settled = true;
  {
    std::lock_guard<std::mutex> handover(handoverLock_);
    settled = posted_.empty() && handedOver_.empty();
  }
  for (const auto& record : byHandle_) {
    if (settled && record && record->held && record->socket != quiet_->except) settled = false;
  }
  if (!quiet_->ready(settled)) return;
  const std::function<void()> then = std::move(quiet_->then);
  quiet_->then = [] {};
  inRunOnce_ = true;  // what `then` queues is written by the next turn
  then();
  inRunOnce_ = false;
}

CarriedLayer ConnectionLayer::Carry(std::vector<Socket>& left) const {
  ASSERT_CONNECTION_LOCK_HELD();
  CarriedLayer carried;
  carried.nextOrder = nextOrder_;
  carried.linesHandled = linesHandled_;
  carried.bannedRefusals = bannedRefusals_.load(std::memory_order_relaxed);
  carried.book = book_.Carry();
  for (const auto& [key, budget] : keyBudgets_) carried.keyBudgets.emplace_back(key, CarriedTime(budget.Full()));
  for (const auto& [socket, drain] : draining_) {
    carried.drains.push_back({socket, CarriedTime(drain.until), drain.dropped});
  }
  for (const auto& record : byHandle_) {
    if (!record) continue;
    const Connection& c = *record;
    if (c.door->makeTransport) {  // TLS: its session lives in this process's OpenSSL
      left.push_back(c.socket);
      continue;
    }
    CarriedConnection& out = carried.connections.emplace_back();
    out.socket = c.socket;
    out.order = c.order;
    out.door = c.door->name;
    out.peer = c.peer;
    out.endpoints = c.endpoints;
    out.started = c.started;
    out.admitted = c.admitted;
    out.state = c.state;
    out.recvError = c.recvError;
    out.why = c.why;
    base::FieldWriter codec;
    c.codec->SaveState(codec);
    out.codec = codec.Take();
    out.waiting = c.waiting.View();
    out.backlog = c.backlog.View();
    out.sending = c.sending.View();
    out.goodbye = c.goodbye;
    out.received = c.received;
    out.proxyStep = c.proxyStep;
    out.proxyBytes = c.proxyStep == Connection::ProxyStep::Check ? c.proxyHeld : c.proxyFed;
    out.forwarded = c.forwarded;
    out.readEnded = c.readEnded;
    out.readEnd = c.readEnd;
    out.writeError = c.writeError;
    out.pace = CarriedTime(c.pace.Due());
    out.pausedUntil = CarriedTime(c.pausedUntil);
    out.overSince = CarriedTime(c.overSince);
    out.deadline = CarriedTime(c.deadline);
    out.connected = CarriedTime(c.connected);
    out.lastLine = CarriedTime(c.lastLine);
    out.budget = CarriedTime(c.budget.Full());
    out.readPausedUntil = CarriedTime(c.readPausedUntil);
  }
  return carried;
}

void ConnectionLayer::EndUncarried(const std::vector<Socket>& sockets, std::string_view text) {
  ASSERT_CONNECTION_LOCK_HELD();  // and, inside the quiet's work, the input thread's I/O stopped
  for (const Socket socket : sockets) {
    Connection* c = Find(socket);
    if (c == nullptr) continue;
    if (c->admitted && c->state == ConnectionState::Open) SendText(socket, text);
    BeginEnding(*c, ConnectionState::ServerEndsAfterOutput, "the server was upgraded, and TLS cannot be carried");
    End(*c);  // its output, its codec's goodbye and a close_notify get one try now
  }
  std::erase_if(ending_, [this](Socket s) { return Find(s) == nullptr; });
  CloseSockets();
}

std::vector<Socket> ConnectionLayer::Adopt(const CarriedLayer& carried) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::vector<Socket> adopted;
  nextOrder_ = std::max(nextOrder_, carried.nextOrder);
  linesHandled_ = carried.linesHandled;
  bannedRefusals_.store(carried.bannedRefusals, std::memory_order_relaxed);
  book_.Adopt(carried.book);
  for (const auto& [key, full] : carried.keyBudgets) keyBudgets_[key].SetFull(FromCarriedTime(full));
  for (const CarriedDrain& drain : carried.drains) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = drain.socket;
    sockets_.fetch_add(1, std::memory_order_relaxed);
    if (::epoll_ctl(waitSet_, EPOLL_CTL_ADD, drain.socket, &event) != 0) {
      CloseSocket(drain.socket);
      continue;
    }
    const LimitClock::time_point until = FromCarriedTime(drain.until);
    draining_[drain.socket] = {until, static_cast<std::size_t>(drain.dropped)};
    drainDeadlines_.emplace(until, drain.socket);
  }
  for (const CarriedConnection& in : carried.connections) {
    if (AdoptOne(in)) adopted.push_back(in.socket);
  }
  busy_ = true;
  Wake();
  return adopted;
}

// One carried connection, as it was; a connection whose door is gone, or whose codec
// cannot read its record, is closed (and its count given back).
bool ConnectionLayer::AdoptOne(const CarriedConnection& in) {
  sockets_.fetch_add(1, std::memory_order_relaxed);
  const Door* door = nullptr;
  for (const Door& d : doors_) {
    if (d.name == in.door && !d.makeTransport) door = &d;
  }
  std::unique_ptr<Codec> codec = door != nullptr ? door->makeCodec(in.endpoints) : nullptr;
  base::FieldReader record(in.codec);
  const auto index = static_cast<std::size_t>(in.socket);
  const bool fits = in.socket >= 0 && (index >= byHandle_.size() || !byHandle_[index]);
  if (codec == nullptr || !fits || !codec->RestoreState(record) || !record.Good()) {
    core::Log("Connection " + std::to_string(in.socket) + " of " + in.door +
                  " could not be carried over: its door or its codec's state is not this build's.\n",
              core::LogPriority::Error);
    if (in.peer.limited) book_.Disconnect(in.peer.key);
    if (fits) CloseSocket(in.socket);
    return false;
  }
  if (index >= byHandle_.size()) byHandle_.resize(std::max(index + 1, byHandle_.size() * 2));
  if (door->ownCap != 0) {  // counted against its door's cap, even past it
    std::lock_guard<std::mutex> guard(ownCappedLock_);
    ownCapped_.emplace(in.socket, static_cast<std::size_t>(door - doors_.data()));
    ownCappedCount_.fetch_add(1, std::memory_order_relaxed);
  }
  byHandle_[index] = std::make_unique<Connection>();
  Connection& c = *byHandle_[index];
  ++live_;
  c.socket = in.socket;
  c.order = in.order;
  c.peer = in.peer;
  c.endpoints = in.endpoints;
  c.door = door;
  c.started = in.started;
  c.admitted = in.admitted;
  c.state = in.state;
  c.recvError = in.recvError;
  c.why = in.why;
  c.codec = std::move(codec);
  c.transport = MakePlainTransport();
  c.waiting.Append(in.waiting);
  c.backlog.Append(in.backlog);
  c.sending.Append(in.sending);
  c.goodbye = in.goodbye;
  c.received = in.received;
  c.proxyStep = in.proxyStep;
  if (c.proxyStep != Connection::ProxyStep::None) {
    // The header reader reads again what it had read, to the same state.
    c.proxyReader = std::make_unique<net::ProxyHeaderReader>();
    c.proxyReader->Feed(in.proxyBytes);
    (c.proxyStep == Connection::ProxyStep::Check ? c.proxyHeld : c.proxyFed) = in.proxyBytes;
  }
  c.forwarded = in.forwarded;
  c.readEnded = in.readEnded;
  c.readEnd = in.readEnd;
  c.writeError = in.writeError;
  c.pace.SetDue(FromCarriedTime(in.pace));
  c.connected = FromCarriedTime(in.connected);
  c.lastLine = FromCarriedTime(in.lastLine);
  c.budget.SetFull(FromCarriedTime(in.budget));
  c.unsent = c.backlog.Size() + c.sending.Size();
  c.sendingHeld = c.sending.Held();
  NoteUnsent(c);
  if (in.overSince != 0 && c.overSince != LimitClock::time_point{}) {
    overSoft_.erase({c.overSince, c.socket});  // it has been over the soft cap since then
    c.overSince = FromCarriedTime(in.overSince);
    overSoft_.emplace(c.overSince, c.socket);
  }
  SetDeadline(c, FromCarriedTime(in.deadline));
  if (in.pausedUntil != 0) {
    c.pausedUntil = FromCarriedTime(in.pausedUntil);
    paused_.emplace(c.pausedUntil, c.socket);
  } else if (!c.waiting.Empty()) {
    withLines_.emplace(c.order, c.socket);
  }
  if (in.readPausedUntil != 0) {
    c.readPausedUntil = FromCarriedTime(in.readPausedUntil);
    readPaused_.emplace(c.readPausedUntil, c.socket);
  }
  if (c.state != ConnectionState::Open) ending_.push_back(c.socket);
  if (c.codec->Pending()) pendingCodecs_.emplace(c.order, c.socket);
  c.interest = 0;
  epoll_event event{};
  event.data.fd = c.socket;
  ::epoll_ctl(waitSet_, EPOLL_CTL_ADD, c.socket, &event);
  if (!c.sending.Empty()) readyToWrite_.push_back(c.socket);
  if (!c.backlog.Empty()) {
    c.queuedForWrite = true;
    toWrite_.push_back(c.socket);
  }
  MarkDirty(c);
  if (c.admitted && c.door->handler != nullptr) c.door->handler->Admitted(c.socket, c.peer);
  return true;
}

}  // namespace connection
