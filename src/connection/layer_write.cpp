// The writing half of the connection layer: frames through their codecs into the
// backlogs (any holder of ConnectionLock), the bounds on unsent output, and the
// writes through the transports (the input thread, without the lock).
#include <sys/epoll.h>

#include <algorithm>
#include <functional>

#include "connection/connection_layer.h"
#include "core/connection_lock.h"

namespace connection {

namespace {

// Backlogs handed to the writes per turn, so writing to a crowd never holds up
// answering.
constexpr std::size_t kWritesPerTurn = 128;

bool OutputWanted(const Connection& c) {
  return c.state != ConnectionState::SendFailed && c.state != ConnectionState::Overflowed &&
         c.state != ConnectionState::Dismissed;
}

}  // namespace

// Keeps the count of all buffered memory in step with the connection's: what its
// queues hold, room to grow included, which can be twice their bytes. Output that is
// dropped counts for nothing, as it goes when the connection does.
void ConnectionLayer::NoteBuffered(Connection& c) {
  const std::size_t size = c.waiting.Held() + (c.unsent == 0 ? 0 : c.backlog.Held() + c.sendingHeld);
  buffered_ = buffered_ - c.countedBuffered + size;
  c.countedBuffered = size;
}

// Above the cap on all buffered memory, the connections that hold the most are ended
// first (their output dropped), until the rest are well below it.
void ConnectionLayer::EnforceMemoryCap() {
  if (caps_.maxBufferedBytes == 0 || buffered_ <= caps_.maxBufferedBytes) return;
  std::vector<std::pair<std::size_t, Socket>> largest;
  for (const auto& record : byHandle_) {
    if (record && record->countedBuffered > 0) largest.emplace_back(record->countedBuffered, record->socket);
  }
  std::sort(largest.begin(), largest.end(), std::greater<>());
  const std::size_t target = caps_.maxBufferedBytes / 10 * 9;
  for (const auto& [bytes, socket] : largest) {
    if (buffered_ <= target) break;
    Connection& c = *Find(socket);
    BeginEnding(c, ConnectionState::Overflowed, "the server's buffers were full: it held the most");
    c.waiting.Clear();
    withLines_.erase({c.order, c.socket});
    NoteBuffered(c);
  }
}

// Keeps overSoft_ and the key's count of unsent output in step with `unsent`.
void ConnectionLayer::NoteUnsent(Connection& c) {
  NoteBuffered(c);
  const std::size_t size = c.unsent;
  if (c.peer.limited && size != c.countedBacklog) {
    std::size_t& total = keyBacklog_[c.peer.key];
    total = total - c.countedBacklog + size;
    c.countedBacklog = size;
    if (total == 0) keyBacklog_.erase(c.peer.key);
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
  bool over = c.unsent + bytes.size() > kHardBacklogBytes;
  if (c.peer.limited && !over) {
    const auto it = keyBacklog_.find(c.peer.key);
    over = (it == keyBacklog_.end() ? 0 : it->second) + bytes.size() > kAddressBacklogBytes;
  }
  if (over) {
    BeginEnding(c, ConnectionState::Overflowed, "it stopped reading: its output passed the cap");
    return;
  }
  c.backlog.Append(bytes);
  c.unsent += bytes.size();
  NoteUnsent(c);
  if (!c.queuedForWrite) {
    c.queuedForWrite = true;
    if (toWriteHead_ == toWrite_.size() && !inRunOnce_) Wake();
    toWrite_.push_back(c.socket);
  }
}

void ConnectionLayer::SendText(Socket destination, std::string_view text) {
  ASSERT_CONNECTION_LOCK_HELD();
  Connection* c = Find(destination);
  if (c == nullptr || !OutputWanted(*c) || !c->admitted) return;
  encoded_.clear();
  c->codec->Write(text, encoded_);
  Queue(*c, encoded_);
  if (encoded_.capacity() > 64 * 1024) std::string().swap(encoded_);
}

bool ConnectionLayer::WantsData(Socket destination, std::string_view package) const {
  const Connection* c = Find(destination);
  return c != nullptr && c->admitted && OutputWanted(*c) && c->codec->WantsData(package);
}

void ConnectionLayer::SendData(Socket destination, std::string_view message) {
  ASSERT_CONNECTION_LOCK_HELD();
  Connection* c = Find(destination);
  if (c == nullptr || !c->admitted || !OutputWanted(*c)) return;
  encoded_.clear();
  c->codec->WriteData(message, encoded_);
  Queue(*c, encoded_);
}

// With the lock: the backlogs of the first connections waiting move to their sending,
// for the writes after the lock is given back.
void ConnectionLayer::HandOverBacklogs() {
  for (std::size_t n = 0; n < kWritesPerTurn && toWriteHead_ < toWrite_.size(); ++n) {
    Connection* c = Find(toWrite_[toWriteHead_++]);
    if (c == nullptr || !c->queuedForWrite) continue;
    c->queuedForWrite = false;
    if (c->backlog.Empty()) continue;
    if (c->sending.Empty()) {
      std::swap(c->sending, c->backlog);
    } else {
      c->sending.Append(c->backlog.View());
      c->backlog.Clear();
    }
    c->sendingHeld = c->sending.Held();
    NoteBuffered(*c);
    readyToWrite_.push_back(c->socket);
    if (c->state != ConnectionState::Open || !c->admitted) awaitedWrite_ = true;
  }
  if (toWriteHead_ == toWrite_.size()) {
    toWrite_.clear();
    toWriteHead_ = 0;
  } else if (toWriteHead_ > toWrite_.size() / 2) {
    toWrite_.erase(toWrite_.begin(), toWrite_.begin() + static_cast<std::ptrdiff_t>(toWriteHead_));
    toWriteHead_ = 0;
  }
}

// Without the lock: as much of `sending` as the transport takes now. A failure is
// noted for the next turn, which ends the connection.
void ConnectionLayer::WriteSending(Connection& c) {
  if (c.writeError != 0 || (c.sending.Empty() && !c.transport->WantsWrite())) return;
  const IoResult result = c.transport->Send(c.socket, c.sending.View());
  if (result.state == IoState::Done || result.state == IoState::WouldBlock) {
    if (result.bytes == 0) {
      UpdateInterest(c);
      return;
    }
    c.sending.Consume(result.bytes);
  } else {
    c.writeError = result.error != 0 ? result.error : -1;
  }
  if (!c.wrote) written_.push_back(c.socket);
  c.wrote = true;
  UpdateInterest(c);
}

void ConnectionLayer::WriteHandedOver() {
  for (const Socket socket : readyToWrite_) {
    if (Connection* c = Find(socket)) WriteSending(*c);
  }
  readyToWrite_.clear();
}

// With the lock, at the start of a turn: what the writes without the lock did.
void ConnectionLayer::NoteWrites(Connection& c) {
  c.wrote = false;
  if (c.writeError != 0) {
    BeginEnding(c, ConnectionState::SendFailed, "a write failed");
    return;
  }
  c.unsent = c.backlog.Size() + c.sending.Size();
  c.sendingHeld = c.sending.Held();
  NoteUnsent(c);
  if (!c.admitted) MarkDirty(c);  // an answer that has left lets its next request in
}

}  // namespace connection
