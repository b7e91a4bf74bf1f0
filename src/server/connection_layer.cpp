// The reading half of the connection layer: taking connections in, reading them
// through their codecs, the sweeps, the deadlines and the ending of connections. The
// writing half is connection_output.cpp.
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <thread>

#include "server/bans.h"
#include "server/connection_lock.h"
#include "server/connections.h"
#include "server/log.h"
#include "server/outbox.h"

namespace server {

namespace {

constexpr const char* kTooManyConnections = "Too many connections from your address.";

bool DropsOutput(ConnectionState state) {
  return state == ConnectionState::SendFailed || state == ConnectionState::Overflowed ||
         state == ConnectionState::Dismissed;
}

bool IsPaused(const Connection& c) { return c.pausedUntil != LimitClock::time_point{}; }
bool HasLines(const Connection& c) { return !c.waiting.Empty(); }
// Its lines are not taken now: over its pace, or held by the game.
bool LinesWait(const Connection& c) { return IsPaused(c) || c.held; }

ConnectionLayer* Process = nullptr;  // set before the threads start

}  // namespace

// What a codec reports while the layer feeds it one connection's bytes.
class ConnectionLayer::Reader final : public CodecEvents {
 public:
  Reader(ConnectionLayer& layer, Connection& c) : layer_(layer), c_(c) {}
  void Line(std::string_view text) override { layer_.AddFrame(c_, FrameKind::Line, text); }
  void TooLong() override { layer_.AddFrame(c_, FrameKind::TooLong, {}); }
  void Admitted() override { admitted_ = true; }
  void Finished() override { finished_ = true; }
  bool admitted_ = false;
  bool finished_ = false;

