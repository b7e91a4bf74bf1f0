#include "bench_echo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

namespace bench {
namespace {

// A blocking client of the echo with a receive timeout, so a missing frame fails the
// test instead of hanging it.
class EchoClient {
 public:
  explicit EchoClient(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval wait{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  }
  ~EchoClient() { ::close(fd_); }
  bool Connected() const { return connected_; }
  void Write(const std::string& bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), 0), static_cast<ssize_t>(bytes.size())); }
  // The next frame's text, or "<timeout>".
  std::string Frame() {
    for (;;) {
      const std::size_t end = pending_.find('\0');
      if (end != std::string::npos) {
        std::string frame = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return frame;
      }
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return "<timeout>";
      pending_.append(buffer, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string pending_;
};

class BenchEcho : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    ASSERT_TRUE(StartEcho("Welcome!", echo_, error)) << error;
  }
  void TearDown() override { StopEcho(echo_); }
  EchoProcess echo_;
};

TEST_F(BenchEcho, GreetsThenAnswersEveryFrameWithItself) {
  EchoClient c(echo_.port);
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.Frame(), "Welcome!");
  c.Write(std::string("look\0", 5));
  EXPECT_EQ(c.Frame(), "look");
  c.Write(std::string("say a\0say b\0", 12));  // two frames in one write
  EXPECT_EQ(c.Frame(), "say a");
  EXPECT_EQ(c.Frame(), "say b");
  c.Write("half a ");  // one frame over two writes
  c.Write(std::string("frame\0", 6));
  EXPECT_EQ(c.Frame(), "half a frame");
  c.Write(std::string("\0", 1));
  EXPECT_EQ(c.Frame(), "");
}

TEST_F(BenchEcho, ALargeAnswerArrivesWhole) {
  EchoClient c(echo_.port);
  ASSERT_EQ(c.Frame(), "Welcome!");
  const std::string big(3 * 1024 * 1024, 'x');  // more than a socket buffer takes at once
  std::string frame = big;
  frame.push_back('\0');
  // Read while writing, so neither side's buffer fills for good.
  std::thread reader([&] { EXPECT_EQ(c.Frame(), big); });
  c.Write(frame);
  reader.join();
}

TEST_F(BenchEcho, StopsWhenAsked) {
  const pid_t pid = echo_.pid;
  StopEcho(echo_);
  EXPECT_EQ(echo_.pid, -1);
  EXPECT_NE(::kill(pid, 0), 0);  // reaped: no such process any more
}

}  // namespace
}  // namespace bench
