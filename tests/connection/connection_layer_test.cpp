#include "connection/connection_layer.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "codecs/frame_codec.h"
#include "core/connection_lock.h"
#include "core/outbox.h"
#include "layer_handover.h"

namespace {

using namespace std::string_literals;

const base::Address kLocal = base::Address::V4(0x7F000001u);     // 127.0.0.1, trusted
const base::Address kStranger = base::Address::V4(0xCB007109u);  // 203.0.113.9, held to the limits
const base::Address kProxy = base::Address::V4(0x7F000002u);     // 127.0.0.2, a trusted proxy

// Echoes every line; "slow" is answered later, as a password is after its hash, and
// "bye" ends the connection after its answer.
class Echo final : public connection::LineHandler {
 public:
  void Admitted(core::Socket, const connection::Peer&) override {}
  bool Line(core::Socket connection, const std::string& line) override {
    if (line == "slow") {
      held = connection;
      ticket = layer->Hold(connection);
      return false;
    }
    layer->Outbox().Queue(connection, "echo: " + line);
    layer->Outbox().Flush();
    return line == "bye";
  }
  void Ended(core::Socket connection) override { ended.push_back(connection); }

  connection::ConnectionLayer* layer = nullptr;  // the layer whose lines it answers
  std::vector<core::Socket> ended;
  core::Socket held = core::kNoSocket;
  std::uint64_t ticket = 0;
};

// A layer over socket pairs, driven by the test thread alone, with two doors: the game,
// and one whose connections from a trusted proxy begin with a PROXY header.
class ConnectionLayerTest : public ::testing::Test {
 protected:
  explicit ConnectionLayerTest(connection::Caps caps = {}) : caps_(caps) {
    limits_.proxies = {base::SingleAddress(kProxy)};
    layer_ = MakeLayer();
  }
  ~ConnectionLayerTest() override {
    for (const int fd : clients_) ::close(fd);
  }

  std::unique_ptr<connection::ConnectionLayer> MakeLayer() {
    auto layer = std::make_unique<connection::ConnectionLayer>(limits_, caps_);
    EXPECT_TRUE(layer->Init().ok());
    connection::Door door;
    door.name = "game";
    door.makeCodec = [](const connection::Endpoints&) { return std::make_unique<codecs::FrameCodec>(); };
    door.handler = &echo_;
    door.welcome = "Welcome to Pelthollow! Type \"help\" for a list of commands.";
    door_ = layer->AddDoor(door);
    door.name = "proxied";
    door.proxied = true;
    proxied_ = layer->AddDoor(std::move(door));
    echo_.layer = layer.get();
    return layer;
  }

  // Connects a client from `address`; returns the client's end.
  int Connect(const base::Address& address, std::size_t door = 0) {
    int ends[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, ends), 0);
    const int buffer = connection::kSocketSendBufferBytes;
    ::setsockopt(ends[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    std::lock_guard<core::FairLock> guard(core::ConnectionLock);
    layer_->Take(ends[0], door, address);
    clients_.push_back(ends[1]);
    servers_.push_back(ends[0]);
    return ends[1];
  }

  // The layer, handed to a fresh one as an upgrade does (layer_handover.h).
  connection::CarriedLayer HandOver() {
    std::vector<core::Socket> adopted;
    const connection::CarriedLayer carried = ::HandOver(layer_, MakeLayer(), adopted);
    echo_.layer = layer_.get();
    EXPECT_EQ(adopted, carried.connections);
    return carried;
  }

  // Runs turns until `done` or a few seconds have passed.
  template <class Done>
  bool RunUntil(Done done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      layer_->RunOnce(50);
    }
    return true;
  }

  // Reads what the client has been sent, until it holds `wanted` or time runs out.
  std::string ReadUntil(int client, const std::string& wanted) {
    std::string got;
    RunUntil([&] {
      char buffer[4096];
      ssize_t n;
      while ((n = ::recv(client, buffer, sizeof buffer, 0)) > 0) got.append(buffer, static_cast<std::size_t>(n));
      return got.find(wanted) != std::string::npos;
    });
    return got;
  }

  bool Consistent() {
    std::lock_guard<core::FairLock> guard(core::ConnectionLock);
    return layer_->ConnectionsAreConsistent();
  }
  std::size_t Count() {
    std::lock_guard<core::FairLock> guard(core::ConnectionLock);
    return layer_->Count();
  }
  void Send(core::Socket to, const std::string& text) {
    std::lock_guard<core::FairLock> guard(core::ConnectionLock);
    layer_->SendText(to, text);
  }

