#include "bench_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <queue>
#include <string_view>

#include "bench_stats.h"
#include "bench_websocket.h"

namespace bench {

namespace {

void Note(Fleet& fleet, const std::string& what) {
  if (fleet.problem.empty()) fleet.problem = what;
}

void Watch(Fleet& fleet, std::uint32_t index, std::uint32_t events, int op) {
  epoll_event event{};
  event.events = events;
  event.data.u32 = index;
  ::epoll_ctl(fleet.waitSet, op, fleet.players[index].fd, &event);
}

void Fail(Fleet& fleet, std::uint32_t index, const std::string& why) {
  Player& p = fleet.players[index];
  if (p.phase == Phase::Failed) return;
  Note(fleet, p.name + ": " + why);
  if (p.fd >= 0) ::close(p.fd);
  p.fd = -1;
  p.phase = Phase::Failed;
  ++fleet.failedConnections;
  ++fleet.failedNow;
}

void SendRest(Fleet& fleet, std::uint32_t index);

// A web player opens its WebSocket as soon as the TCP connection stands.
void Established(Fleet& fleet, std::uint32_t index) {
  if (!fleet.web) return;
  fleet.players[index].unsent = WebSocketUpgrade(fleet.port);
  SendRest(fleet, index);
}

void StartConnect(Fleet& fleet, std::uint32_t index) {
  Player& p = fleet.players[index];
  p.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (p.fd < 0) {
    Fail(fleet, index, std::string("socket: ") + std::strerror(errno));
    return;
  }
  const int one = 1;
  ::setsockopt(p.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(fleet.port));
  if (::connect(p.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    p.phase = Phase::Greeting;
    Watch(fleet, index, EPOLLIN, EPOLL_CTL_ADD);
    Established(fleet, index);
  } else if (errno == EINPROGRESS) {
    p.phase = Phase::Connecting;
    Watch(fleet, index, EPOLLIN | EPOLLOUT, EPOLL_CTL_ADD);
  } else {
    Fail(fleet, index, std::string("connect: ") + std::strerror(errno));
  }
}

// Sends the rest of a line; asks for writability while some of it is left.
void SendRest(Fleet& fleet, std::uint32_t index) {
  Player& p = fleet.players[index];
  const bool wasBlocked = !p.unsent.empty();
  while (!p.unsent.empty()) {
    const ssize_t n = ::send(p.fd, p.unsent.data(), p.unsent.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      Watch(fleet, index, EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
      return;
    }
    if (n < 0) {
      Fail(fleet, index, std::string("send: ") + std::strerror(errno));
      return;
    }
    p.unsent.erase(0, static_cast<std::size_t>(n));
  }
  if (wasBlocked) Watch(fleet, index, EPOLLIN, EPOLL_CTL_MOD);
}

// Sends one command and starts its clock.
void Send(Fleet& fleet, std::uint32_t index, Expectation expected) {
  Player& p = fleet.players[index];
  p.expected = std::move(expected);
  p.phase = Phase::Waiting;
  p.measured = fleet.counting;
  if (fleet.web) {
    p.unsent.clear();
    AppendWebSocketText(p.unsent, p.expected.line);
  } else {
    p.unsent = p.expected.line;
    p.unsent.push_back('\0');
  }
  p.sentNs = NowNs();
  SendRest(fleet, index);
}

void Place(Fleet& fleet, std::uint32_t index, Cell to) {
  Player& p = fleet.players[index];
  if (p.inPlay && OnMap(p.at)) {
    auto& here = fleet.occupants[static_cast<std::size_t>(CellIndex(p.at))];
    const auto it = std::find(here.begin(), here.end(), index);
    if (it != here.end()) {
      *it = here.back();
      here.pop_back();
    }
  }
  p.at = to;
  if (p.inPlay && OnMap(to)) fleet.occupants[static_cast<std::size_t>(CellIndex(to))].push_back(index);
}

void Record(Fleet& fleet, const Player& p, std::int64_t now) {
  if (!fleet.counting || !p.measured) return;
  const std::int64_t took = now - p.sentNs;
  fleet.tally.all.push_back(took);
  fleet.tally.byKind[static_cast<std::size_t>(p.expected.kind)].push_back(took);
  ++fleet.tally.answered;
}

void OnAnswer(Fleet& fleet, std::uint32_t index, std::string_view frame, std::int64_t now) {
  Player& p = fleet.players[index];
  Record(fleet, p, now);
  p.phase = Phase::Ready;
  if (p.expected.kind == Command::Setup) {
    if (fleet.echo || frame.rfind("Character created.", 0) == 0) {
      const std::string_view place = Origins()[static_cast<std::size_t>(p.origin)].place;
      if (!fleet.echo && frame.find("\nYou are in " + std::string(place)) == std::string_view::npos) {
        Note(fleet, p.name + " did not start in " + std::string(place) + " but: " +
                        std::string(frame.substr(0, 120)));
      }
      p.inPlay = true;
      Place(fleet, index, p.at);
    } else {
      Note(fleet, p.name + " was not created: " + std::string(frame.substr(0, 120)));
    }
  } else if (p.expected.kind == Command::Move) {
    const char letter = p.expected.line[0];
    if (fleet.echo) {
      p.planned = Stepped(p.planned, letter);
      Place(fleet, index, p.planned);  // the echo has no world: the step is taken at once
    } else if (frame == "Movement queued.") {
      p.queued.push_back(letter);
      p.planned = Stepped(p.planned, letter);
    } else {
      ++fleet.tally.refusedMoves;
    }
  }
  fleet.finished.push_back(index);
}

void OnUnasked(Fleet& fleet, std::uint32_t index, std::string_view frame) {
  Player& p = fleet.players[index];
  if (fleet.counting) ++fleet.tally.unasked;
  if (p.queued.empty()) return;
  for (int steps = OwnArrivals(frame, p.name); steps > 0 && !p.queued.empty(); --steps) {
    const char letter = p.queued.front();
    p.queued.erase(0, 1);
    Place(fleet, index, Stepped(p.at, letter));
  }
}

void OnFrame(Fleet& fleet, std::uint32_t index, std::string_view frame, std::int64_t now) {
  Player& p = fleet.players[index];
  switch (p.phase) {
    case Phase::Greeting:
      p.phase = Phase::Ready;
      fleet.finished.push_back(index);
      break;
    case Phase::Waiting:
      if (IsAnswer(p.expected, frame)) {
        OnAnswer(fleet, index, frame, now);
      } else {
        OnUnasked(fleet, index, frame);
      }
      break;
    default:
      OnUnasked(fleet, index, frame);
      break;
  }
}

// Takes a web player's bytes; false when the player failed.
bool TakeWebSocket(Fleet& fleet, std::uint32_t index, std::string_view bytes, std::int64_t now) {
  fleet.players[index].partial.append(bytes);
  std::string text;
  for (;;) {
    Player& p = fleet.players[index];
    switch (TakeWebSocketResponse(p.partial, p.upgraded, text)) {
      case WsTake::Incomplete:
        return true;
      case WsTake::Text:
        OnFrame(fleet, index, text, now);
        break;
      case WsTake::Other:
        break;
      case WsTake::Close:
        Fail(fleet, index, "the server closed the WebSocket");
        return false;
      case WsTake::Bad:
        Fail(fleet, index, "not a WebSocket answer: " + p.partial.substr(0, 80));
        return false;
    }
    if (fleet.players[index].phase == Phase::Failed) return false;
  }
}

void OnReadable(Fleet& fleet, std::uint32_t index) {
  static char buffer[64 * 1024];  // the load generator has one thread
  for (int reads = 0; reads < 16; ++reads) {
    Player& p = fleet.players[index];
    if (p.phase == Phase::Failed) return;
    const ssize_t n = ::recv(p.fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      Fail(fleet, index, n == 0 ? "the server closed the connection" : std::string("recv: ") + std::strerror(errno));
      return;
    }
    const std::int64_t now = NowNs();
    std::string_view bytes(buffer, static_cast<std::size_t>(n));
    if (fleet.web) {
      if (!TakeWebSocket(fleet, index, bytes, now)) return;
      if (static_cast<std::size_t>(n) < sizeof buffer) return;
      continue;
    }
    for (std::size_t end; (end = bytes.find('\0')) != std::string_view::npos;) {
      if (p.partial.empty()) {
        OnFrame(fleet, index, bytes.substr(0, end), now);
      } else {
        p.partial.append(bytes.substr(0, end));
        const std::string frame = std::move(p.partial);
        p.partial.clear();
        OnFrame(fleet, index, frame, now);
      }
      bytes.remove_prefix(end + 1);
    }
    fleet.players[index].partial.append(bytes);
    if (static_cast<std::size_t>(n) < sizeof buffer) return;
  }
}

void OnWritable(Fleet& fleet, std::uint32_t index) {
  Player& p = fleet.players[index];
  if (p.phase == Phase::Connecting) {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
      Fail(fleet, index, std::string("connect: ") + std::strerror(error));
      return;
    }
    p.phase = Phase::Greeting;
    Watch(fleet, index, EPOLLIN, EPOLL_CTL_MOD);
    Established(fleet, index);
    return;
  }
  SendRest(fleet, index);
}

// Waits for events until `untilNs` at the latest and handles one batch of them.
void PumpOnce(Fleet& fleet, std::int64_t untilNs) {
  static std::vector<epoll_event> events(4096);  // the load generator has one thread
  const std::int64_t left = untilNs - NowNs();
  const int timeoutMs = left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
  const int count = ::epoll_wait(fleet.waitSet, events.data(), static_cast<int>(events.size()), timeoutMs);
  for (int i = 0; i < count; ++i) {
    const epoll_event& event = events[static_cast<std::size_t>(i)];
    const std::uint32_t index = event.data.u32;
    if (fleet.players[index].phase == Phase::Failed) continue;
    if ((event.events & EPOLLOUT) != 0) OnWritable(fleet, index);
    if ((event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
      if (fleet.players[index].phase == Phase::Connecting) {
        OnWritable(fleet, index);  // a refused connect shows as an error event
      } else {
        OnReadable(fleet, index);
      }
    }
  }
}

Expectation NextCommand(Fleet& fleet, std::uint32_t index, bool sayOnly) {
  const Player& p = fleet.players[index];
  const Command kind = sayOnly ? Command::Say : PickChatCommand(fleet.random);
  std::string_view listener = p.name;
  char step = 'n';
  if (kind == Command::Whisper && OnMap(p.at)) {
    // Someone who stands here, as far as the bench knows; oneself when alone.
    const auto& here = fleet.occupants[static_cast<std::size_t>(CellIndex(p.at))];
    if (here.size() > 1) {
      std::uint32_t other = index;
      while (other == index) other = here[std::uniform_int_distribution<std::size_t>(0, here.size() - 1)(fleet.random)];
      listener = fleet.players[other].name;
    }
  } else if (kind == Command::Move) {
    step = PickStep(p.planned, fleet.random);
  }
  return MakeCommand(kind, p.name, fleet.nextToken++, listener, step, fleet.echo);
}

// Gives up on commands that were not answered in time, so one lost answer cannot stall
// a run; they are counted.
void ExpireAnswers(Fleet& fleet, std::int64_t timeoutNs, std::int64_t now) {
  for (std::uint32_t i = 0; i < fleet.players.size(); ++i) {
    Player& p = fleet.players[i];
    if (p.phase != Phase::Waiting || now - p.sentNs < timeoutNs) continue;
    if (p.measured && fleet.counting) ++fleet.tally.unanswered;
    Note(fleet, p.name + ": no answer to \"" + p.expected.line + "\"");
    p.phase = Phase::Ready;
    fleet.finished.push_back(i);
  }
}

std::size_t Outstanding(const Fleet& fleet) {
  std::size_t n = 0;
  for (const Player& p : fleet.players) n += p.phase == Phase::Waiting ? 1 : 0;
  return n;
}

}  // namespace

void MakeFleet(Fleet& fleet, bool echo, int port, std::size_t count, const std::string& prefix,
               std::uint64_t seed) {
  fleet = Fleet{};
  fleet.echo = echo;
  fleet.port = port;
  fleet.waitSet = ::epoll_create1(EPOLL_CLOEXEC);
  fleet.random.seed(seed);
  fleet.occupants.assign(static_cast<std::size_t>(kMapSize * kMapSize), {});
  fleet.players.resize(count);
  const std::size_t origins = Origins().size();
  for (std::size_t i = 0; i < count; ++i) {
    Player& p = fleet.players[i];
    p.name = prefix + std::to_string(i);
    p.origin = static_cast<int>(i % origins);
    p.at = p.planned = Origins()[i % origins].start;
  }
}

std::int64_t ConnectAll(Fleet& fleet, std::size_t inflight, std::int64_t timeoutNs) {
  const std::int64_t start = NowNs();
  const std::int64_t deadline = start + timeoutNs;
  const std::size_t total = fleet.players.size();
  std::size_t next = 0;
  std::size_t greeted = 0;
  std::size_t failed = 0;
  std::int64_t last = start;
  fleet.finished.clear();
  fleet.failedNow = 0;
  while (greeted + failed < total && NowNs() < deadline) {
    while (next < total && next - greeted - failed < inflight) StartConnect(fleet, static_cast<std::uint32_t>(next++));
    PumpOnce(fleet, deadline);
    if (!fleet.finished.empty()) last = NowNs();
    greeted += fleet.finished.size();
    failed += fleet.failedNow;
    fleet.finished.clear();
    fleet.failedNow = 0;
  }
  if (greeted < total) {
    Note(fleet, std::to_string(greeted) + " of " + std::to_string(total) + " connections greeted");
    return -1;
  }
  return last - start;
}

bool SetUpAll(Fleet& fleet, std::size_t inflight, std::int64_t timeoutNs) {
  const std::int64_t deadline = NowNs() + timeoutNs;
  const std::size_t total = fleet.players.size();
  std::size_t next = 0;
  std::size_t done = 0;
  fleet.finished.clear();
  fleet.failedNow = 0;
  while (done < total && NowNs() < deadline) {
    while (next < total && next - done < inflight) {
      const auto index = static_cast<std::uint32_t>(next++);
      Player& p = fleet.players[index];
      if (p.phase != Phase::Ready) {
        ++done;
        continue;
      }
      Expectation e;
      e.kind = Command::Setup;
      e.echo = fleet.echo;
      e.line = SetupLine(p.name, Origins()[static_cast<std::size_t>(p.origin)]);
      Send(fleet, index, std::move(e));
    }
    PumpOnce(fleet, deadline);
    done += fleet.finished.size() + fleet.failedNow;
    fleet.finished.clear();
    fleet.failedNow = 0;
  }
  std::size_t created = 0;
  for (const Player& p : fleet.players) created += p.inPlay ? 1 : 0;
  if (created < total) Note(fleet, std::to_string(created) + " of " + std::to_string(total) + " characters created");
  return created == total;
}

bool Spread(Fleet& fleet, const std::vector<Placement>& plan, std::int64_t timeoutNs) {
  const std::int64_t deadline = NowNs() + timeoutNs;
  fleet.finished.clear();
  fleet.failedNow = 0;
  for (std::uint32_t i = 0; i < fleet.players.size() && i < plan.size(); ++i) {
    Player& p = fleet.players[i];
    p.toQueue = plan[i].moves;
    if (p.phase == Phase::Ready && !p.toQueue.empty()) fleet.finished.push_back(i);
  }
  auto walking = [&] {
    for (const Player& p : fleet.players) {
      if (p.phase != Phase::Failed && (!p.toQueue.empty() || !p.queued.empty() || p.phase == Phase::Waiting)) {
        return true;
      }
    }
    return false;
  };
  while (NowNs() < deadline) {
    // Each player queues its next step as soon as the last one was accepted.
    const std::vector<std::uint32_t> ready = std::move(fleet.finished);
    fleet.finished.clear();
    for (const std::uint32_t i : ready) {
      Player& p = fleet.players[i];
      if (p.phase != Phase::Ready || p.toQueue.empty()) continue;
      const char letter = p.toQueue[0];
      p.toQueue.erase(0, 1);
      Send(fleet, i, MakeCommand(Command::Move, p.name, 0, {}, letter, fleet.echo));
    }
    if (!walking()) return true;
    PumpOnce(fleet, std::min(deadline, NowNs() + 250'000'000));
    fleet.failedNow = 0;
  }
  std::size_t late = 0;
  for (const Player& p : fleet.players) late += (!p.queued.empty() || !p.toQueue.empty()) ? 1 : 0;
  Note(fleet, std::to_string(late) + " players did not reach their cells in time");
  return false;
}

void RunDrive(Fleet& fleet, const DrivePlan& plan) {
  fleet.tally = Tally{};
  fleet.tally.all.reserve(1 << 16);
  const std::int64_t start = NowNs();
  const std::int64_t end = start + plan.durationNs;
  const std::size_t active = std::min(plan.active, fleet.players.size());
  fleet.finished.clear();
  fleet.failedNow = 0;
  fleet.counting = true;

  using Slot = std::pair<std::int64_t, std::uint32_t>;
  std::priority_queue<Slot, std::vector<Slot>, std::greater<Slot>> due;
  if (plan.drive == Drive::Paced) {
    for (std::uint32_t i = 0; i < active; ++i) {
      due.emplace(start + std::uniform_int_distribution<std::int64_t>(0, plan.periodNs - 1)(fleet.random), i);
    }
  } else if (plan.drive == Drive::Flood) {
    for (std::uint32_t i = 0; i < active; ++i) {
      if (fleet.players[i].phase == Phase::Ready) Send(fleet, i, NextCommand(fleet, i, plan.sayOnly));
    }
  }
  std::int64_t nextExpiry = start + 250'000'000;
  for (;;) {
    std::int64_t now = NowNs();
    if (now >= end) break;
    while (!due.empty() && due.top().first <= now) {
      const auto [when, i] = due.top();
      due.pop();
      // A player whose last answer has not come skips its turn rather than queueing up.
      if (fleet.players[i].phase == Phase::Ready) Send(fleet, i, NextCommand(fleet, i, plan.sayOnly));
      if (when + plan.periodNs < end) due.emplace(when + plan.periodNs, i);
    }
    std::int64_t wake = std::min(end, nextExpiry);
    if (!due.empty()) wake = std::min(wake, due.top().first);
    PumpOnce(fleet, wake);
    if (plan.drive == Drive::Flood) {
      const std::vector<std::uint32_t> ready = std::move(fleet.finished);
      fleet.finished.clear();
      for (const std::uint32_t i : ready) {
        if (i < active && fleet.players[i].phase == Phase::Ready && NowNs() < end) {
          Send(fleet, i, NextCommand(fleet, i, plan.sayOnly));
        }
      }
    } else {
      fleet.finished.clear();
    }
    now = NowNs();
    if (now >= nextExpiry) {
      ExpireAnswers(fleet, plan.answerTimeoutNs, now);
      nextExpiry = now + 250'000'000;
    }
  }
  // The window is over: wait for the answers still due.
  const std::int64_t deadline = NowNs() + plan.answerTimeoutNs;
  while (Outstanding(fleet) > 0 && NowNs() < deadline) PumpOnce(fleet, std::min(deadline, NowNs() + 50'000'000));
  ExpireAnswers(fleet, 0, NowNs());
  fleet.counting = false;
  fleet.finished.clear();
}

void CloseFleet(Fleet& fleet) {
  const linger reset{1, 0};
  for (Player& p : fleet.players) {
    if (p.fd < 0) continue;
    ::setsockopt(p.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(p.fd);
    p.fd = -1;
  }
  if (fleet.waitSet >= 0) ::close(fleet.waitSet);
  fleet.waitSet = -1;
  fleet.players.clear();
  fleet.occupants.clear();
}

}  // namespace bench
