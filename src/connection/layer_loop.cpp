// The input thread's turn (RunOnce) and what other threads hand it: wake-ups, posted
// tasks, the worker's answers; and the checks and listings the console and tests use.
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <thread>

#include "connection/connection_layer.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "core/outbox.h"

namespace connection {

namespace {

// How often a quiet looks whether what was in flight has finished.
constexpr int kQuietLookMs = 5;

}  // namespace

ConnectionLayer::~ConnectionLayer() {
  for (const auto& c : byHandle_) {
    if (c) ::close(c->socket);
  }
  for (const Closing& closing : closing_) ::close(closing.socket);
  for (const auto& [socket, drain] : draining_) ::close(socket);
  for (const Handover& h : handedOver_) ::close(h.socket);
  {
    std::lock_guard<std::mutex> guard(resumes_->mutex);
    resumes_->open = false;  // a handshake step still out adds nothing now
  }
  if (waitSet_ >= 0) ::close(waitSet_);
  if (wakeUp_ >= 0) ::close(wakeUp_);
}

base::Status ConnectionLayer::Init() {
  waitSet_ = ::epoll_create1(EPOLL_CLOEXEC);
  wakeUp_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = wakeUp_;
  if (waitSet_ < 0 || wakeUp_ < 0 || ::epoll_ctl(waitSet_, EPOLL_CTL_ADD, wakeUp_, &event) != 0) {
    const int error = errno;
    if (waitSet_ >= 0) ::close(waitSet_);
    if (wakeUp_ >= 0) ::close(wakeUp_);
    waitSet_ = wakeUp_ = -1;
    return base::Status::SystemError("Error listening: ", error);
  }
  return {};
}

void ConnectionLayer::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeUp_, &one, sizeof one);
}

void ConnectionLayer::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> guard(handoverLock_);
    posted_.push_back(std::move(task));
  }
  Wake();
}

std::uint64_t ConnectionLayer::Hold(core::Socket socket) {
  ASSERT_CONNECTION_LOCK_HELD();
  Connection* c = Find(socket);
  if (c == nullptr) return 0;
  if (!c->held) {
    c->held = true;
    withLines_.erase({c->order, socket});
  }
  return c->order;
}

void ConnectionLayer::Release(core::Socket socket) {
  ASSERT_CONNECTION_LOCK_HELD();
  Connection* c = Find(socket);
  if (c == nullptr || !c->held) return;
  c->held = false;
  // A closing connection whose answer was long in coming (an upgrade's probe) has its
  // linger time from now: the answer must not be dropped for the wait before it.
  if (c->state != ConnectionState::Open && c->deadline != LimitClock::time_point{}) {
    SetDeadline(*c, LimitClock::now() + kLingerTime);
  }
  DropLoginDeadlineIfInPlay(*c);
  if (!c->waiting.Empty() && c->pausedUntil == LimitClock::time_point{}) withLines_.emplace(c->order, socket);
  if (!inRunOnce_) Wake();
}

void ConnectionLayer::Answer(core::Socket socket, std::uint64_t ticket, const core::Completion& completion) {
  ASSERT_CONNECTION_LOCK_HELD();
  const Connection* c = Find(socket);
  if (c == nullptr || c->order != ticket) return;  // ended; the handle may be another's now
  const bool end = completion();
  outbox_.Flush();
  Release(socket);
  if (end) EndNow(socket, "ended by the game");
}

void ConnectionLayer::CompleteUnowned(const core::Completion& completion) {
  ASSERT_CONNECTION_LOCK_HELD();
  completion();
  outbox_.Flush();
}

