#include "client/connection.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::string_literals;
using Clock = std::chrono::steady_clock;

// The receive thread on one end of a connected pair; the test is the server on the
// other end.
class ReceiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    client::ResetIncoming();
    ASSERT_TRUE(client::OpenWakePipe(wake_).ok());
  }
  void TearDown() override {
    if (server_ >= 0) ::close(server_);
    if (receiver_.joinable()) receiver_.join();
    if (link_ == nullptr && client_ >= 0) ::close(client_);
    link_.reset();  // closes client_
    client::CloseWakePipe(wake_);
    client::ResetIncoming();
  }

  void StartPair() {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, ends), 0);
    client_ = ends[0];
    server_ = ends[1];
    Start();
  }
  void Start() {
    link_ = std::make_unique<client::Link>(client_);
    receiver_ = std::thread(client::ReceiveLoop, std::ref(*link_), wake_.writeFd);
  }

  void Send(const std::string& bytes) {
    ASSERT_EQ(::send(server_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // Waits on the wake pipe until `count` texts arrived, or the end if `untilEnd`.
  bool WaitFor(std::size_t count, bool untilEnd = false) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    for (;;) {
      client::TakeIncoming(texts_, end_);
      if (texts_.size() >= count && (!untilEnd || end_.ended)) return true;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      pollfd wait{wake_.readFd, POLLIN, 0};
      ::poll(&wait, 1, static_cast<int>(left.count()));
      client::DrainWake(wake_.readFd);
    }
  }

  client::WakePipe wake_;
  int client_ = -1;
  int server_ = -1;
  std::unique_ptr<client::Link> link_;
  std::thread receiver_;
  std::deque<std::string> texts_;
  client::ReceiveEnd end_;
};

TEST_F(ReceiveTest, EveryFrameBecomesOneTextHoweverTheReadsCutIt) {
  StartPair();
  Send("Welcome\0"s);
  ASSERT_TRUE(WaitFor(1));
  Send("hel");
  Send("lo\0wor"s);
  Send("ld\0\0a\0"s);
  ASSERT_TRUE(WaitFor(5));
  EXPECT_EQ(texts_, (std::deque<std::string>{"Welcome", "hello", "world", "", "a"}));
  EXPECT_FALSE(end_.ended);
}

TEST_F(ReceiveTest, AFrameLargerThanAnyReadArrivesWhole) {
  StartPair();
  const std::string big(300000, 'x');
  std::thread sender([&] { Send(big + "\0"s); });
  ASSERT_TRUE(WaitFor(1));
  sender.join();
  EXPECT_EQ(texts_.front(), big);
}

TEST_F(ReceiveTest, TheServersCloseEndsReceivingAfterItsTexts) {
  StartPair();
  Send("bye\0"s);
  ::close(server_);
  server_ = -1;
  ASSERT_TRUE(WaitFor(1, true));
  EXPECT_EQ(texts_, std::deque<std::string>{"bye"});
  EXPECT_EQ(end_.error, 0);
}

// ---- Error paths --------------------------------------------------------------------

TEST_F(ReceiveTest, AResetConnectionEndsWithTheReadError) {
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  client_ = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(::connect(client_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  server_ = ::accept(listener, nullptr, nullptr);
  ::close(listener);
  Start();
  const linger abort{1, 0};  // close with a reset
  ::setsockopt(server_, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
  ::close(server_);
  server_ = -1;
  ASSERT_TRUE(WaitFor(0, true));
  EXPECT_EQ(end_.error, ECONNRESET);
}

TEST_F(ReceiveTest, StoppingTheLinkStopsTheThread) {
  StartPair();
  link_->Stop();
  ASSERT_TRUE(WaitFor(0, true));
  EXPECT_TRUE(end_.ended);
}

}  // namespace
