#include "bench_attack.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <map>
#include <string_view>

#include "bench_stats.h"
#include "bench_websocket.h"
#include "bench_world.h"
#include "commands/handlers.h"
#include "net/frame.h"

namespace bench {

namespace {

using namespace std::string_literals;

constexpr std::int64_t kMs = 1'000'000;
// An ended connection comes back this soon; one that was refused waits longer. (An
// attacker would come back at once; the pause keeps the load generator from spinning on
// a core the server needs.)
constexpr std::int64_t kComeBackNs = 50 * kMs;
constexpr std::int64_t kRefusedComeBackNs = 1000 * kMs;
constexpr std::size_t kChunkBytes = 64 * 1024;
// What one connection may send in one turn of the loop before the others get theirs.
constexpr std::size_t kSendPerTurn = 1u << 20;
// The password worker takes at most this many jobs of an untrusted address at once;
// non-readers coming back keep to it, since a busy answer counts as a failed login.
constexpr std::size_t kLoginsPerAddress = 2;
constexpr std::size_t kNonReaderReceiveBuffer = 4096;
// What the kernel may hold of a flood's unsent bytes: the server reads no faster than its
// byte budget whatever waits on this side, and the machine's memory is shared.
constexpr int kFloodSendBuffer = 128 * 1024;
// A non-reader sends an empty line this often: once the server has closed its end, the
// answer is a reset, and the non-reader comes back. (Its end-of-stream sits behind the
// output it never read.)
constexpr std::int64_t kProbeNs = 1000 * kMs;

constexpr char kIac = '\xff';
constexpr char kSb = '\xfa';
constexpr char kSe = '\xf0';
constexpr char kDo = '\xfd';
constexpr char kGmcp = '\xc9';

constexpr std::string_view kLoggedIn = "Login successful.";

std::string NestedSupports() {
  return "Core.Supports.Set " + std::string(kAttackNesting, '[') + std::string(kAttackNesting, ']');
}

// Whole copies of `unit`, as many as fit in kChunkBytes (one at least): a flood that
// wraps around the chunk keeps the stream well formed.
std::string Repeated(const std::string& unit) {
  std::string chunk;
  do {
    chunk += unit;
  } while (chunk.size() + unit.size() <= kChunkBytes);
  return chunk;
}

std::string ChunkOf(const AttackGroup& g) {
  switch (g.kind) {
    case Hostility::TelnetGmcp:
      return Repeated(std::string{kIac, kSb, kGmcp} + NestedSupports() + std::string{kIac, kSe});
    case Hostility::WebSocketGmcp: {
      std::string frame;
      AppendWebSocketText(frame, NestedSupports());
      return Repeated(frame);
    }
    case Hostility::PipelinedHttp:
      return Repeated("GET /mudlet/pelthollow.mpackage HTTP/1.1\r\nHost:a\r\n\r\n");
    case Hostility::Talker:
      return Repeated("say " + std::string(3990, 'w') + "\0"s);
    case Hostility::WrongPassword:
    case Hostility::NonReader:
    case Hostility::SameSetup:
    case Hostility::Welcome:
    case Hostility::HalfHandshake:
      break;
  }
  return {};
}

bool OnGamePort(Hostility kind) {
  return kind == Hostility::NonReader || kind == Hostility::Talker || kind == Hostility::WrongPassword ||
         kind == Hostility::SameSetup || kind == Hostility::Welcome;
}

enum class Step : std::uint8_t {
  Down,        // no connection; the next is opened at dueNs
  Connecting,  // connect() under way
  Opening,     // waiting for the welcome, the WebSocket's 101 or the TLS handshake
  Turn,        // NonReader: greeted, waiting for a login slot of its address
  Asking,      // NonReader, Talker, SameSetup, WrongPassword: its setup or login sent, its answer not come
  Idle,        // Talker: in play until the attack is ready; SameSetup: waiting for the next round
  Flooding,    // sending the group's chunk without end, reading and dropping what comes
  Silent,      // NonReader: in play, reading nothing more, an empty line at dueNs; HalfHandshake:
               // answered, waiting for the server to end it
};

struct Hostile {
  int fd = -1;
  std::size_t group = 0;
  std::uint32_t source = 0;
  std::size_t number = 0;  // within its group; names its character
  Step step = Step::Down;
  std::int64_t dueNs = 0;
  bool began = false;     // has begun its attack once
  bool made = false;      // NonReader, Talker: its character exists, so it logs in
  bool used = true;       // Welcome: false while the slot waits for a new connection
  bool watched = false;   // registered with the wait set
  std::uint32_t interest = 0;
  std::string out;          // a one-off message still to send
  std::size_t chunkAt = 0;  // where in the group's chunk the flood goes on
  std::string in;           // WebSocketGmcp: the upgrade's answer so far
  net::FrameSplitter frames{1u << 20};
  SslPtr tls;
};

struct GroupState {
  AttackGroup plan;
  std::string chunk;
  std::map<std::uint32_t, std::size_t> asking;  // NonReader: logins under way per address
  std::size_t round = 0;                        // SameSetup: the round asked last
  std::int64_t nextOpenNs = 0;                  // Welcome: when the next connection opens
  std::size_t nextSource = 0;
  std::size_t inFlight = 0;                     // Welcome: connections whose welcome has not come
};

}  // namespace

struct Attack::Engine {
  std::vector<GroupState> groups;
  std::vector<Hostile> hostiles;
  std::vector<std::uint32_t> freeSlots;  // Welcome slots to reuse
  int waitSet = -1;
  std::size_t notBegun = 0;  // hostiles that have not begun their attack yet
  bool ready = false;
  AttackCounts counts;
  std::function<void()> onReady;

