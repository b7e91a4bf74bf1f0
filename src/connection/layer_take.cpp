// Taking connections in: the hand-over from the accept thread, the bans and the limits,
// the start of the codec once the transport is ready, and admission.
#include <sys/epoll.h>

#include <ctime>
#include <mutex>

#include "connection/bans.h"
#include "connection/connection_layer.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace connection {

ConnectionLayer::ConnectionLayer(AddressLimits limits) : limits_(limits), book_(std::move(limits)) {}

Connection* ConnectionLayer::Find(Socket s) const {
  const auto index = static_cast<std::size_t>(s);
  return s >= 0 && index < byHandle_.size() ? byHandle_[index].get() : nullptr;
}

std::size_t ConnectionLayer::AddDoor(Door door) {
  doors_.push_back(std::move(door));
  return doors_.size() - 1;
}

void ConnectionLayer::Accepted(Socket socket, std::size_t door, const base::Address& peer,
                               const Endpoints& local, int uid) {
  {
    std::lock_guard<std::mutex> guard(handoverLock_);
    handedOver_.push_back({socket, door, peer, local, uid});
  }
  Wake();
}

void ConnectionLayer::TakeHandedOver() {
  std::vector<Handover> taken;
  {
    std::lock_guard<std::mutex> guard(handoverLock_);
    taken.swap(handedOver_);
  }
  for (const Handover& h : taken) Take(h.socket, h.door, h.peer, h.local, h.uid);
}

// Turned away before it is a connection: its codec's words, then the close.
void ConnectionLayer::Refuse(Socket socket, Codec& codec, std::string_view text) {
  Closing closing{socket, MakePlainTransport(), {}, true};
  codec.Refuse(text, closing.last);
  closing_.push_back(std::move(closing));
}

void ConnectionLayer::Take(Socket socket, std::size_t doorIndex, const base::Address& address,
                           const Endpoints& local, int uid) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Door& door = doors_.at(doorIndex);
  Peer peer{address, base::LimitKey(address), door.counted && !limits_.Trusted(address), uid};
  std::unique_ptr<Codec> codec = door.makeCodec(local);
  core::LogSource source(peer.key, peer.limited);
  if (door.counted && Bans().AddressBanned(address, static_cast<std::int64_t>(std::time(nullptr)))) {
    bannedRefusals_.fetch_add(1, std::memory_order_relaxed);
    Refuse(socket, *codec, kAddressBanned);
    return;
  }
  if (peer.limited && !book_.Connect(peer.key)) {
    // Only the first refusal is logged, so a flood of attempts cannot flood the log.
    const std::string line = book_.NoteRefusal(peer.key, LimitKind::Connections);
    if (!line.empty()) core::Log(line);
    Refuse(socket, *codec, kTooManyConnections);
    return;
  }
  const auto index = static_cast<std::size_t>(socket);
  if (index >= byHandle_.size()) byHandle_.resize(std::max(index + 1, byHandle_.size() * 2));
  byHandle_[index] = std::make_unique<Connection>();
  Connection& c = *byHandle_[index];
  ++live_;
  c.socket = socket;
  c.order = nextOrder_++;
  c.peer = peer;
  c.door = &door;
  c.codec = std::move(codec);
  c.transport = MakePlainTransport();
  c.lastLine = LimitClock::now();
  c.interest = EPOLLIN;
  epoll_event event{};
  event.events = c.interest;
  event.data.fd = socket;
  ::epoll_ctl(waitSet_, EPOLL_CTL_ADD, socket, &event);
  SetDeadline(c, c.lastLine + door.admitWithin);
  StartIfReady(c);
  if (!inRunOnce_) Wake();  // RunOnce's wait must end by the deadline, and write the opening
}

// Once its transport can carry bytes: the codec's opening, and admission for codecs
// whose peer plays from the start.
void ConnectionLayer::StartIfReady(Connection& c) {
  if (c.started || !c.transport->Ready()) return;
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
    core::Log("New connection from " + base::AddressText(c.peer.address) + " (" +
              std::to_string(static_cast<unsigned>(c.socket)) + ")\n");
  }
  if (c.door->handler != nullptr) c.door->handler->Admitted(c.socket, c.peer);
  if (!c.door->welcome.empty()) SendText(c.socket, c.door->welcome);
}

void ConnectionLayer::SetDeadline(Connection& c, LimitClock::time_point when) {
  if (c.deadline != LimitClock::time_point{}) deadlines_.erase({c.deadline, c.socket});
  c.deadline = when;
  if (when != LimitClock::time_point{}) deadlines_.emplace(when, c.socket);
}

}  // namespace connection
