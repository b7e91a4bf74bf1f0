#include "bench_pump.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "bench_stats.h"
#include "bench_websocket.h"
#include "commands/handlers.h"
#include "world/looking.h"

namespace bench {

void Note(Fleet& fleet, const std::string& what) {
  if (fleet.problem.empty()) fleet.problem = what;
}

namespace {

void Watch(Fleet& fleet, std::uint32_t index, std::uint32_t events, int op) {
  epoll_event event{};
  event.events = events;
  event.data.u32 = index;
  ::epoll_ctl(index < fleet.leaders ? fleet.leadSet : fleet.waitSet, op, fleet.players[index].fd, &event);
}

void Fail(Fleet& fleet, std::uint32_t index, const std::string& why) {
  Player& p = fleet.players[index];
  if (p.phase == Phase::Failed) return;
  Note(fleet, p.name + ": " + why);
  p.tls.reset();
  if (p.fd >= 0) ::close(p.fd);
  p.fd = -1;
  p.phase = Phase::Failed;
  ++fleet.failedConnections;
  ++fleet.failedNow;
}

void SendRest(Fleet& fleet, std::uint32_t index);
void OnReadable(Fleet& fleet, std::uint32_t index);

// A web player asks for the WebSocket as soon as its connection stands; the welcome
// comes as the first text message. A TLS player sends its ClientHello; the welcome
// comes once the handshake is done.
void Established(Fleet& fleet, std::uint32_t index) {
  Player& p = fleet.players[index];
  if (fleet.door == Door::Tls) {
    p.tls = fleet.tls != nullptr ? fleet.tls->Open(p.fd) : nullptr;
    if (p.tls == nullptr) {
      Fail(fleet, index, "no TLS session could be made");
      return;
    }
    OnReadable(fleet, index);  // the handshake's first flight
    return;
  }
  if (fleet.door != Door::Web) return;
  p.unsent = WebSocketUpgrade(fleet.port, fleet.gmcp);
  SendRest(fleet, index);
}

}  // namespace

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

namespace {

// Sends the rest of a line; asks for writability while some of it is left.
void SendRest(Fleet& fleet, std::uint32_t index) {
  Player& p = fleet.players[index];
  const bool wasBlocked = !p.unsent.empty();
  if (p.tls != nullptr) {
    while (!p.unsent.empty()) {
      std::size_t n = 0;
      const TlsIo io = TlsWrite(p.tls.get(), p.unsent, n);
      if (io == TlsIo::WantRead) return;  // the handshake goes on; the next read writes again
      if (io == TlsIo::WantWrite) {
        Watch(fleet, index, EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
        return;
      }
      if (io != TlsIo::Done) {
        Fail(fleet, index, "the TLS session ended while sending");
        return;
      }
      p.unsent.erase(0, n);
    }
    if (wasBlocked) Watch(fleet, index, EPOLLIN, EPOLL_CTL_MOD);
    return;
  }
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

}  // namespace

void Send(Fleet& fleet, std::uint32_t index, Expectation expected) {
  Player& p = fleet.players[index];
  p.expected = std::move(expected);
  p.phase = Phase::Waiting;
  p.measured = fleet.counting;
  p.unsent.clear();
  if (fleet.door == Door::Web) {
    AppendWebSocketText(p.unsent, p.expected.line, fleet.gmcp);
  } else if (fleet.door == Door::Telnet) {
    AppendTelnetLine(p.unsent, p.expected.line);
  } else {
    p.unsent = p.expected.line;
    p.unsent.push_back('\0');
  }
  p.sentNs = NowNs();
  SendRest(fleet, index);
}

namespace {

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
  fleet.tally.sentNs.push_back(p.sentNs);
  fleet.tally.byKind[static_cast<std::size_t>(p.expected.kind)].push_back(took);
  ++fleet.tally.answered;
}

void OnAnswer(Fleet& fleet, std::uint32_t index, std::string_view frame, std::int64_t now) {
  Player& p = fleet.players[index];
  Record(fleet, p, now);
  p.phase = Phase::Ready;
  if (p.expected.kind == Command::Setup) {
    if (fleet.echo || frame.starts_with(commands::kCharacterCreated)) {
      const std::string& place = Origins()[static_cast<std::size_t>(p.origin)].place;
      const std::string startsIn = std::string("\n").append(world::kYouAreIn).append(place);
      // Over telnet the frame's lines come one by one: the place follows on its own.
      if (!fleet.echo && fleet.door != Door::Telnet && frame.find(startsIn) == std::string_view::npos) {
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
    } else if (frame == commands::kMovementQueued) {
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

// Takes a web player's bytes as WebSocket frames; false when the player failed.
bool TakeWebSocket(Fleet& fleet, std::uint32_t index, std::string_view bytes, std::int64_t now) {
  Player& p = fleet.players[index];
  p.wsBytes.append(bytes);
  std::string text;
  while (p.phase != Phase::Failed) {
    switch (TakeWebSocketResponse(p.wsBytes, p.upgraded, p.wsFragments, text, fleet.gmcp)) {
      case WsTake::Incomplete:
        return true;
      case WsTake::Text:
        OnFrame(fleet, index, text, now);
        break;
      case WsTake::Other:
        break;
      case WsTake::Close:
        Fail(fleet, index, "the server closed the WebSocket");
        break;
      case WsTake::Bad:
        Fail(fleet, index, "not a WebSocket answer: " + p.wsBytes.substr(0, 80));
        break;
    }
  }
  return false;
}

// A TLS player reads every record the socket holds (a record left inside the session
// would never wake epoll again), and sends what waited for the handshake.
void OnReadableTls(Fleet& fleet, std::uint32_t index, char* buffer, std::size_t size) {
  for (;;) {
    Player& p = fleet.players[index];
    if (p.phase == Phase::Failed) return;
    std::size_t n = 0;
    const TlsIo io = TlsRead(p.tls.get(), buffer, size, n);
    if (io == TlsIo::WantRead || io == TlsIo::WantWrite) break;
    if (io != TlsIo::Done) {
      Fail(fleet, index, io == TlsIo::Closed ? "the server closed the connection" : "the TLS session failed");
      return;
    }
    const std::int64_t now = NowNs();
    p.frames.Feed(
        std::string_view(buffer, n), [&](std::string_view frame) { OnFrame(fleet, index, frame, now); },
        [&] { Note(fleet, p.name + ": a frame over " + std::to_string(kMaxFrameBytes) + " bytes"); });
  }
  if (fleet.players[index].phase != Phase::Failed && !fleet.players[index].unsent.empty()) SendRest(fleet, index);
}

void OnReadable(Fleet& fleet, std::uint32_t index) {
  static char buffer[64 * 1024];  // the load generator has one thread
  if (fleet.players[index].tls != nullptr) {
    OnReadableTls(fleet, index, buffer, sizeof buffer);
    return;
  }
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
    if (fleet.door == Door::Telnet) {
      p.telnet.Feed(std::string_view(buffer, static_cast<std::size_t>(n)),
                    [&](std::string_view line) { OnFrame(fleet, index, line, now); });
      if (static_cast<std::size_t>(n) < sizeof buffer) return;
      continue;
    }
    if (fleet.door == Door::Web) {
      if (!TakeWebSocket(fleet, index, std::string_view(buffer, static_cast<std::size_t>(n)), now)) return;
      if (static_cast<std::size_t>(n) < sizeof buffer) return;
      continue;
    }
    p.frames.Feed(
        std::string_view(buffer, static_cast<std::size_t>(n)),
        [&](std::string_view frame) { OnFrame(fleet, index, frame, now); },
        [&] { Note(fleet, p.name + ": a frame over " + std::to_string(kMaxFrameBytes) + " bytes"); });
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

void OnEvent(Fleet& fleet, const epoll_event& event) {
  const std::uint32_t index = event.data.u32;
  if (fleet.players[index].phase == Phase::Failed) return;
  if ((event.events & EPOLLOUT) != 0) OnWritable(fleet, index);
  if ((event.events & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) {
    if (fleet.players[index].phase == Phase::Connecting) {
      OnWritable(fleet, index);  // a refused connect shows as an error event
    } else {
      OnReadable(fleet, index);
    }
  }
}

// Takes what the lead set has ready, without waiting.
void PumpLeaders(Fleet& fleet) {
  epoll_event events[64];
  const int count = ::epoll_wait(fleet.leadSet, events, 64, 0);
  for (int i = 0; i < count; ++i) OnEvent(fleet, events[i]);
}

}  // namespace

void PumpOnce(Fleet& fleet, std::int64_t untilNs) {
  static std::vector<epoll_event> events(4096);  // the load generator has one thread
  // Between every few of the others' events the lead set is looked at again.
  constexpr int kLeadersEvery = 32;
  const std::int64_t left = untilNs - NowNs();
  const int timeoutMs = left <= 0 ? 0 : static_cast<int>((left + 999'999) / 1'000'000);
  const int count = ::epoll_wait(fleet.waitSet, events.data(), static_cast<int>(events.size()), timeoutMs);
  if (fleet.leadSet >= 0 && count > 0) PumpLeaders(fleet);
  for (int i = 0; i < count; ++i) {
    const epoll_event& event = events[static_cast<std::size_t>(i)];
    if (event.data.u32 == kLeadSetEvent) continue;
    OnEvent(fleet, event);
    if (fleet.leadSet >= 0 && i % kLeadersEvery == kLeadersEvery - 1) PumpLeaders(fleet);
  }
}

}  // namespace bench
