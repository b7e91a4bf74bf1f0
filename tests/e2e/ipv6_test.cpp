// IPv6 through the real binary: every door taken over [::1] beside IPv4 clients, the
// address in the log and in `who`, and a ban of an IPv6 block.
#include <gtest/gtest.h>

#include <string>

#include "e2e_support.h"
#include "harness/tls_certs.h"
#include "peers.h"

namespace {

using e2e::Admin;
using e2e::DoorsOf;

constexpr const char* kWelcome = "Welcome to Pelthollow! Type \"help\" for a list of commands.";

// A raw connection to [::1]:`port`: bytes out, bytes in.
class SixClient {
 public:
  explicit SixClient(int port) {
    fd_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_loopback;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~SixClient() { ::close(fd_); }
  SixClient(const SixClient&) = delete;
  SixClient& operator=(const SixClient&) = delete;

  bool Connected() const { return connected_; }
  bool Send(const std::string& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  bool WaitFor(const std::string& text) { return e2e::ReadUntil(fd_, received_, from_, text); }
  // True when the server closes the connection in time (what came first is kept).
  bool WaitForClose() {
    const auto deadline = e2e::Clock::now() + e2e::kTimeout;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - e2e::Clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[4096];
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return true;
      received_.append(buffer, static_cast<std::size_t>(n));
    }
  }
  const std::string& Received() const { return received_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
  std::string received_;
  std::size_t from_ = 0;
};

TEST(Ipv6, EveryDoorTakesIpv6AndABanOfASlash64HoldsIt) {
  const std::string python = e2e::Python();
  SKIP_WITHOUT(python, "python3", "PELTHOLLOW_REQUIRE_PYTHON");
  e2e::TempDir dir;
  harness::TestAuthority authority(dir.Path());
  const auto certificate = authority.Issue("server");
  const int telnetPort = e2e::FreePort();
  const int webPort = e2e::FreePort();
  const int tlsPort = e2e::FreePort();
  e2e::Process::Options options;
  options.env = {{"PELTHOLLOW_TELNET_PORT", std::to_string(telnetPort)},
                 {"PELTHOLLOW_WEB_PORT", std::to_string(webPort)},
                 {"PELTHOLLOW_TLS_PORT", std::to_string(tlsPort)},
                 {"PELTHOLLOW_TLS_CERT", certificate.certificateFile},
                 {"PELTHOLLOW_TLS_KEY", certificate.keyFile}};
  e2e::Server server(&dir, options);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Game port over TLS on port ")) << server.Log();

  SixClient game(server.Port());
  ASSERT_TRUE(game.WaitFor(std::string(kWelcome) + '\0')) << game.Received();
  game.Send(std::string("help", 5));
  EXPECT_TRUE(game.WaitFor("help\tdisplays this message"));
  EXPECT_TRUE(server.WaitForLog("New connection from ::1 ("));

  // Telnet, and Mudlet sent to the page at the bracketed address it came in on.
  SixClient telnet(telnetPort);
  ASSERT_TRUE(telnet.WaitFor(std::string(kWelcome) + "\r\n")) << telnet.Received();
  telnet.Send(
      "\xff\xfd\xc9\xff\xfa\xc9"
      R"(Core.Hello {"client":"Mudlet","version":"4.17"})"
      "\xff\xf0");
  EXPECT_TRUE(telnet.WaitFor(R"("url":"http://[::1]:)" + std::to_string(webPort) + "/mudlet/"))
      << telnet.Received();

  // A WebSocket from the page's own origin, [::1] and its port.
  const std::string host = "[::1]:" + std::to_string(webPort);
  SixClient web(webPort);
  web.Send("GET /ws HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n");
  EXPECT_TRUE(web.WaitFor("HTTP/1.1 101 ")) << web.Received();
  EXPECT_TRUE(web.WaitFor(kWelcome)) << web.Received();

  // The game's TLS twin, its certificate verified for the address ::1.
  e2e::TlsTunnel tunnel(python, authority.CaFile(), tlsPort, "::1", "::1");
  ASSERT_TRUE(tunnel.Port()) << tunnel.Output();
  e2e::Client overTls(tunnel.Port());
  EXPECT_TRUE(overTls.ReadWelcome()) << tunnel.Output();

  const std::string who = Admin(server, {"who"});
  EXPECT_EQ(DoorsOf(who, "::1"), (std::vector<std::string>{"game", "telnet", "web", "game-tls"}))
      << who;

  // The block around ::1 is banned: its connections end, it is turned away, and IPv4
  // clients are not in it.
  EXPECT_EQ(Admin(server, {"ban", "::/64", "test"}),
            "Banned ::/64 until lifted; 4 connection(s) ended.\n");
  EXPECT_TRUE(game.WaitForClose());
  SixClient refused(server.Port());
  EXPECT_TRUE(refused.WaitFor("Your address is not allowed here.")) << refused.Received();
  EXPECT_TRUE(refused.WaitForClose());
  EXPECT_TRUE(server.WaitForLog("Refused a connection from ::1 on game: the address is banned.\n"));
  // An IPv4 client is held as ::ffff:a.b.c.d, whose top 64 bits are those of ::/64:
  // the ban must still leave it alone.
  e2e::Client four(server.Port(), "127.0.0.2");
  EXPECT_TRUE(four.ReadWelcome()) << "an IPv4 client is inside the IPv6 block ::/64:\n"
                                  << server.Log();
  EXPECT_NE(Admin(server, {"bans"}).find("address ::/64  for ever  test\n"), std::string::npos);
}

}  // namespace