  connection::Caps caps_;
  connection::AddressLimits limits_;
  Echo echo_;
  std::unique_ptr<connection::ConnectionLayer> layer_;
  std::size_t door_ = 0;
  std::size_t proxied_ = 0;
  std::vector<int> clients_;
  std::vector<int> servers_;
};

TEST_F(ConnectionLayerTest, LinesAreAnsweredInOrderAndEveryWayOfEndingLetsGo) {
  const int a = Connect(kLocal);
  const int b = Connect(kStranger);
  EXPECT_NE(ReadUntil(a, "help\" for a list of commands.\0"s).find("Welcome"), std::string::npos);
  ASSERT_EQ(::send(a, "one\0tw", 6, 0), 6);
  ASSERT_EQ(::send(a, "o\0", 2, 0), 2);
  EXPECT_EQ(ReadUntil(a, "echo: two\0"s), "echo: one\0echo: two\0"s);
  EXPECT_TRUE(Consistent());

  // The game ends b after its answer; a closes its side and still gets its answer.
  ASSERT_EQ(::send(b, "bye\0", 4, 0), 4);
  ASSERT_EQ(::send(a, "last\0", 5, 0), 5);
  ::shutdown(a, SHUT_WR);
  EXPECT_NE(ReadUntil(b, "echo: bye\0"s).find("echo: bye"), std::string::npos);
  EXPECT_EQ(ReadUntil(a, "echo: last\0"s), "echo: last\0"s);
  EXPECT_TRUE(RunUntil([&] { return Count() == 0; }));
  EXPECT_EQ(echo_.ended.size(), 2u);
  EXPECT_TRUE(Consistent());
}

TEST_F(ConnectionLayerTest, AHeldConnectionsLinesWaitForItsAnswerWhileOthersAreServed) {
  const int a = Connect(kLocal);
  const int b = Connect(kLocal);
  ReadUntil(a, "commands.\0"s);
  ReadUntil(b, "commands.\0"s);
  ASSERT_EQ(::send(a, "slow\0next\0", 10, 0), 10);
  ASSERT_TRUE(RunUntil([&] { return echo_.held != core::kNoSocket; }));
  ASSERT_EQ(::send(b, "other\0", 6, 0), 6);
  EXPECT_EQ(ReadUntil(b, "echo: other\0"s), "echo: other\0"s);
  const core::Socket held = echo_.held;
  const std::uint64_t ticket = echo_.ticket;
  layer_->Post([this, held, ticket] {
    layer_->Answer(held, ticket, [this, held] {
      layer_->Outbox().Queue(held, "slow done");
      return false;
    });
  });
  EXPECT_EQ(ReadUntil(a, "echo: next\0"s), "slow done\0echo: next\0"s);
  EXPECT_TRUE(Consistent());
}

TEST_F(ConnectionLayerTest, ATaskPostedWhileTasksRunWakesTheNextWait) {
  bool second = false;
  bool first = false;
  layer_->Post([&] {
    first = true;
    layer_->Post([&] { second = true; });
  });
  ASSERT_TRUE(RunUntil([&] { return first; }));
  // Nothing else will happen: only the second task's own wake ends this wait early.
  const auto start = std::chrono::steady_clock::now();
  layer_->RunOnce(60'000);
  EXPECT_TRUE(second);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

TEST_F(ConnectionLayerTest, AClientThatStopsReadingMeetsTheCapOfItsConnectionAndOfItsAddress) {
  for (int i = 0; i < 5; ++i) Connect(kStranger);
  const std::string megabyte(1'000'000, 'x');
  for (int i = 0; i < 4; ++i) {
    for (int n = 0; n < 3; ++n) Send(servers_[static_cast<std::size_t>(i)], megabyte);
  }
  // Four connections hold 12 MB; the fifth may add 4 MB more before the address's 16 MiB.
  for (int n = 0; n < 5; ++n) Send(servers_[4], megabyte);
  EXPECT_TRUE(Consistent());
  EXPECT_TRUE(RunUntil([&] { return Count() == 4; }));
  // One connection's own cap: a fifth megabyte passes its 4 MiB.
  Send(servers_[0], megabyte);
  Send(servers_[0], megabyte);
  EXPECT_TRUE(RunUntil([&] { return Count() == 3; }));
  EXPECT_TRUE(Consistent());
  EXPECT_EQ(echo_.ended.size(), 2u);
}

// A cap of 1.5 MiB on all buffered memory.
class MemoryCapTest : public ConnectionLayerTest {
 protected:
  static connection::Caps SmallCap() {
    connection::Caps caps;
    caps.maxBufferedBytes = std::size_t{3} << 19;
    return caps;
  }
  MemoryCapTest() : ConnectionLayerTest(SmallCap()) {}
};

TEST_F(MemoryCapTest, CountsTheRoomTheBuffersHoldNotJustTheirBytes) {
  Connect(kLocal);
  Connect(kLocal);
  // 1,040 KiB queued in pieces: under the cap in bytes, but the queue that grew to hold
  // them holds 2 MiB. Neither client reads.
  const std::string piece(16 * 1024, 'x');
  for (int n = 0; n < 65; ++n) Send(servers_[0], piece);
  for (int n = 0; n < 4; ++n) Send(servers_[1], piece);
  EXPECT_TRUE(RunUntil([&] { return Count() == 1; }));
  ASSERT_EQ(echo_.ended.size(), 1u);
  EXPECT_EQ(echo_.ended[0], servers_[0]);
  EXPECT_TRUE(Consistent());
}

TEST_F(ConnectionLayerTest, ALiveLayerIsTakenInByAFreshOneAsItWas) {
  const int idle = Connect(kLocal);
  const int held = Connect(kLocal);
  const int midLine = Connect(kLocal);
  const int full = Connect(kLocal);
  const int fast = Connect(kStranger);
  const int leaving = Connect(kLocal);
  const int proxied = Connect(kProxy, proxied_);
  for (const int client : {idle, held, midLine, full, fast, leaving}) ReadUntil(client, "commands.\0"s);
  // Held for its answer, a line behind it; half a line read; output its client does not
  // read, over the soft cap; over its pace; ended, its socket draining; half a PROXY header.
  ASSERT_EQ(::send(held, "slow\0after\0", 11, 0), 11);
  ASSERT_TRUE(RunUntil([&] { return echo_.held != core::kNoSocket; }));
  ASSERT_EQ(::send(midLine, "hal", 3, 0), 3);
  Send(servers_[3], std::string(300 * 1024, 'x'));
  std::string lines;
  for (int i = 0; i < 45; ++i) lines.append("l").append(std::to_string(i)).push_back('\0');
  ASSERT_EQ(::send(fast, lines.data(), lines.size(), 0), static_cast<ssize_t>(lines.size()));
  ReadUntil(fast, "echo: l39\0"s);
  ASSERT_EQ(::send(leaving, "bye\0", 4, 0), 4);
  ReadUntil(leaving, "echo: bye\0"s);
  ASSERT_EQ(::send(proxied, "PROXY TCP4 203.0.113.7 ", 23, 0), 23);
  for (int i = 0; i < 3; ++i) layer_->RunOnce(0);
  ASSERT_TRUE(Consistent());

  const connection::CarriedLayer carried = HandOver();
  EXPECT_EQ(carried.connections.size(), 6u);
  EXPECT_EQ(carried.drains.size(), 1u);
  EXPECT_TRUE(Consistent());
  {
    // Everything carried was taken in: carried again, it is the same record.
    std::lock_guard<core::FairLock> guard(core::ConnectionLock);
    std::vector<core::Socket> left;
    EXPECT_EQ(layer_->Carry(left).record, carried.record);
  }

  // And each goes on where it was.
  EXPECT_EQ(ReadUntil(held, "echo: after\0"s), "echo: after\0"s);
  ASSERT_EQ(::send(midLine, "f\0", 2, 0), 2);
  EXPECT_EQ(ReadUntil(midLine, "echo: half\0"s), "echo: half\0"s);
  EXPECT_EQ(ReadUntil(full, "xxx\0"s).size(), 300u * 1024 + 1);
  EXPECT_NE(ReadUntil(fast, "echo: l44\0"s).find("echo: l40\0"), std::string::npos);
  ASSERT_EQ(::send(proxied, "127.0.0.1 5000 6000\r\none\0", 26, 0), 26);
  EXPECT_NE(ReadUntil(proxied, "echo: one\0"s).find("Welcome"), std::string::npos);
  ASSERT_EQ(::send(idle, "hi\0", 3, 0), 3);
  EXPECT_EQ(ReadUntil(idle, "echo: hi\0"s), "echo: hi\0"s);
  EXPECT_TRUE(Consistent());
}

}  // namespace