void ConnectionLayer::RunOnce(int timeoutMs) {
  epoll_event events[256];
  int wait = busy_ ? 0 : timeoutMs;
  const int due = nextDue_.load(std::memory_order_relaxed);
  if (due >= 0 && (wait < 0 || due < wait)) wait = due;
  if (logDue_ >= 0 && (wait < 0 || logDue_ < wait)) wait = logDue_;
  if (quietAsked_.load(std::memory_order_relaxed) && (wait < 0 || wait > kQuietLookMs)) wait = kQuietLookMs;
  const int count = ::epoll_wait(waitSet_, events, 256, wait);

  // Reads and writes, without the lock: a slow transport (a TLS handshake) holds up
  // nobody's game.
  {
    std::lock_guard<std::mutex> io(ioMutex_);
    const LimitClock::time_point start = LimitClock::now();
    ResumeReading(start);
    ResumeTransports();
    for (int i = 0; i < count; ++i) {
      const int fd = events[i].data.fd;
      if (fd == wakeUp_) {
        // The wake-up is taken before the tasks: a task posted after this point wakes
        // the next wait, where reading it later would swallow that wake.
        std::uint64_t ignored;
        [[maybe_unused]] const ssize_t n = ::read(wakeUp_, &ignored, sizeof ignored);
        continue;
      }
      if (draining_.count(fd) != 0) {
        Drain(fd);
        continue;
      }
      Connection* c = Find(fd);
      if (c == nullptr) continue;
      if ((events[i].events & EPOLLOUT) != 0) WriteSending(*c);
      const bool hungUp = (events[i].events & (EPOLLHUP | EPOLLERR)) != 0;
      if (hungUp) c->hungUp = true;
      if (!c->readEnded && c->wantRead && c->readPausedUntil == LimitClock::time_point{} &&
          ((events[i].events & EPOLLIN) != 0 || hungUp) && WithinBudget(*c, start)) {
        SpendBudget(*c, ReadSocket(*c), start);
      }
    }
    EndDrains(LimitClock::now(), false);
  }

  // The lock is given back without writing the log: the answers leave first.
  core::ConnectionLock.lock();
  {
    inRunOnce_ = true;
    TakeHandedOver();
    std::vector<std::function<void()>> tasks;
    {
      std::lock_guard<std::mutex> posted(handoverLock_);
      tasks.swap(posted_);
    }
    for (const auto& task : tasks) task();
    const Moment now{LimitClock::now(), static_cast<std::int64_t>(std::time(nullptr))};
    for (int i = 0; i < count; ++i) {
      Connection* c = Find(events[i].data.fd);
      if (c == nullptr) continue;
      if (c->readThisTurn) FeedCodec(*c, now);
      if (!c->hungUp) continue;
      c->hungUp = false;
      if (c->state == ConnectionState::PeerClosed || c->state == ConnectionState::CodecDone ||
          c->state == ConnectionState::ServerEndsAfterOutput) {
        BeginEnding(*c, ConnectionState::SendFailed, "hung up");  // nobody is left to read the answers
      }
      if (c->state != ConnectionState::Open && c->watched) {
        // A hung-up socket is reported at every wait, and its waiting lines may take a
        // while at their pace: stop watching it rather than spin.
        ::epoll_ctl(waitSet_, EPOLL_CTL_DEL, c->socket, nullptr);
        c->watched = false;
      }
    }
    for (const core::Socket socket : resumed_) {
      if (Connection* c = Find(socket); c != nullptr && c->readThisTurn) FeedCodec(*c, now);
    }
    resumed_.clear();
    NoteAllWrites();
    ResumePaused(now.monotonic);
    EndStalledReaders(now.monotonic);
    EndOverdue(now.monotonic);
    Sweep(now.monotonic);
    FeedPending(now);
    EnforceMemoryCap();
    EndConnectionsReadyToEnd();
    outbox_.Flush();  // what the handlers queued as connections ended: a cat left its cell
    // Before the hand-over: output about to be written asks for no writability, which
    // the write would take back at once when the socket takes it all.
    SetInterests();
    HandOverBacklogs();
    busy_ = (!withLines_.empty() && !quiet_) || toWriteHead_ < toWrite_.size() || !pendingCodecs_.empty();
    nextDue_.store(MillisecondsToNextDeadline(LimitClock::now()), std::memory_order_relaxed);
    inRunOnce_ = false;
  }
  core::ConnectionLock.UnlockLeavingLog();

  {
    std::lock_guard<std::mutex> io(ioMutex_);
    TakeAdmittedThroughProxy();
    WriteHandedOver();
    CloseSockets();
    // What the writes did is noted under the lock at the start of the next turn. A
    // connection that was waiting for its output to leave (to end, or to be read again)
    // may go on at once, so that turn comes now; the others' counts wait for it.
    if (!written_.empty() && awaitedWrite_) busy_ = true;
    awaitedWrite_ = false;
  }
  logDue_ = core::FlushLogWhenDue();
  if (quietAsked_.load(std::memory_order_relaxed)) CheckQuiet();
}

