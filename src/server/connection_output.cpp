// The writing half of the connection layer: frames through their codecs, the
// backlogs, and the bounds on unsent output. Everything here requires ConnectionLock.
#include <sys/epoll.h>

#include "server/connection_lock.h"
#include "server/connections.h"

namespace server {

namespace {

// Backlogs written per turn, so writing to a crowd never holds up answering.
constexpr std::size_t kWritesPerTurn = 128;

bool OutputWanted(const Connection& c) {
  return c.state != ConnectionState::SendFailed && c.state != ConnectionState::Overflowed &&
         c.state != ConnectionState::Dismissed;
}

}  // namespace

// Keeps overSoft_ and the address's count of unsent output in step with the backlog.
void ConnectionLayer::NoteBacklogSize(Connection& c) {
  const std::size_t size = c.backlog.Size();
  if (c.limited && size != c.countedBacklog) {
    std::size_t& total = addressBacklog_[c.address];
    total = total - c.countedBacklog + size;
    c.countedBacklog = size;
    if (total == 0) addressBacklog_.erase(c.address);
  }
  const bool over = size > kSoftBacklogBytes;
  const bool was = c.overSince != LimitClock::time_point{};
  if (over == was) return;
  if (over) {
    c.overSince = LimitClock::now();
    overSoft_.emplace(c.overSince, c.socket);
  } else {
    overSoft_.erase({c.overSince, c.socket});
    c.overSince = {};
  }
}

// Adds `bytes` to the backlog, or ends the connection when that would pass a cap of
// the connection or of its address: a client that stopped reading.
void ConnectionLayer::Queue(Connection& c, std::string_view bytes) {
  if (!OutputWanted(c) || bytes.empty()) return;
  bool over = c.backlog.Size() + bytes.size() > kHardBacklogBytes;
  if (c.limited && !over) {
    const auto it = addressBacklog_.find(c.address);
    over = (it == addressBacklog_.end() ? 0 : it->second) + bytes.size() > kAddressBacklogBytes;
  }
  if (over) {
    BeginEnding(c, ConnectionState::Overflowed);
    return;
  }
  c.backlog.Append(bytes);
  NoteBacklogSize(c);
  if (c.socket == answering_ || (c.interest & EPOLLOUT) != 0) {
    UpdateInterest(c);  // the socket is full: EPOLLOUT sends the rest
  } else if (!c.queuedForWrite) {
    c.queuedForWrite = true;
    if (toWriteHead_ == toWrite_.size() && !inRunOnce_) Wake();
    toWrite_.push_back(c.socket);
  }
}

// Sends `bytes` now as far as the socket takes them, after any backlog.
void ConnectionLayer::SendNow(Connection& c, std::string_view bytes) {
  if (!OutputWanted(c)) return;
  if (c.backlog.Empty()) {
    int error = 0;
    const long sent = net::SendSome(c.socket, bytes, error);
    if (sent < 0) {
      BeginEnding(c, ConnectionState::SendFailed);
      return;
    }
    bytes.remove_prefix(static_cast<std::size_t>(sent));
    if (bytes.empty()) return;
  }
  const Socket before = answering_;
  answering_ = c.socket;  // what is left waits for EPOLLOUT, not for the next turn
  Queue(c, bytes);
  answering_ = before;
}

void ConnectionLayer::SendFrame(Socket destination, std::string_view frame) {
  ASSERT_CONNECTION_LOCK_HELD();
  Connection* c = Find(destination);
  if (c == nullptr || !OutputWanted(*c) || !c->playing) return;
  if (!frame.empty() && frame.back() == '\0') frame.remove_suffix(1);
  encoded_.clear();
  c->codec->Write(frame, encoded_);
  if (destination == answering_) {
    SendNow(*c, encoded_);  // the answer to the line in hand leaves at once
  } else {
    Queue(*c, encoded_);
  }
  if (encoded_.capacity() > 64 * 1024) std::string().swap(encoded_);
}

bool ConnectionLayer::WantsData(Socket destination, std::string_view package) const {
  const Connection* c = Find(destination);
  return c != nullptr && c->playing && OutputWanted(*c) && c->codec->WantsData(package);
}

void ConnectionLayer::SendData(Socket destination, std::string_view message) {
  ASSERT_CONNECTION_LOCK_HELD();
  Connection* c = Find(destination);
  if (c == nullptr || !c->playing || !OutputWanted(*c)) return;
  encoded_.clear();
  c->codec->WriteData(message, encoded_);
  if (destination == answering_) {
    SendNow(*c, encoded_);
  } else {
    Queue(*c, encoded_);
  }
}

void ConnectionLayer::SendBacklog(Connection& c) {
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

// Writes the backlogs of the first connections waiting; what a socket does not take
// is left to its EPOLLOUT.
void ConnectionLayer::WriteSome() {
  for (std::size_t n = 0; n < kWritesPerTurn && toWriteHead_ < toWrite_.size(); ++n) {
    Connection* c = Find(toWrite_[toWriteHead_++]);
    if (c == nullptr || !c->queuedForWrite) continue;
    c->queuedForWrite = false;
    SendBacklog(*c);
  }
  if (toWriteHead_ == toWrite_.size()) {
    toWrite_.clear();
    toWriteHead_ = 0;
  } else if (toWriteHead_ > toWrite_.size() / 2) {
    toWrite_.erase(toWrite_.begin(), toWrite_.begin() + static_cast<std::ptrdiff_t>(toWriteHead_));
    toWriteHead_ = 0;
  }
}

}  // namespace server
