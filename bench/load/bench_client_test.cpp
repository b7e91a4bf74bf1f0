#include "bench_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench_echo.h"

namespace bench {
namespace {

constexpr std::int64_t kMs = 1'000'000;

// A stand-in for the game on loopback: it greets, answers setup like the game, and
// before every answer sends a frame that is not one (someone else's speech). A
// movement is answered at once and carried out 30 ms later with the arrival notice,
// as a world tick would; `look` is answered only after `answerDelay`. With `web` it
// speaks as the game's web client does: the welcome follows the WebSocket upgrade, and
// every line and frame is a text message.
class FakeGame {
 public:
  explicit FakeGame(std::chrono::milliseconds answerDelay, bool web = false) : delay_(answerDelay), web_(web) {
    listening_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(listening_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listening_, 64);
    ::getsockname(listening_, reinterpret_cast<sockaddr*>(&a), &length);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~FakeGame() {
    stop_ = true;
    thread_.join();
    for (const auto& [fd, c] : connections_) ::close(fd);
    ::close(listening_);
  }
  int Port() const { return port_; }

 private:
  struct Conn {
    bool upgraded = false;
    std::string partial;
    std::string name;
    std::vector<std::pair<std::chrono::steady_clock::time_point, std::string>> later;
  };

  void Frame(int fd, const std::string& text) const {
    std::string bytes = text;
    bytes.push_back('\0');
    if (web_) {
      bytes = {static_cast<char>(0x81), static_cast<char>(126), static_cast<char>(text.size() >> 8),
               static_cast<char>(text.size() & 0xFF)};
      bytes += text;
    }
    [[maybe_unused]] const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }

  void Handle(int fd, Conn& c, const std::string& line) {
    const auto now = std::chrono::steady_clock::now();
    Frame(fd, "Someone: look over there ");
    if (line.rfind("setup ", 0) == 0) {
      c.name = line.substr(6, line.find(' ', 6) - 6);
      Frame(fd, "Character created. Entering game...\nYou are in the Emberfold warriors' den.");
    } else if (line.size() == 1) {
      Frame(fd, "Movement queued.");
      c.later.emplace_back(now + std::chrono::milliseconds(30), c.name + " has entered the area.");
    } else if (line == "look") {
      c.later.emplace_back(now + delay_, "You are in Emberfold territory.");
    } else if (line.rfind("say ", 0) == 0) {
      Frame(fd, c.name + ": " + line.substr(4) + " ");
    } else if (line.rfind("whisper ", 0) == 0) {
      Frame(fd, c.name + ": " + line.substr(line.find(' ', 8) + 1) + " ");
    } else if (line == "status") {
      Frame(fd, "Overall, your health is good.");
    }
  }

  void Run() {
    while (!stop_) {
      std::vector<pollfd> wait{{listening_, POLLIN, 0}};
      for (const auto& [fd, c] : connections_) wait.push_back({fd, POLLIN, 0});
      ::poll(wait.data(), wait.size(), 5);
      if (wait[0].revents != 0) {
        const int fd = ::accept(listening_, nullptr, nullptr);
        connections_[fd];
        if (!web_) Frame(fd, "Welcome!");
      }
      for (std::size_t i = 1; i < wait.size(); ++i) {
        if (wait[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = ::recv(wait[i].fd, buffer, sizeof buffer, 0);
        if (n <= 0) continue;
        Conn& c = connections_[wait[i].fd];
        c.partial.append(buffer, static_cast<std::size_t>(n));
        if (web_) {
          TakeWebSocket(wait[i].fd, c);
          continue;
        }
        for (std::size_t end; (end = c.partial.find('\0')) != std::string::npos;) {
          const std::string line = c.partial.substr(0, end);
          c.partial.erase(0, end + 1);
          Handle(wait[i].fd, c, line);
        }
      }
      const auto now = std::chrono::steady_clock::now();
      for (auto& [fd, c] : connections_) {
        for (auto it = c.later.begin(); it != c.later.end();) {
          if (it->first > now) {
            ++it;
            continue;
          }
          Frame(fd, it->second);
          it = c.later.erase(it);
        }
      }
    }
  }

  // The upgrade request, then masked text messages of under 126 bytes.
  void TakeWebSocket(int fd, Conn& c) {
    const std::size_t end = c.partial.find("\r\n\r\n");
    if (!c.upgraded && end != std::string::npos) {
      c.partial.erase(0, end + 4);
      c.upgraded = true;
      const std::string yes = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n\r\n";
      [[maybe_unused]] const ssize_t n = ::send(fd, yes.data(), yes.size(), MSG_NOSIGNAL);
      Frame(fd, "Welcome!");
    }
    while (c.upgraded && c.partial.size() >= 6) {
      const std::size_t length = static_cast<std::size_t>(c.partial[1] & 0x7F);
      if (c.partial.size() < 6 + length) return;
      std::string line = c.partial.substr(6, length);
      for (std::size_t k = 0; k < length; ++k) line[k] = static_cast<char>(line[k] ^ c.partial[2 + k % 4]);
      c.partial.erase(0, 6 + length);
      Handle(fd, c, line);
    }
  }

  std::chrono::milliseconds delay_;
  bool web_;
  int listening_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::map<int, Conn> connections_;  // used by the server thread only
};

TEST(BenchFleet, DrivesTheEchoThroughEveryPhase) {
  EchoProcess echo;
  std::string error;
  ASSERT_TRUE(StartEcho("Welcome!", echo, error)) << error;
  Fleet fleet;
  MakeFleet(fleet, true, echo.port, 40, "E", 1);
  ASSERT_GE(ConnectAll(fleet, 8, 10'000 * kMs), 0) << fleet.problem;
  ASSERT_TRUE(SetUpAll(fleet, 8, 10'000 * kMs)) << fleet.problem;
  DrivePlan flood;
  flood.drive = Drive::Flood;
  flood.active = 40;
  flood.durationNs = 300 * kMs;
  RunDrive(fleet, flood);
  EXPECT_GT(fleet.tally.answered, 40u);
  EXPECT_EQ(fleet.tally.unanswered, 0u);
  EXPECT_EQ(fleet.tally.all.size(), fleet.tally.answered);
  EXPECT_TRUE(fleet.problem.empty()) << fleet.problem;
  CloseFleet(fleet);
  StopEcho(echo);
}

TEST(BenchFleet, WalksPlayersToTheirCellsByTheirOwnArrivalNotices) {
  FakeGame game(std::chrono::milliseconds(0));
  Fleet fleet;
  MakeFleet(fleet, false, game.Port(), 2, "W", 1);
  ASSERT_GE(ConnectAll(fleet, 2, 5'000 * kMs), 0) << fleet.problem;
  ASSERT_TRUE(SetUpAll(fleet, 2, 5'000 * kMs)) << fleet.problem;
  const Cell first = Origins()[0].start;
  const Cell second = Origins()[1].start;
  std::vector<Placement> plan{{{first.x, first.y - 2}, "nn"}, {{second.x + 1, second.y}, "e"}};
  ASSERT_TRUE(Spread(fleet, plan, 5'000 * kMs)) << fleet.problem;
  EXPECT_EQ(fleet.players[0].at, plan[0].target);
  EXPECT_EQ(fleet.players[1].at, plan[1].target);
  EXPECT_TRUE(fleet.players[0].queued.empty());
  CloseFleet(fleet);
}

TEST(BenchFleet, AFrameThatIsNotTheAnswerDoesNotStopTheClock) {
  // Every look is answered 40 ms late, with someone's speech at once before it.
  FakeGame game(std::chrono::milliseconds(40));
  Fleet fleet;
  MakeFleet(fleet, false, game.Port(), 3, "L", 1);
  ASSERT_GE(ConnectAll(fleet, 3, 5'000 * kMs), 0);
  ASSERT_TRUE(SetUpAll(fleet, 3, 5'000 * kMs)) << fleet.problem;
  DrivePlan paced;
  paced.drive = Drive::Paced;
  paced.active = 3;
  paced.periodNs = 100 * kMs;
  paced.durationNs = 500 * kMs;
  RunDrive(fleet, paced);
  ASSERT_GT(fleet.tally.answered, 0u);
  const auto& looks = fleet.tally.byKind[static_cast<std::size_t>(Command::Look)];
  for (const std::int64_t took : looks) EXPECT_GE(took, 40 * kMs);
  // Every command got a decoy first; none of them counted as an answer.
  EXPECT_GE(fleet.tally.unasked, fleet.tally.answered);
  CloseFleet(fleet);
}

TEST(BenchFleet, WebPlayersUpgradeAndTypeOverWebSocket) {
  FakeGame game(std::chrono::milliseconds(0), true);
  Fleet fleet;
  MakeFleet(fleet, false, game.Port(), 1, "S", 1);  // the fake has one den
  fleet.door = Door::Web;
  ASSERT_GE(ConnectAll(fleet, 1, 5'000 * kMs), 0) << fleet.problem;
  ASSERT_TRUE(SetUpAll(fleet, 1, 5'000 * kMs)) << fleet.problem;
  DrivePlan paced;
  paced.drive = Drive::Paced;
  paced.active = 1;
  paced.periodNs = 50 * kMs;
  paced.durationNs = 300 * kMs;
  RunDrive(fleet, paced);
  EXPECT_GE(fleet.tally.answered, 4u);
  EXPECT_EQ(fleet.tally.unanswered, 0u);
  EXPECT_TRUE(fleet.problem.empty()) << fleet.problem;
  CloseFleet(fleet);
}

}  // namespace
}  // namespace bench
