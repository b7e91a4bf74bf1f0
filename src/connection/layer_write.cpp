// The writing half of the connection layer: frames through their codecs into the
// backlogs (any holder of ConnectionLock), the bounds on unsent output, and the
// writes through the transports (the input thread, without the lock).
#include <linux/sockios.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cstdio>
#include <functional>

#include "connection/connection_layer.h"
#include "core/connection_lock.h"

namespace connection {

namespace {

// Backlogs handed to the writes per turn. The answers to this turn's lines go first,
// up to kWritesPerTurn; what the others heard follows, at most kHeardWritesPerTurn: a
// line heard by a crowd is written over several turns, and a line that comes in
// meanwhile waits for a few dozen writes, not for the crowd's.
constexpr std::size_t kWritesPerTurn = 128;
constexpr std::size_t kHeardWritesPerTurn = 32;

// What the kernel holds for `socket` that its peer has not acknowledged yet; 0 when it
// cannot say.
std::size_t Unacknowledged(core::Socket socket) {
  int bytes = 0;
  return ::ioctl(socket, SIOCOUTQ, &bytes) == 0 && bytes > 0 ? static_cast<std::size_t>(bytes) : 0;
}

bool OutputWanted(const Connection& c) {
  return c.state != ConnectionState::SendFailed && c.state != ConnectionState::Overflowed &&
         c.state != ConnectionState::ServerEndsNow;
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
  std::vector<std::pair<std::size_t, core::Socket>> largest;
  for (const auto& record : byHandle_) {
    if (record && record->countedBuffered > 0) largest.emplace_back(record->countedBuffered, record->socket);
  }
  std::sort(largest.begin(), largest.end(), std::greater<>());
  const std::size_t target = caps_.maxBufferedBytes / 10 * 9;
  for (const auto& [bytes, socket] : largest) {
    if (buffered_ <= target) break;
    Connection& c = *Find(socket);
    BeginEnding(
        c, ConnectionState::Overflowed,
        WhyOverflowed(c, "the server's buffers were full and it held the most", LimitClock::now()));
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
    LogAside& figures = c.ForLog();
    figures.queuedAtOver = c.queued;
    figures.unsentAtOver = size;
    figures.unackedAtOver = Unacknowledged(c.socket);
    overSoft_.emplace(c.overSince, c.socket);
  } else {
    overSoft_.erase({c.overSince, c.socket});
    c.overSince = {};
    c.ForgetOver();
  }
}

// Why `c` is ended for its output, for the log: the cap it met, and, since its output
// went over the soft cap, what it was sent and what its peer took a second (what its
// kernel acknowledged: read, or held in the peer's receive buffer). A peer that took
// less than 1 KiB a second has stopped reading; one that took more could not keep up.
std::string ConnectionLayer::WhyOverflowed(const Connection& c, std::string_view cap,
                                           LimitClock::time_point now) const {
  if (c.overSince == LimitClock::time_point{} || now <= c.overSince) {
    // It was under the soft cap until now: no while to judge its reading by.
    return std::string(cap) + " (" + std::to_string(c.unsent / 1024) + " KiB unsent)";
  }
  const double seconds = std::chrono::duration<double>(now - c.overSince).count();
  const auto perSecond = [&](std::int64_t bytes) {
    return static_cast<double>(std::max<std::int64_t>(bytes, 0)) / 1024 / seconds;
  };
  // What left the server's buffers, less what the kernel still holds of it.
  const auto taken = [](std::uint64_t queued, std::size_t unsent, std::size_t unacked) {
    return static_cast<std::int64_t>(queued) - static_cast<std::int64_t>(unsent) -
           static_cast<std::int64_t>(unacked);
  };
  const LogAside& at = c.Logged();
  const double sent = perSecond(static_cast<std::int64_t>(c.queued - at.queuedAtOver));
  const double read = perSecond(taken(c.queued, c.unsent, Unacknowledged(c.socket)) -
                                taken(at.queuedAtOver, at.unsentAtOver, at.unackedAtOver));
  char figures[160];
  std::snprintf(
      figures, sizeof figures,
      "; in the %.1f s since it went over %zu KiB it was sent %.1f KiB/s and read %.1f KiB/s",
      seconds, kSoftBacklogBytes / 1024, sent, read);
  std::string why =
      read < 1 ? "it stopped reading: " : "it could not keep up with what it was sent: ";
  return why.append(cap).append(figures);
}

// Adds `bytes` to the backlog, or ends the connection when that would pass a cap of
// the connection or of its address.
void ConnectionLayer::Queue(Connection& c, std::string_view bytes) {
  if (!OutputWanted(c) || bytes.empty()) return;
  std::string cap;
  if (c.unsent + bytes.size() > kHardBacklogBytes) {
    cap = "its output passed " + std::to_string(kHardBacklogBytes >> 20) + " MiB";
  } else if (c.peer.limited) {
    const auto it = keyBacklog_.find(c.peer.key);
    if ((it == keyBacklog_.end() ? 0 : it->second) + bytes.size() > kAddressBacklogBytes)
      cap = "its address's output passed " + std::to_string(kAddressBacklogBytes >> 20) + " MiB";
  }
  if (!cap.empty()) {
    BeginEnding(c, ConnectionState::Overflowed, WhyOverflowed(c, cap, LimitClock::now()));
    return;
  }
  c.backlog.Append(bytes);
  c.queued += bytes.size();
  c.unsent += bytes.size();
  NoteUnsent(c);
  if (!c.queuedForWrite) {
    c.queuedForWrite = true;
    if (toWriteHead_ == toWrite_.size() && !inRunOnce_) Wake();
    toWrite_.push_back(c.socket);
  }
}

void ConnectionLayer::SendText(core::Socket destination, std::string_view text) {
  ASSERT_CONNECTION_LOCK_HELD();
  Connection* c = Find(destination);
  if (c == nullptr || !OutputWanted(*c) || !c->admitted) return;
  encoded_.clear();
  c->codec->Write(text, encoded_);
  Queue(*c, encoded_);
  if (encoded_.capacity() > 64 * 1024) std::string().swap(encoded_);
}

bool ConnectionLayer::WantsData(core::Socket destination, std::string_view package) const {
  const Connection* c = Find(destination);
  return c != nullptr && c->admitted && OutputWanted(*c) && c->codec->WantsData(package);
}

void ConnectionLayer::SendData(core::Socket destination, std::string_view message) {
  ASSERT_CONNECTION_LOCK_HELD();
  Connection* c = Find(destination);
  if (c == nullptr || !c->admitted || !OutputWanted(*c)) return;
  encoded_.clear();
  c->codec->WriteData(message, encoded_);
  Queue(*c, encoded_);
}

// With the lock: the backlogs of the first connections waiting move to their sending,
// for the writes after the lock is given back. The connections whose lines ran this
// turn go first: their players are waiting for the answers, while the others' output
// (what they heard) is no answer to anything they wait on.
void ConnectionLayer::HandOverBacklogs() {
  std::size_t handed = 0;
  const auto handOver = [&](Connection& c) {
    c.queuedForWrite = false;
    if (c.backlog.Empty()) return;
    if (c.sending.Empty()) {
      std::swap(c.sending, c.backlog);
    } else {
      c.sending.Append(c.backlog.View());
      c.backlog.Clear();
    }
    c.sendingHeld = c.sending.Held();
    NoteBuffered(c);
    readyToWrite_.push_back(c.socket);
    if (c.state != ConnectionState::Open || !c.admitted) awaitedWrite_ = true;
    ++handed;
  };
  for (const core::Socket socket : answered_) {
    if (handed == kWritesPerTurn) break;
    if (Connection* c = Find(socket); c != nullptr && c->queuedForWrite) handOver(*c);
  }
  answered_.clear();
  const std::size_t limit = std::min(handed + kHeardWritesPerTurn, kWritesPerTurn);
  while (handed < limit && toWriteHead_ < toWrite_.size()) {
    Connection* c = Find(toWrite_[toWriteHead_++]);
    if (c != nullptr && c->queuedForWrite) handOver(*c);
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
  for (const core::Socket socket : readyToWrite_) {
    if (Connection* c = Find(socket)) WriteSending(*c);
  }
  readyToWrite_.clear();
}

void ConnectionLayer::NoteAllWrites() {
  for (const core::Socket socket : written_) {
    if (Connection* c = Find(socket); c != nullptr && c->wrote) NoteWrites(*c);
  }
  written_.clear();
}

// With the lock, at the start of a turn: what the writes without the lock did.
void ConnectionLayer::NoteWrites(Connection& c) {
  c.wrote = false;
  if (c.writeError != 0) {
    BeginEnding(c, ConnectionState::SendFailed, "a write failed");
    return;
  }
  c.unsent = DropsOutput(c.state) ? 0 : c.backlog.Size() + c.sending.Size();  // dropped: nothing
  c.sendingHeld = c.sending.Held();
  NoteUnsent(c);
  if (!c.admitted) MarkDirty(c);  // an answer that has left lets its next request in
}

}  // namespace connection