  void Run(const std::atomic<bool>& stop);
  void Scan(std::int64_t now);
  void Open(std::uint32_t i);
  void Established(std::uint32_t i);
  void Drop(std::uint32_t i, bool byServer, std::int64_t comeBackNs = kComeBackNs);
  void Began(std::uint32_t i);
  void CountBegun(Hostile& h);
  void Flush(std::uint32_t i);
  void OnReadable(std::uint32_t i);
  void OnReadableTls(std::uint32_t i);
  void OnFrame(std::uint32_t i, std::string_view frame);
  void Ask(std::uint32_t i);
  void SetInterest(std::uint32_t i);
  void Watch(std::uint32_t i, std::uint32_t wanted);
  void OpenWelcome(std::size_t group);
  void CloseAll();
  GroupState& GroupOf(std::uint32_t i) { return groups[hostiles[i].group]; }
};

void Attack::Engine::SetInterest(std::uint32_t i) {
  Hostile& h = hostiles[i];
  if (h.fd < 0) return;
  std::uint32_t wanted = EPOLLIN;
  switch (h.step) {
    case Step::Connecting: wanted = EPOLLOUT; break;
    case Step::Silent: wanted = EPOLLRDHUP; break;  // told only of the end
    case Step::Flooding: wanted = EPOLLIN | (h.tls == nullptr ? EPOLLOUT : 0u); break;
    default: wanted = EPOLLIN | (h.out.empty() ? 0u : EPOLLOUT); break;
  }
  Watch(i, wanted);
}

// Asks epoll for `wanted` of hostile `i`, unless that is what it watches already.
void Attack::Engine::Watch(std::uint32_t i, std::uint32_t wanted) {
  Hostile& h = hostiles[i];
  if (h.watched && wanted == h.interest) return;
  epoll_event event{};
  event.events = wanted;
  event.data.u32 = i;
  ::epoll_ctl(waitSet, h.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, h.fd, &event);
  h.watched = true;
  h.interest = wanted;
}

void Attack::Engine::Open(std::uint32_t i) {
  Hostile& h = hostiles[i];
  const AttackGroup& plan = GroupOf(i).plan;
  h.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (h.fd < 0) {
    Drop(i, false, kRefusedComeBackNs);  // out of descriptors: later
    return;
  }
  ++counts.connections;
  const int one = 1;
  ::setsockopt(h.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (plan.kind == Hostility::NonReader) {
    const int small = static_cast<int>(kNonReaderReceiveBuffer);
    ::setsockopt(h.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  }
  if (!GroupOf(i).chunk.empty()) ::setsockopt(h.fd, SOL_SOCKET, SO_SNDBUF, &kFloodSendBuffer, sizeof kFloodSendBuffer);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(h.source);
  ::bind(h.fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  sockaddr_in server{};
  server.sin_family = AF_INET;
  server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  server.sin_port = htons(static_cast<std::uint16_t>(plan.port));
  h.watched = false;
  h.interest = 0;
  h.out.clear();
  h.in.clear();
  h.chunkAt = 0;
  h.frames = net::FrameSplitter(1u << 20);
  if (::connect(h.fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
    Established(i);
  } else if (errno == EINPROGRESS) {
    h.step = Step::Connecting;
    SetInterest(i);
  } else {
    Drop(i, true, kRefusedComeBackNs);
  }
}

void Attack::Engine::Established(std::uint32_t i) {
  Hostile& h = hostiles[i];
  const GroupState& g = GroupOf(i);
  h.step = Step::Opening;
  switch (g.plan.kind) {
    case Hostility::TelnetGmcp:
      h.out = std::string{kIac, kDo, kGmcp};
      Began(i);
      break;
    case Hostility::WebSocketGmcp:
      h.out = WebSocketUpgrade(g.plan.port, true);
      break;
    case Hostility::PipelinedHttp:
      Began(i);
      break;
    case Hostility::Welcome:
      if (g.plan.tls == nullptr) break;  // plain TCP: the welcome comes first
      h.tls = g.plan.tls->Open(h.fd);
      if (h.tls == nullptr) {
        ++counts.tlsFailed;
        Drop(i, false);
        return;
      }
      SetInterest(i);
      OnReadableTls(i);  // the ClientHello
      return;
    case Hostility::HalfHandshake: {
      // The ClientHello leaves with the first read, straight into the socket; the
      // session is then dropped unfinished, and the connection reads raw bytes.
      SslPtr session = g.plan.tls->Open(h.fd);
      char byte;
      std::size_t n = 0;
      if (session == nullptr || TlsRead(session.get(), &byte, 1, n) != TlsIo::WantRead) {
        ++counts.tlsFailed;
        Drop(i, false);
        return;
      }
      break;
    }
    default:
      break;  // the game port: its welcome comes first
  }
  SetInterest(i);
  Flush(i);
}

void Attack::Engine::Began(std::uint32_t i) {
  Hostile& h = hostiles[i];
  const Hostility kind = GroupOf(i).plan.kind;
  h.step = kind == Hostility::NonReader                ? Step::Silent
           : kind == Hostility::Talker && !ready        ? Step::Idle
           : kind == Hostility::SameSetup               ? h.step
           : kind == Hostility::WrongPassword           ? Step::Asking
           : kind == Hostility::HalfHandshake           ? Step::Silent
                                                        : Step::Flooding;
  if (kind == Hostility::NonReader) h.dueNs = NowNs() + kProbeNs;
  CountBegun(h);
}

void Attack::Engine::CountBegun(Hostile& h) {
  if (h.began) return;
  h.began = true;
  if (--notBegun == 0 && !ready) {
    ready = true;
    if (onReady) onReady();
  }
}

void Attack::Engine::Drop(std::uint32_t i, bool byServer, std::int64_t comeBackNs) {
  Hostile& h = hostiles[i];
  GroupState& g = GroupOf(i);
  if (h.step == Step::Asking && g.plan.kind == Hostility::NonReader) --g.asking[h.source];
  if (h.fd >= 0) {
    h.tls.reset();
    const linger reset{1, 0};
    ::setsockopt(h.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(h.fd);  // also leaves the wait set
    h.fd = -1;
  }
  if (byServer) ++counts.endedByServer;
  // A flooder the server ended before its flood began has had its go: its address's
  // budget went to the others, which is the server's defence at work, not an attack
  // that failed to start.
  const Hostility kind = g.plan.kind;
  if (byServer && (kind == Hostility::TelnetGmcp || kind == Hostility::WebSocketGmcp ||
                   kind == Hostility::PipelinedHttp)) {
    CountBegun(h);
  }
  h.step = Step::Down;
  h.watched = false;
  if (g.plan.kind == Hostility::Welcome) {
    h.used = false;
    freeSlots.push_back(i);
    --g.inFlight;
    return;
  }
  h.dueNs = NowNs() + comeBackNs;
}

void Attack::Engine::Flush(std::uint32_t i) {
  Hostile& h = hostiles[i];
  const std::string& chunk = GroupOf(i).chunk;
  std::size_t sent = 0;
  while (h.fd >= 0 && sent < kSendPerTurn) {
    std::string_view bytes;
    if (!h.out.empty()) {
      bytes = h.out;
    } else if (h.step == Step::Flooding && !chunk.empty()) {
      bytes = std::string_view(chunk).substr(h.chunkAt);
    } else {
      break;
    }
    const ssize_t n = ::send(h.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n <= 0) {
      Drop(i, true);
      return;
    }
    const auto taken = static_cast<std::size_t>(n);
    sent += taken;
    counts.bytesSent += taken;
    if (!h.out.empty()) {
      h.out.erase(0, taken);
    } else {
      h.chunkAt = (h.chunkAt + taken) % chunk.size();
    }
  }
  SetInterest(i);
}

// The line that makes or brings back the character of a non-reader or a talker.
void Attack::Engine::Ask(std::uint32_t i) {
  Hostile& h = hostiles[i];
  GroupState& g = GroupOf(i);
  const std::string name = g.plan.name + std::to_string(h.number);
  std::string line =
      h.made ? "login " + name + " pw" : SetupLine(name, Origins()[g.plan.origin % Origins().size()]);
  if (g.plan.kind == Hostility::NonReader) ++g.asking[h.source];
  h.out = line + "\0"s;
  h.step = Step::Asking;
  Flush(i);
}

void Attack::Engine::OnFrame(std::uint32_t i, std::string_view frame) {
  Hostile& h = hostiles[i];
  GroupState& g = GroupOf(i);
  const bool busy = frame.starts_with(kBusyAnswer);
  if (busy) ++counts.busy;
  if (frame.starts_with(commands::kCharacterCreated)) ++counts.created;
  if (frame.starts_with(kLoggedIn)) ++counts.loggedIn;
  switch (h.step) {
    case Step::Opening:  // the welcome
      switch (g.plan.kind) {
        case Hostility::Welcome:
          ++counts.welcomes;
          Drop(i, false);
          break;
        case Hostility::NonReader: h.step = Step::Turn; break;
        case Hostility::Talker: Ask(i); break;
        case Hostility::WrongPassword:
          Began(i);
          h.out = "login " + g.plan.name + " wrong\0"s;
          Flush(i);
          break;
        case Hostility::SameSetup: h.step = Step::Idle; break;
        default: break;
      }
      return;
    case Step::Asking:
      if (g.plan.kind == Hostility::SameSetup) {
        h.step = Step::Idle;  // whatever the answer: the round goes on
        return;
      }
      if (g.plan.kind == Hostility::WrongPassword) {
        h.out = "login " + g.plan.name + " wrong\0"s;  // the next guess, as soon as one is answered
        Flush(i);
        return;
      }
      if (frame.starts_with(commands::kCharacterCreated) || frame.starts_with(kLoggedIn)) {
        if (g.plan.kind == Hostility::NonReader) --g.asking[h.source];
        h.made = true;
        h.step = Step::Idle;
        Began(i);
        SetInterest(i);
      } else if (busy) {
        Drop(i, false);
      } else {
        Drop(i, false, kRefusedComeBackNs);  // refused: try again later
      }
      return;
    default:
      return;
  }
}

void Attack::Engine::OnReadableTls(std::uint32_t i) {
  static char buffer[16 * 1024];  // the attack has one thread
  for (;;) {
    Hostile& h = hostiles[i];
    if (h.fd < 0) return;
    std::size_t n = 0;
    const TlsIo io = TlsRead(h.tls.get(), buffer, sizeof buffer, n);
    if (io == TlsIo::WantRead || io == TlsIo::WantWrite) {
      Watch(i, io == TlsIo::WantWrite ? EPOLLOUT : EPOLLIN);
      return;
    }
    if (io != TlsIo::Done) {
      ++counts.tlsFailed;
      Drop(i, io == TlsIo::Closed);
      return;
    }
    counts.bytesRead += n;
    bool welcomed = false;
    h.frames.Feed(std::string_view(buffer, n), [&](std::string_view) { welcomed = true; }, [] {});
    if (welcomed) {
      ++counts.welcomes;
      Drop(i, false);
      return;
    }
  }
}

void Attack::Engine::OnReadable(std::uint32_t i) {
  if (hostiles[i].tls != nullptr) {
    OnReadableTls(i);
    return;
  }
  static char buffer[64 * 1024];  // the attack has one thread
  const Hostility kind = GroupOf(i).plan.kind;
  for (int reads = 0; reads < 16; ++reads) {
    Hostile& h = hostiles[i];
    if (h.fd < 0 || h.step == Step::Silent) return;
    const ssize_t n = ::recv(h.fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
      Drop(i, true);
      return;
    }
    const std::string_view bytes(buffer, static_cast<std::size_t>(n));
    counts.bytesRead += bytes.size();
    if (kind == Hostility::HalfHandshake) {  // the server's answer: it now waits for the rest
      ++counts.halfDone;
      Began(i);
      SetInterest(i);
      return;
    }
    if (kind == Hostility::WebSocketGmcp && h.step == Step::Opening) {
      h.in.append(bytes);
      const std::size_t end = h.in.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      if (!h.in.starts_with("HTTP/1.1 101")) {
        Drop(i, true, kRefusedComeBackNs);
        return;
      }
      h.in.clear();
      Began(i);
      Flush(i);
    } else if (OnGamePort(kind) && !(kind == Hostility::Talker && h.step == Step::Flooding)) {
      // Talkers hear one another's long lines; nothing in them needs reading.
      h.frames.Feed(bytes, [&](std::string_view frame) { OnFrame(i, frame); }, [] {});
    }
    if (static_cast<std::size_t>(n) < sizeof buffer) return;
  }
}

void Attack::Engine::Scan(std::int64_t now) {
  for (std::size_t group = 0; group < groups.size(); ++group) {
    GroupState& g = groups[group];
    if (g.plan.kind != Hostility::Welcome) continue;
    if (g.plan.perSecond <= 0) {
      // As many as have ended since the last scan (a failed open is not tried again now).
      for (std::size_t n = g.plan.inFlight - std::min(g.inFlight, g.plan.inFlight); n > 0; --n) OpenWelcome(group);
      continue;
    }
    const auto period = static_cast<std::int64_t>(1e9 / g.plan.perSecond);
    if (g.nextOpenNs == 0) g.nextOpenNs = now;
    for (; g.nextOpenNs <= now; g.nextOpenNs += period) {
      if (g.inFlight < g.plan.inFlight) OpenWelcome(group);  // one skipped is not made up later
    }
  }
  for (std::uint32_t i = 0; i < hostiles.size(); ++i) {
    Hostile& h = hostiles[i];
    GroupState& g = GroupOf(i);
    if (h.step == Step::Down && h.used && g.plan.kind != Hostility::Welcome && now >= h.dueNs) {
      Open(i);
    } else if (h.step == Step::Turn && g.asking[h.source] < kLoginsPerAddress) {
      Ask(i);
    } else if (h.step == Step::Idle && g.plan.kind == Hostility::Talker && ready) {
      h.step = Step::Flooding;
      Flush(i);
    } else if (h.step == Step::Silent && g.plan.kind == Hostility::NonReader && now >= h.dueNs) {
      h.dueNs = now + kProbeNs;
      const char probe = '\0';
      if (::send(h.fd, &probe, 1, MSG_NOSIGNAL | MSG_DONTWAIT) == 1) ++counts.bytesSent;
    }
  }
  // SameSetup: once every connection of a group waits, all of them ask at once.
  for (GroupState& g : groups) {
    if (g.plan.kind != Hostility::SameSetup) continue;
    const std::size_t group = static_cast<std::size_t>(&g - groups.data());
    bool allIdle = true;
    for (const Hostile& h : hostiles) allIdle = allIdle && (h.group != group || h.step == Step::Idle);
    if (!allIdle) continue;
    if (g.round > 0) ++counts.rounds;
    ++g.round;
    const std::string line =
        SetupLine(g.plan.name + "r" + std::to_string(g.round), Origins()[g.plan.origin % Origins().size()]) + "\0"s;
    for (std::uint32_t i = 0; i < hostiles.size(); ++i) {
      if (hostiles[i].group != group) continue;
      hostiles[i].out = line;
      hostiles[i].step = Step::Asking;
      Began(i);
    }
    for (std::uint32_t i = 0; i < hostiles.size(); ++i) {
      if (hostiles[i].group == group) Flush(i);
    }
  }
}

void Attack::Engine::OpenWelcome(std::size_t group) {
  GroupState& g = groups[group];
  std::uint32_t slot = 0;
  if (!freeSlots.empty()) {
    slot = freeSlots.back();
    freeSlots.pop_back();
  } else {
    slot = static_cast<std::uint32_t>(hostiles.size());
    hostiles.emplace_back();
  }
  Hostile& h = hostiles[slot];
  h.group = group;
  h.source = g.plan.firstSource + static_cast<std::uint32_t>(g.nextSource++ % std::max<std::size_t>(g.plan.sources, 1));
  h.used = true;
  ++g.inFlight;
  Open(slot);
}

void Attack::Engine::CloseAll() {
  for (std::uint32_t i = 0; i < hostiles.size(); ++i) {
    Hostile& h = hostiles[i];
    if (h.fd < 0) continue;
    h.tls.reset();
    const linger reset{1, 0};
    ::setsockopt(h.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(h.fd);
    h.fd = -1;
  }
  if (waitSet >= 0) ::close(waitSet);
  waitSet = -1;
}

void Attack::Engine::Run(const std::atomic<bool>& stop) {
  std::vector<epoll_event> events(1024);
  std::int64_t nextScan = 0;
  while (!stop.load(std::memory_order_relaxed)) {
    const int count = ::epoll_wait(waitSet, events.data(), static_cast<int>(events.size()), 10);
    for (int e = 0; e < count; ++e) {
      const std::uint32_t i = events[static_cast<std::size_t>(e)].data.u32;
      const std::uint32_t what = events[static_cast<std::size_t>(e)].events;
      Hostile& h = hostiles[i];
      if (h.fd < 0) continue;
      if (h.step == Step::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(h.fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
          Drop(i, true, kRefusedComeBackNs);
        } else {
          Established(i);
        }
        continue;
      }
      if (h.step == Step::Silent) {
        if ((what & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) Drop(i, true);
        continue;
      }
      if (h.tls != nullptr) {
        OnReadableTls(i);
        continue;
      }
      if ((what & EPOLLOUT) != 0) Flush(i);
      if (hostiles[i].fd >= 0 && (what & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0) OnReadable(i);
    }
    const std::int64_t now = NowNs();
    if (now >= nextScan) {
      Scan(now);
      nextScan = now + 5 * kMs;
    }
  }
  CloseAll();
}

Attack::Attack() = default;

Attack::~Attack() { Stop(); }

void Attack::Start(std::vector<AttackGroup> groups) {
  engine_ = std::make_unique<Engine>();
  Engine& e = *engine_;
  e.waitSet = ::epoll_create1(EPOLL_CLOEXEC);
  for (AttackGroup& plan : groups) {
    GroupState g;
    g.chunk = ChunkOf(plan);
    const std::size_t group = e.groups.size();
    for (std::size_t s = 0; s < plan.sources; ++s) {
      for (std::size_t c = 0; c < plan.perSource; ++c) {
        Hostile h;
        h.group = group;
        h.source = plan.firstSource + static_cast<std::uint32_t>(s);
        h.number = s * plan.perSource + c;
        e.hostiles.push_back(std::move(h));
      }
    }
    g.plan = std::move(plan);
    e.groups.push_back(std::move(g));
  }
  e.notBegun = e.hostiles.size();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    ready_ = e.notBegun == 0;
  }
  e.ready = e.notBegun == 0;
  e.onReady = [this] {
    std::lock_guard<std::mutex> guard(mutex_);
    ready_ = true;
    readyChanged_.notify_all();
  };
  stop_ = false;
  thread_ = std::thread([this] { engine_->Run(stop_); });
}

bool Attack::WaitReady(std::int64_t timeoutNs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return readyChanged_.wait_for(lock, std::chrono::nanoseconds(timeoutNs), [this] { return ready_; });
}

AttackCounts Attack::Stop() {
  if (thread_.joinable()) {
    stop_ = true;
    thread_.join();
    counts_ = engine_->counts;
    engine_.reset();
  }
  return counts_;
}

}  // namespace bench