 private:
  ConnectionLayer& layer_;
  Connection& c_;
};

ConnectionLayer::~ConnectionLayer() {
  for (const auto& c : byHandle_) {
    if (c) net::CloseSocket(c->socket);
  }
  if (waitSet_ >= 0) ::close(waitSet_);
  if (wakeUp_ >= 0) ::close(wakeUp_);
}

bool ConnectionLayer::Init(int& error) {
  waitSet_ = ::epoll_create1(EPOLL_CLOEXEC);
  wakeUp_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (waitSet_ < 0 || wakeUp_ < 0) {
    error = errno;
    return false;
  }
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.fd = wakeUp_;
  if (::epoll_ctl(waitSet_, EPOLL_CTL_ADD, wakeUp_, &event) != 0) {
    error = errno;
    return false;
  }
  return true;
}

Connection* ConnectionLayer::Find(Socket s) const {
  const auto index = static_cast<std::size_t>(s);
  return s >= 0 && index < byHandle_.size() ? byHandle_[index].get() : nullptr;
}

void ConnectionLayer::Wake() {
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(wakeUp_, &one, sizeof one);
}

void ConnectionLayer::Take(Socket socket, std::uint32_t address, std::unique_ptr<Codec> codec) {
  ASSERT_CONNECTION_LOCK_HELD();
  const bool limited = !Addresses().Trusted(address);
  LogSource source(address, limited);
  if (Bans().AddressBanned(address, static_cast<std::int64_t>(std::time(nullptr)))) {
    NoteBannedRefusal();
    std::string bytes;
    codec->Refuse(kAddressBanned, bytes);
    int ignored = 0;
    net::SendSome(socket, bytes, ignored);
    ::shutdown(socket, SHUT_WR);
    net::CloseSocket(socket);
    return;
  }
  if (!Addresses().Connect(address)) {
    // Refused before it is a connection: its codec's words, then the close. Only the
    // first refusal is logged, so a flood of attempts cannot flood the log.
    LogFirstRefusal(address, LimitKind::Connections);
    std::string bytes;
    codec->Refuse(kTooManyConnections, bytes);
    int ignored = 0;
    net::SendSome(socket, bytes, ignored);
    ::shutdown(socket, SHUT_WR);
    net::CloseSocket(socket);
    return;
  }
  const auto index = static_cast<std::size_t>(socket);
  if (index >= byHandle_.size()) byHandle_.resize(std::max(index + 1, byHandle_.size() * 2));
  byHandle_[index] = std::make_unique<Connection>();
  Connection& c = *byHandle_[index];
  ++live_;
  c.socket = socket;
  c.order = nextOrder_++;
  c.address = address;
  c.limited = limited;
  c.codec = std::move(codec);
  c.lastLine = LimitClock::now();
  c.interest = EPOLLIN;
  epoll_event event{};
  event.events = c.interest;
  event.data.fd = socket;
  ::epoll_ctl(waitSet_, EPOLL_CTL_ADD, socket, &event);
  std::string opening;
  c.codec->Start(opening);
  if (!opening.empty()) SendNow(c, opening);
  if (c.codec->PlaysFromStart()) {
    Admit(c);
  } else {
    SetDeadline(c, LimitClock::now() + kAdmitTime);
    if (!inRunOnce_) Wake();  // RunOnce's wait must end by the deadline
  }
}

// The connection becomes a player: logged, and welcomed with its first frame.
void ConnectionLayer::Admit(Connection& c) {
  c.playing = true;
  if (c.deadline != LimitClock::time_point{}) SetDeadline(c, {});
  Log("New connection from " + AddressText(c.address) + " (" +
      std::to_string(static_cast<unsigned>(c.socket)) + ")\n");
  const Socket before = answering_;
  BeginAnswering(c.socket);  // the welcome is sent now
  QueueMessage(c.socket, kWelcome);
  FlushOutbox();
  answering_ = before;
}

void ConnectionLayer::SetDeadline(Connection& c, LimitClock::time_point when) {
  if (c.deadline != LimitClock::time_point{}) deadlines_.erase({c.deadline, c.socket});
  c.deadline = when;
  if (when != LimitClock::time_point{}) deadlines_.emplace(when, c.socket);
}

bool ConnectionLayer::OrderOf(Socket socket, std::uint64_t& order) const {
  const Connection* c = Find(socket);
  if (c == nullptr) return false;
  order = c->order;
  return true;
}

void ConnectionLayer::Hold(Socket socket) {
  Connection* c = Find(socket);
  if (c == nullptr || c->held) return;
  c->held = true;
  withLines_.erase({c->order, socket});
}

void ConnectionLayer::Release(Socket socket) {
  Connection* c = Find(socket);
  if (c == nullptr || !c->held) return;
  c->held = false;
  if (HasLines(*c) && !IsPaused(*c)) withLines_.emplace(c->order, socket);
  if (!inRunOnce_) Wake();
}

void ConnectionLayer::Dismiss(Socket socket) {
  Connection* c = Find(socket);
  if (c != nullptr) BeginEnding(*c, ConnectionState::Dismissed);
}

void ConnectionLayer::Post(std::function<void()> task) {
  {
    std::lock_guard<std::mutex> guard(postedLock_);
    posted_.push_back(std::move(task));
  }
  Wake();
}

bool ConnectionLayer::LimitedAddressOf(Socket socket, std::uint32_t& address) const {
  const Connection* c = Find(socket);
  if (c == nullptr || !c->limited) return false;
  address = c->address;
  return true;
}

// Asks epoll for what the connection needs now: input while it is open, within its
// pace and has room for more lines, writability while it has a backlog.
void ConnectionLayer::UpdateInterest(Connection& c) {
  std::uint32_t wanted = 0;
  if (c.state == ConnectionState::Open && !IsPaused(c) && c.waiting.Size() < kMaxWaitingInputBytes)
    wanted |= EPOLLIN;
  if (!c.backlog.Empty()) wanted |= EPOLLOUT;
  if (!c.watched || wanted == c.interest) return;
  epoll_event event{};
  event.events = wanted;
  event.data.fd = c.socket;
  ::epoll_ctl(waitSet_, EPOLL_CTL_MOD, c.socket, &event);
  c.interest = wanted;
}

// Leaves the Open state; the connection ends when its turn comes.
void ConnectionLayer::BeginEnding(Connection& c, ConnectionState why) {
  if (c.state == ConnectionState::Open) {
    c.state = why;
    ending_.push_back(c.socket);
    if (!DropsOutput(why)) SetDeadline(c, LimitClock::now() + kLingerTime);
  } else if (why == ConnectionState::Dismissed || (DropsOutput(why) && !DropsOutput(c.state))) {
    // A connection already ending may still lose its output, and the server's own
    // decision to end it outranks every other reason: no further line of it runs.
    c.state = why;
  }
  if (DropsOutput(c.state)) {
    c.backlog.Clear();
    NoteBacklogSize(c);
  }
  UpdateInterest(c);
  Wake();
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

// Reads what has arrived on an open connection, once, through its codec.
void ConnectionLayer::ReadFrom(Connection& c) {
  static char buffer[64 * 1024];  // used by the thread in RunOnce only
  ssize_t n;
  do {
    n = ::recv(c.socket, buffer, sizeof buffer, 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    LogSource source(c.address, c.limited);
    Reader events(*this, c);
    std::string toPeer;
    c.codec->Read(std::string_view(buffer, static_cast<std::size_t>(n)), events, toPeer);
    if (!toPeer.empty()) Queue(c, toPeer);
    if (events.admitted_ && !c.playing) Admit(c);
    if (events.finished_) BeginEnding(c, ConnectionState::Finished);
  } else if (n == 0) {
    BeginEnding(c, ConnectionState::PeerClosed);
  } else if (errno == ECONNRESET) {
    BeginEnding(c, ConnectionState::Reset);
  } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
    c.recvError = errno;
    BeginEnding(c, ConnectionState::RecvFailed);
  }
  UpdateInterest(c);
}

// True when a line of `c` may run now; otherwise pauses the connection until it may.
bool ConnectionLayer::WithinPace(Connection& c, LimitClock::time_point now) {
  if (!c.limited || c.state == ConnectionState::Dismissed) return true;
  LimitClock::time_point readyAt;
  if (c.pace.Take(Addresses().Limits().maxLinesPerSecond, now, readyAt)) return true;
  LogFirstRefusal(c.address, LimitKind::LinesPerSecond);
  withLines_.erase({c.order, c.socket});
  c.pausedUntil = readyAt;
  paused_.emplace(readyAt, c.socket);
  UpdateInterest(c);  // nothing more is read until it may go on
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
    UpdateInterest(*c);
  }
}

// Ends the connections whose backlog has stayed above the soft cap for the grace time.
void ConnectionLayer::EndStalledReaders(LimitClock::time_point now) {
  while (!overSoft_.empty() && overSoft_.begin()->first + kSoftBacklogGrace <= now) {
    Connection* c = Find(overSoft_.begin()->second);
    overSoft_.erase(overSoft_.begin());
    if (c == nullptr) continue;
    c->overSince = {};
    BeginEnding(*c, ConnectionState::Overflowed);
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
    if (!c->playing) {
      BeginEnding(*c, ConnectionState::Dismissed);
    } else if (HasLines(*c) || c->held) {
      SetDeadline(*c, now + kLingerTime);  // its lines are still being answered
    } else {
      BeginEnding(*c, ConnectionState::SendFailed);
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
  if (next == LimitClock::time_point::max()) return -1;
  if (next <= now) return 0;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - now);
  return static_cast<int>(std::min<std::int64_t>(wait.count(), 60'000));
}

// One sweep: at most one waiting line of every connection, in accept order.
void ConnectionLayer::Sweep() {
  const std::vector<std::pair<std::uint64_t, Socket>> turn(withLines_.begin(), withLines_.end());
  const LimitClock::time_point now = LimitClock::now();
  for (const auto& [order, socket] : turn) {
    Connection* c = Find(socket);
    if (c == nullptr || c->held || !HasLines(*c) || !WithinPace(*c, now)) continue;
    auto [kind, text] = TakeFrame(*c);
    if (c->state == ConnectionState::Dismissed) continue;
    c->lastLine = now;
    ++linesHandled_;
    LogSource source(c->address, c->limited);
    BeginAnswering(socket);
    if (kind == FrameKind::TooLong) {
      QueueMessage(socket, "Line too long.");
      FlushOutbox();
    } else if (game_.line != nullptr && game_.line(socket, text)) {
      BeginEnding(*c, ConnectionState::Dismissed);
    }
    EndAnswering();
    if (c->state == ConnectionState::Open) UpdateInterest(*c);  // room for more input
  }
}

// A connection is done when it is ending and nothing of it is left to do.
bool ConnectionLayer::ReadyToEnd(const Connection& c) const {
  if (c.state == ConnectionState::Dismissed) return true;
  if (HasLines(c) || c.held) return false;
  // A peer that only closed its sending side still gets the answers to its lines.
  const bool closing = c.state == ConnectionState::PeerClosed || c.state == ConnectionState::Finished;
  return !closing || c.backlog.Empty();
}

void ConnectionLayer::End(Connection& c) {
  const Socket socket = c.socket;
  {
    LogSource source(c.address, c.limited);
    if (c.state == ConnectionState::RecvFailed) {
      Log("Error recv: " + std::to_string(c.recvError) + "\n");
    } else if (c.playing) {
      Log(std::to_string(static_cast<unsigned>(socket)) + " disconnected\n");
    }
  }
  if (c.playing && game_.ended != nullptr) game_.ended(socket);
  withLines_.erase({c.order, socket});
  if (IsPaused(c)) paused_.erase({c.pausedUntil, socket});
  if (c.overSince != LimitClock::time_point{}) overSoft_.erase({c.overSince, socket});
  if (c.deadline != LimitClock::time_point{}) deadlines_.erase({c.deadline, socket});
  c.backlog.Clear();
  NoteBacklogSize(c);
  Addresses().Disconnect(c.address);
  if (c.watched) ::epoll_ctl(waitSet_, EPOLL_CTL_DEL, socket, nullptr);
  if (c.state == ConnectionState::Dismissed) {
    // The server's own close: the codec's goodbye, if it has one. Input left unread
    // would make the close a reset, which can destroy the last answer before the
    // client reads it.
    std::string goodbye;
    if (c.playing) c.codec->Finish(goodbye);
    int ignored = 0;
    if (!goodbye.empty()) net::SendSome(socket, goodbye, ignored);
    static char buffer[4096];
    for (int i = 0; i < 64 && ::recv(socket, buffer, sizeof buffer, MSG_DONTWAIT) > 0; ++i) {
    }
    ::shutdown(socket, SHUT_WR);
  }
  byHandle_[static_cast<std::size_t>(socket)].reset();
  --live_;
  net::CloseSocket(socket);
}

void ConnectionLayer::EndFinishedConnections() {
  std::vector<Socket> still;
  for (const Socket socket : ending_) {
    Connection* c = Find(socket);
    if (c == nullptr) continue;
    if (ReadyToEnd(*c)) {
      End(*c);
    } else {
      still.push_back(socket);
    }
  }
  ending_ = std::move(still);
}

void ConnectionLayer::RunOnce(int timeoutMs) {
  epoll_event events[256];
  int wait = busy_ ? 0 : timeoutMs;
  const int due = nextDue_.load(std::memory_order_relaxed);
  if (due >= 0 && (wait < 0 || due < wait)) wait = due;
  const int count = ::epoll_wait(waitSet_, events, 256, wait);
  std::lock_guard<FairLock> guard(ConnectionLock);
  inRunOnce_ = true;
  // The wake-up is taken before the tasks: a task posted after this point wakes the
  // next wait, where reading it later would swallow that wake and leave the task
  // waiting for some other event.
  for (int i = 0; i < count; ++i) {
    if (events[i].data.fd != wakeUp_) continue;
    std::uint64_t ignored;
    [[maybe_unused]] const ssize_t n = ::read(wakeUp_, &ignored, sizeof ignored);
  }
  std::vector<std::function<void()>> tasks;
  {
    std::lock_guard<std::mutex> posted(postedLock_);
    tasks.swap(posted_);
  }
  for (const auto& task : tasks) task();
  for (int i = 0; i < count; ++i) {
    const epoll_event& event = events[i];
    if (event.data.fd == wakeUp_) continue;
    Connection* c = Find(event.data.fd);
    if (c == nullptr) continue;
    if ((event.events & EPOLLOUT) != 0) SendBacklog(*c);
    const bool hungUp = (event.events & (EPOLLHUP | EPOLLERR)) != 0;
    if (c->state == ConnectionState::Open && ((event.events & EPOLLIN) != 0 || hungUp)) {
      ReadFrom(*c);
    } else if (hungUp && (c->state == ConnectionState::PeerClosed ||
                          c->state == ConnectionState::Finished)) {
      BeginEnding(*c, ConnectionState::SendFailed);  // nobody is left to read the answers
    }
    if (hungUp && c->state != ConnectionState::Open && c->watched) {
      // A hung-up socket is reported at every wait, and its waiting lines may take a
      // while at their pace: stop watching it rather than spin.
      ::epoll_ctl(waitSet_, EPOLL_CTL_DEL, c->socket, nullptr);
      c->watched = false;
    }
  }
  const LimitClock::time_point now = LimitClock::now();
  ResumePaused(now);
  EndStalledReaders(now);
  EndOverdue(now);
  Sweep();
  WriteSome();
  EndFinishedConnections();
  busy_ = !withLines_.empty() || toWriteHead_ < toWrite_.size();
  nextDue_.store(MillisecondsToNextDeadline(LimitClock::now()), std::memory_order_relaxed);
  inRunOnce_ = false;
}

bool ConnectionLayer::ConnectionsAreConsistent() const {
  std::size_t live = 0;
  std::unordered_map<std::uint32_t, std::size_t> backlogs;
  for (const auto& record : byHandle_) {
    if (!record) continue;
    const Connection& c = *record;
    ++live;
    if (Find(c.socket) != &c || !c.codec) return false;
    const bool listed = withLines_.count({c.order, c.socket}) != 0;
    if (listed != (HasLines(c) && !LinesWait(c))) return false;
    if (IsPaused(c) != (paused_.count({c.pausedUntil, c.socket}) != 0)) return false;
    const bool over = c.overSince != LimitClock::time_point{};
    if (over != (overSoft_.count({c.overSince, c.socket}) != 0)) return false;
    if (over != (c.backlog.Size() > kSoftBacklogBytes)) return false;
    const bool due = c.deadline != LimitClock::time_point{};
    if (due != (deadlines_.count({c.deadline, c.socket}) != 0)) return false;
    if (!c.playing && !due && c.state == ConnectionState::Open) return false;
    const bool isEnding = std::find(ending_.begin(), ending_.end(), c.socket) != ending_.end();
    if (isEnding != (c.state != ConnectionState::Open)) return false;
    if (DropsOutput(c.state) && !c.backlog.Empty()) return false;
    if (c.countedBacklog != (c.limited ? c.backlog.Size() : 0)) return false;
    if (c.limited) backlogs[c.address] += c.backlog.Size();
  }
  if (live != live_ || withLines_.size() > live || paused_.size() > live ||
      overSoft_.size() > live || deadlines_.size() > live)
    return false;
  for (const auto& [address, bytes] : addressBacklog_) {
    const auto it = backlogs.find(address);
    if (bytes != (it == backlogs.end() ? 0 : it->second)) return false;
  }
  for (const auto& [address, bytes] : backlogs) {
    if (bytes != 0 && addressBacklog_.count(address) == 0) return false;
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
    all.push_back({c.socket, c.address, c.codec->DoorName(), c.playing, c.lastLine, c.backlog.Size()});
  }
  return all;
}

bool ConnectionLayer::Remove(Socket socket) {
  ASSERT_CONNECTION_LOCK_HELD();
  Connection* c = Find(socket);
  if (c == nullptr || !c->playing || c->state != ConnectionState::Open) return false;
  c->waiting.Clear();
  withLines_.erase({c->order, socket});
  BeginEnding(*c, ConnectionState::Finished);
  return true;
}

void ConnectionLayer::SendEverything(std::chrono::milliseconds limit) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto end = LimitClock::now() + limit;
  for (;;) {
    bool left = false;
    for (const auto& record : byHandle_) {
      if (!record || record->backlog.Empty()) continue;
      SendBacklog(*record);
      left = left || !record->backlog.Empty();
    }
    if (!left || LimitClock::now() >= end) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void SetConnections(ConnectionLayer* layer) { Process = layer; }

ConnectionLayer& Connections() { return *Process; }

void SendFrame(Socket destination, std::string_view frame) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (Process != nullptr) Process->SendFrame(destination, frame);
}

void SendData(Socket destination, std::string_view message) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (Process != nullptr) Process->SendData(destination, message);
}

bool WantsData(Socket destination, std::string_view package) {
  ASSERT_CONNECTION_LOCK_HELD();
  return Process != nullptr && Process->WantsData(destination, package);
}

bool LimitedAddressOf(Socket socket, std::uint32_t& address) {
  ASSERT_CONNECTION_LOCK_HELD();
  return Process != nullptr && Process->LimitedAddressOf(socket, address);
}

}  // namespace server
