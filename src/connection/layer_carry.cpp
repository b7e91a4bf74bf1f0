// An upgrade, as the connection layer sees it: a quiet in which no line is handled
// while what is in flight finishes, the layer and every connection written in their
// records for the next build (Carry), the ones that cannot go told and closed
// (EndUncarried), and in the new process every carried connection taken in again as it
// was (Adopt).
#include <sys/epoll.h>
#include <unistd.h>

#include <mutex>

#include "connection/connection_layer.h"
#include "connection/layer_record.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace connection {

void ConnectionLayer::BeginQuiet(core::Socket except, std::function<bool(bool settled)> ready,
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
  NoteAllWrites();
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

CarriedLayer ConnectionLayer::Carry(std::vector<core::Socket>& left) {
  ASSERT_CONNECTION_LOCK_HELD();
  NoteAllWrites();
  CarriedLayer carried;
  LayerRecord record;
  record.nextOrder = nextOrder_;
  record.linesHandled = linesHandled_;
  record.bannedRefusals = bannedRefusals_.load(std::memory_order_relaxed);
  record.book = book_.Carry();
  for (const auto& [key, budget] : keyBudgets_) record.keyBudgets.push_back({key, budget});
  for (const auto& [socket, drain] : draining_) {
    record.drains.push_back({socket, drain.until, drain.dropped});
    carried.drains.push_back(socket);
  }
  for (const auto& c : byHandle_) {
    if (!c) continue;
    if (c->door->makeTransport) {  // TLS: its session lives in this process's OpenSSL
      left.push_back(c->socket);
      continue;
    }
    base::FieldWriter one;
    c->Save(one);
    record.connections.push_back(one.Take());
    carried.connections.push_back(c->socket);
  }
  carried.record = WriteLayerRecord(record);
  return carried;
}

void ConnectionLayer::EndUncarried(const std::vector<core::Socket>& sockets, std::string_view text) {
  ASSERT_CONNECTION_LOCK_HELD();  // and, inside the quiet's work, the input thread's I/O stopped
  for (const core::Socket socket : sockets) {
    Connection* c = Find(socket);
    if (c == nullptr) continue;
    if (c->admitted && c->state == ConnectionState::Open) SendText(socket, text);
    BeginEnding(*c, ConnectionState::ServerEndsAfterOutput, "the server was upgraded, and TLS cannot be carried");
    End(*c);  // its output, its codec's goodbye and a close_notify get one try now
  }
  std::erase_if(ending_, [this](core::Socket s) { return Find(s) == nullptr; });
  CloseSockets();
}

std::vector<core::Socket> ConnectionLayer::Adopt(const CarriedLayer& carried) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::vector<core::Socket> adopted;
  LayerRecord record;
  std::vector<core::Socket> sockets;
  if (!ReadLayerRecord(carried.record, record, sockets)) return adopted;  // ReadCarriedLayer refused it first
  nextOrder_ = std::max(nextOrder_, record.nextOrder);
  linesHandled_ = record.linesHandled;
  bannedRefusals_.store(record.bannedRefusals, std::memory_order_relaxed);
  book_.Adopt(record.book);
  for (const CarriedBudget& b : record.keyBudgets) keyBudgets_[b.key] = b.value;
  for (const CarriedDrain& drain : record.drains) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = drain.socket;
    sockets_.fetch_add(1, std::memory_order_relaxed);
    if (::epoll_ctl(waitSet_, EPOLL_CTL_ADD, drain.socket, &event) != 0) {
      CloseSocket(drain.socket);
      continue;
    }
    draining_[drain.socket] = {drain.until, static_cast<std::size_t>(drain.dropped)};
    drainDeadlines_.emplace(drain.until, drain.socket);
  }
  for (const std::string& one : record.connections) {
    const core::Socket socket = AdoptOne(one);
    if (socket != core::kNoSocket) adopted.push_back(socket);
  }
  busy_ = true;
  Wake();
  return adopted;
}

// One carried connection, as it was; a connection whose door is gone, or whose codec
// cannot read its record, is closed (and its count given back).
core::Socket ConnectionLayer::AdoptOne(std::string_view record) {
  sockets_.fetch_add(1, std::memory_order_relaxed);
  auto made = std::make_unique<Connection>();
  std::string door;
  const Connection::Restored restored = made->Restore(base::FieldReader(record), doors_, &door);
  const core::Socket socket = made->socket;
  const auto index = static_cast<std::size_t>(socket);
  const bool fits = socket >= 0 && (index >= byHandle_.size() || !byHandle_[index]);
  if (restored != Connection::Restored::Whole || !fits) {
    core::Log("Connection " + std::to_string(socket) + " of " + door +
                  " could not be carried over: its door or its codec's state is not this build's.\n",
              core::LogPriority::Error);
    if (made->peer.limited) book_.Disconnect(made->peer.key);
    if (fits) CloseSocket(socket);
    return core::kNoSocket;
  }
  if (made->door->ownCap != 0) {  // counted against its door's cap, even past it
    std::lock_guard<std::mutex> guard(ownCappedLock_);
    ownCapped_.emplace(socket, static_cast<std::size_t>(made->door - doors_.data()));
    ownCappedCount_.fetch_add(1, std::memory_order_relaxed);
  }
  Connection& c = Enter(std::move(made));
  if (c.admitted && c.door->handler != nullptr) c.door->handler->Admitted(c.socket, c.peer);
  return socket;
}

}  // namespace connection
