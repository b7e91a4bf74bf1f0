#include "bench_client.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <queue>

#include "bench_pump.h"
#include "bench_stats.h"

namespace bench {

namespace {

constexpr std::size_t kSetupsAtOnce = 48;  // the server's worker queue holds 64

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

void LeadFirst(Fleet& fleet, std::size_t count) {
  fleet.leadSet = ::epoll_create1(EPOLL_CLOEXEC);
  fleet.leaders = count;
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u32 = kLeadSetEvent;
  ::epoll_ctl(fleet.waitSet, EPOLL_CTL_ADD, fleet.leadSet, &event);
}

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
  // Each setup hashes its password on the server's worker, whose queue is bounded (a
  // full one answers that the server is busy): fewer at a time than it holds.
  inflight = std::min(inflight, kSetupsAtOnce);
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

void AskInTurn(const std::vector<Fleet*>& fleets, std::int64_t durationNs, std::int64_t answerTimeoutNs) {
  for (Fleet* fleet : fleets) {
    fleet->tally = Tally{};
    fleet->counting = true;
    fleet->finished.clear();
  }
  std::vector<std::uint32_t> next(fleets.size(), 0);
  const std::int64_t end = NowNs() + durationNs;
  while (NowNs() < end) {
    for (std::size_t f = 0; f < fleets.size(); ++f) {
      Fleet& fleet = *fleets[f];
      if (fleet.players.empty()) continue;
      const std::uint32_t i = next[f];
      next[f] = static_cast<std::uint32_t>((i + 1) % fleet.players.size());
      if (fleet.players[i].phase != Phase::Ready) continue;
      Send(fleet, i, NextCommand(fleet, i, false));
      const std::int64_t deadline = NowNs() + answerTimeoutNs;
      while (fleet.players[i].phase == Phase::Waiting && NowNs() < deadline) PumpOnce(fleet, deadline);
      ExpireAnswers(fleet, answerTimeoutNs, NowNs());
      fleet.finished.clear();
    }
  }
  for (Fleet* fleet : fleets) fleet->counting = false;
}

void CloseFleet(Fleet& fleet) {
  const linger reset{1, 0};
  for (Player& p : fleet.players) {
    if (p.fd < 0) continue;
    p.tls.reset();
    ::setsockopt(p.fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(p.fd);
    p.fd = -1;
  }
  if (fleet.waitSet >= 0) ::close(fleet.waitSet);
  if (fleet.leadSet >= 0) ::close(fleet.leadSet);
  fleet.waitSet = fleet.leadSet = -1;
  fleet.players.clear();
  fleet.occupants.clear();
}

}  // namespace bench