// Input is wanted while the connection is open, within its pace and has room for more
// lines; writability while it has output the socket did not take.
void ConnectionLayer::UpdateInterest(Connection& c) {
  std::uint32_t wanted = 0;
  if (c.wantRead && !c.readEnded && c.readPausedUntil == LimitClock::time_point{}) wanted |= EPOLLIN;
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
  for (const core::Socket socket : dirty_) {
    Connection* c = Find(socket);
    if (c == nullptr) continue;
    // Not yet admitted (HTTP before its upgrade), a connection is not read while an
    // answer of its waits to leave: a client pipelining requests is answered one by one.
    c->wantRead = c->state == ConnectionState::Open && c->pausedUntil == LimitClock::time_point{} &&
                  c->waiting.Size() < kMaxWaitingInputBytes && (c->admitted || c->unsent == 0) &&
                  pendingCodecs_.count({c->order, c->socket}) == 0;
    UpdateInterest(*c);
  }
  dirty_.clear();
}

bool ConnectionLayer::ConnectionsAreConsistent() const {
  std::size_t live = 0;
  std::unordered_map<base::Address, std::size_t, base::AddressHash> backlogs;
  for (const auto& record : byHandle_) {
    if (!record) continue;
    const Connection& c = *record;
    ++live;
    if (Find(c.socket) != &c || !c.codec || !c.transport || c.door == nullptr) return false;
    const bool paused = c.pausedUntil != LimitClock::time_point{};
    const bool listed = withLines_.count({c.order, c.socket}) != 0;
    if (listed != (!c.waiting.Empty() && !paused && !c.held)) return false;
    if (paused != (paused_.count({c.pausedUntil, c.socket}) != 0)) return false;
    const bool over = c.overSince != LimitClock::time_point{};
    if (over != (overSoft_.count({c.overSince, c.socket}) != 0)) return false;
    if (over != (c.unsent > kSoftBacklogBytes)) return false;
    const bool due = c.deadline != LimitClock::time_point{};
    if (due != (deadlines_.count({c.deadline, c.socket}) != 0)) return false;
    if (!c.admitted && !due && c.state == ConnectionState::Open) return false;
    const bool isEnding = std::find(ending_.begin(), ending_.end(), c.socket) != ending_.end();
    if (isEnding != (c.state != ConnectionState::Open)) return false;
    if ((c.state == ConnectionState::SendFailed || c.state == ConnectionState::Overflowed) &&
        !c.backlog.Empty())
      return false;
    if (c.unsent < c.backlog.Size()) return false;
    if (c.countedBacklog != (c.peer.limited ? c.unsent : 0)) return false;
    if (c.peer.limited) backlogs[c.peer.key] += c.unsent;
  }
  if (live != live_ || withLines_.size() > live || paused_.size() > live ||
      overSoft_.size() > live || deadlines_.size() > live)
    return false;
  for (const auto& [key, bytes] : keyBacklog_) {
    const auto it = backlogs.find(key);
    if (bytes != (it == backlogs.end() ? 0 : it->second)) return false;
  }
  for (const auto& [key, bytes] : backlogs) {
    if (bytes != 0 && keyBacklog_.count(key) == 0) return false;
  }
  return true;
}

std::vector<ConnectionSummary> ConnectionLayer::Summaries() const {
  ASSERT_CONNECTION_LOCK_HELD();
  std::vector<ConnectionSummary> all;
  all.reserve(live_);
  for (const auto& record : byHandle_) {
    if (!record) continue;
    const Connection& c = *record;
    all.push_back({c.socket, c.peer.address, c.door->name.c_str(), c.admitted, c.admitted && c.door->players,
                   c.lastLine, c.unsent, std::string(c.codec->ClientName())});
  }
  return all;
}

void ConnectionLayer::SendEverything(std::chrono::milliseconds limit) {
  ASSERT_CONNECTION_LOCK_HELD();
  // The input thread may be in its reads or writes: they are done before this goes on,
  // and it never does them again, as it waits for the lock this thread keeps.
  std::lock_guard<std::mutex> io(ioMutex_);
  const auto end = LimitClock::now() + limit;
  for (;;) {
    bool left = false;
    for (const auto& record : byHandle_) {
      if (!record) continue;
      Connection& c = *record;
      if (!c.backlog.Empty()) {
        c.sending.Append(c.backlog.View());
        c.backlog.Clear();
      }
      WriteSending(c);
      left = left || (!c.sending.Empty() && c.writeError == 0);
    }
    if (!left || LimitClock::now() >= end) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Then the polite end, as far as each socket takes it now: over TLS a close_notify, so
  // that a client sees the server's close rather than a cut.
  for (const auto& record : byHandle_) {
    if (record && record->transport) record->transport->Close(record->socket);
  }
}

}  // namespace connection
