// The real address behind a proxy, through the real binary: HAProxy with send-proxy-v2
// in front of the game port and telnet, nginx with X-Forwarded-For in front of the
// page, and the PROXY headers and forwarding headers that are bad, too long or sent by
// someone who is no proxy. Each client binds a 127.x address of its own; the proxies
// reach the server from 127.0.0.1, the one trusted proxy.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include "e2e_support.h"
#include "harness/tls_certs.h"
#include "peers.h"

namespace {

using e2e::Admin;
using e2e::Client;
using e2e::DoorsOf;
using namespace std::chrono_literals;

constexpr const char* kWelcome = "Welcome to Pelthollow! Type \"help\" for a list of commands.";
constexpr const char* kBanned = "Your address is not allowed here.";

// True once something listens on the loopback's TCP `port`, as the kernel's table
// shows it: a proxy that has bound its ports is ready, and no connection is made to
// find out.
bool WaitForListener(int port, std::chrono::milliseconds timeout = e2e::kTimeout) {
  char wanted[16];
  std::snprintf(wanted, sizeof wanted, ":%04X ", static_cast<unsigned>(port));
  const auto deadline = e2e::Clock::now() + timeout;
  for (;;) {
    std::ifstream table("/proc/net/tcp");
    for (std::string line; std::getline(table, line);) {
      // "  0: 0100007F:1F90 00000000:0000 0A ...": local address, remote, state (0A listens)
      const std::size_t at = line.find(wanted);
      if (at != std::string::npos && at < 24 && line.compare(at + 19, 4, " 0A ") == 0) return true;
    }
    if (e2e::Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(10ms);
  }
}

// `text` with each of the `words` (upper case, whole) replaced by its value.
std::string Filled(std::string text, const std::map<std::string, std::string>& words) {
  for (const auto& [word, value] : words) {
    for (std::size_t at = text.find(word); at != std::string::npos; at = text.find(word, at)) {
      text.replace(at, word.size(), value);
      at += value.size();
    }
  }
  return text;
}

// The README's HAProxy configuration in front of the game port, telnet and telnet
// over TLS, bound to the loopback's test ports.
constexpr const char* kHaproxyConfig = R"(defaults
  timeout connect 5s
  timeout client 1h
  timeout server 1h
listen game
  mode tcp
  bind 127.0.0.1:GAME_FRONT
  server pelthollow 127.0.0.1:GAME_BACK send-proxy-v2
listen telnet
  mode tcp
  bind 127.0.0.1:TELNET_FRONT
  server pelthollow 127.0.0.1:TELNET_BACK send-proxy-v2
listen telnet_tls
  mode tcp
  bind 127.0.0.1:TLS_FRONT
  server pelthollow 127.0.0.1:TLS_BACK send-proxy-v2
)";

// The README's nginx configuration in front of the page, on test ports; the Host is
// passed with its port ($http_host), which the README's port 443 leaves out.
constexpr const char* kNginxConfig = R"(daemon off;
master_process off;
pid DIR/nginx.pid;
error_log DIR/error.log warn;
events { worker_connections 64; }
http {
  client_body_temp_path DIR/client_body;
  proxy_temp_path DIR/proxy;
  fastcgi_temp_path DIR/fastcgi;
  uwsgi_temp_path DIR/uwsgi;
  scgi_temp_path DIR/scgi;
  access_log off;
  server {
    listen 127.0.0.1:FRONT;
    location / {
      proxy_pass http://127.0.0.1:BACK;
      proxy_set_header Host $http_host;
      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
    }
    location /ws {
      proxy_pass http://127.0.0.1:BACK;
      proxy_http_version 1.1;
      proxy_set_header Upgrade $http_upgrade;
      proxy_set_header Connection "upgrade";
      proxy_set_header Host $http_host;
      proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;
      proxy_read_timeout 1h;
    }
  }
}
)";

// A WebSocket upgrade of /ws with `headers` (whole lines, each ending in CR LF) added;
// `host` is the Host and the origin's host.
std::string Upgrade(const std::string& host, const std::string& headers = "") {
  return "GET /ws HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
         "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
         "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n" +
         headers + "\r\n";
}

// A raw client whose bytes the test reads as they come.
struct RawClient {
  RawClient(int port, const std::string& from) : socket(port, from) {}
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = e2e::kTimeout) {
    return e2e::ReadUntil(socket.Fd(), received, at, text, timeout);
  }
  // True when the server closes the connection in time (what came first is kept).
  bool WaitForClose() {
    const auto deadline = e2e::Clock::now() + e2e::kTimeout;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - e2e::Clock::now());
      pollfd p{socket.Fd(), POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
      char buffer[4096];
      const ssize_t n = ::recv(socket.Fd(), buffer, sizeof buffer, 0);
      if (n <= 0) return true;
      received.append(buffer, static_cast<std::size_t>(n));
    }
  }
  Client socket;
  std::string received;
  std::size_t at = 0;
};

// The server's log from `mark` on holds `text`, waited for.
bool LogsSince(e2e::Server& server, std::size_t mark, const std::string& text) {
  return server.Proc().WaitForOutput(text, e2e::kTimeout, mark);
}

// --- HAProxy --------------------------------------------------------------------

TEST(Proxy, HaproxyNamesEachClientToTheGamePortAndTelnetAndABanHoldsThroughIt) {
  const std::string haproxy = e2e::FindProgram("haproxy");
  SKIP_WITHOUT(haproxy, "haproxy", "PELTHOLLOW_REQUIRE_PROXIES");
  const std::string python = e2e::Python();
  SKIP_WITHOUT(python, "python3", "PELTHOLLOW_REQUIRE_PYTHON");
  e2e::TempDir dir;
  harness::TestAuthority authority(dir.Path());
  const auto certificate = authority.Issue("server");
  const int telnetPort = e2e::FreePort();
  const int telnetTlsPort = e2e::FreePort();
  e2e::Process::Options options;
  options.env = {{"PELTHOLLOW_PROXIES", "127.0.0.1"},
                 {"PELTHOLLOW_TELNET_PORT", std::to_string(telnetPort)},
                 {"PELTHOLLOW_TELNET_TLS_PORT", std::to_string(telnetTlsPort)},
                 {"PELTHOLLOW_TLS_CERT", certificate.certificateFile},
                 {"PELTHOLLOW_TLS_KEY", certificate.keyFile}};
  e2e::Server server(&dir, options);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Telnet over TLS on port ")) << server.Log();

  const int game = e2e::FreePort();
  const int telnet = e2e::FreePort();
  const int telnetTls = e2e::FreePort();
  e2e::WriteFile(dir.File("haproxy.cfg"),
                 Filled(kHaproxyConfig, {{"GAME_FRONT", std::to_string(game)},
                                         {"GAME_BACK", std::to_string(server.Port())},
                                         {"TELNET_FRONT", std::to_string(telnet)},
                                         {"TELNET_BACK", std::to_string(telnetPort)},
                                         {"TLS_FRONT", std::to_string(telnetTls)},
                                         {"TLS_BACK", std::to_string(telnetTlsPort)}}));
  harness::ProcessOptions proxyOptions;
  proxyOptions.args = {"-db", "-f", dir.File("haproxy.cfg")};
  harness::Process proxy(haproxy, dir.Path(), 0, proxyOptions);
  ASSERT_TRUE(WaitForListener(game) && WaitForListener(telnet) && WaitForListener(telnetTls))
      << proxy.Output();

  Client ash(game, "127.0.0.2");
  ASSERT_TRUE(ash.ReadWelcome()) << server.Log() << proxy.Output();
  EXPECT_TRUE(server.WaitForLog("New connection from 127.0.0.2 (")) << server.Log();
  EXPECT_TRUE(server.WaitForLog(" came in by game through the proxy 127.0.0.1\n")) << server.Log();
  RawClient mud(telnet, "127.0.0.3");
  EXPECT_TRUE(mud.WaitFor(std::string(kWelcome) + "\r\n")) << mud.received;
  // Over TLS the PROXY header comes first, then the handshake.
  e2e::TlsTunnel tunnel(python, authority.CaFile(), telnetTls);
  ASSERT_TRUE(tunnel.Port()) << tunnel.Output();
  RawClient secure(tunnel.Port(), "127.0.0.4");
  EXPECT_TRUE(secure.WaitFor(std::string(kWelcome) + "\r\n")) << secure.received << tunnel.Output();
  EXPECT_TRUE(server.WaitForLog(" came in by telnet-tls over TLSv1.3 ")) << server.Log();

  const std::string who = Admin(server, {"who"});
  EXPECT_EQ(DoorsOf(who, "127.0.0.2"), std::vector<std::string>{"game"}) << who;
  EXPECT_EQ(DoorsOf(who, "127.0.0.3"), std::vector<std::string>{"telnet"}) << who;
  EXPECT_EQ(DoorsOf(who, "127.0.0.4"), std::vector<std::string>{"telnet-tls"}) << who;
  EXPECT_TRUE(DoorsOf(who, "127.0.0.1").empty()) << who;

  // The ban is of the client, not of the proxy that carries everyone.
  EXPECT_EQ(Admin(server, {"ban", "127.0.0.2"}),
            "Banned 127.0.0.2 until lifted; 1 connection(s) ended.\n");
  EXPECT_TRUE(ash.WaitForClose());
  Client again(game, "127.0.0.2");
  EXPECT_EQ(again.NextFrame(), kBanned);
  EXPECT_TRUE(again.WaitForClose());
  EXPECT_TRUE(
      server.WaitForLog("Refused a connection from 127.0.0.2 on game: the address is banned.\n"));
  Client other(game, "127.0.0.5");
  EXPECT_TRUE(other.ReadWelcome());
  mud.socket.SendRaw("help\r\n");
  EXPECT_TRUE(mud.WaitFor("displays this message"));
}

// --- nginx ----------------------------------------------------------------------

// The web doors take the client's address from the forwarding headers of a trusted
// proxy.
TEST(Proxy, NginxNamesEachBrowserToTheWebClientAndABanHoldsThroughIt) {
  const std::string nginx = e2e::FindProgram("nginx");
  SKIP_WITHOUT(nginx, "nginx", "PELTHOLLOW_REQUIRE_PROXIES");
  const int webPort = e2e::FreePort();
  e2e::Process::Options options;
  options.env = {{"PELTHOLLOW_PROXIES", "127.0.0.1"},
                 {"PELTHOLLOW_WEB_PORT", std::to_string(webPort)}};
  e2e::Server server(options);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Web client on port ")) << server.Log();

  // The README's configuration on test ports, every file of nginx in the folder.
  e2e::TempDir dir;
  const int front = e2e::FreePort();
  e2e::WriteFile(dir.File("nginx.conf"), Filled(kNginxConfig, {{"DIR", dir.Path()},
                                                               {"FRONT", std::to_string(front)},
                                                               {"BACK", std::to_string(webPort)}}));
  harness::ProcessOptions proxyOptions;
  proxyOptions.args = {"-e", dir.File("error.log"), "-p", dir.Path(), "-c", dir.File("nginx.conf")};
  harness::Process proxy(nginx, dir.Path(), 0, proxyOptions);
  ASSERT_TRUE(WaitForListener(front)) << proxy.Output() << e2e::ReadFile(dir.File("error.log"));
  const std::string host = "127.0.0.1:" + std::to_string(front);

  RawClient willow(front, "127.0.0.2");
  willow.socket.SendRaw(Upgrade(host));
  ASSERT_TRUE(willow.WaitFor("HTTP/1.1 101 ")) << willow.received;
  EXPECT_TRUE(willow.WaitFor(kWelcome));
  ASSERT_TRUE(server.WaitForLog(" came in by web through the proxy 127.0.0.1\n")) << server.Log();
  EXPECT_TRUE(server.WaitForLog("New connection from 127.0.0.2 (")) << server.Log();

  // A browser that names someone else first: nginx adds what it saw, and that wins.
  RawClient liar(front, "127.0.0.3");
  liar.socket.SendRaw(Upgrade(host, "X-Forwarded-For: 203.0.113.9\r\n"));
  ASSERT_TRUE(liar.WaitFor(kWelcome)) << liar.received;
  const std::string who = Admin(server, {"who"});
  EXPECT_EQ(DoorsOf(who, "127.0.0.2"), std::vector<std::string>{"web"}) << who;
  EXPECT_EQ(DoorsOf(who, "127.0.0.3"), std::vector<std::string>{"web"}) << who;
  EXPECT_EQ(server.Log().find("203.0.113.9"), std::string::npos) << server.Log();

  EXPECT_EQ(Admin(server, {"ban", "127.0.0.2"}),
            "Banned 127.0.0.2 until lifted; 1 connection(s) ended.\n");
  EXPECT_TRUE(willow.WaitForClose());
  RawClient again(front, "127.0.0.2");
  again.socket.SendRaw(Upgrade(host));
  EXPECT_TRUE(again.WaitFor(kBanned)) << again.received;
  EXPECT_EQ(again.received.find(" 101 "), std::string::npos) << again.received;
  RawClient other(front, "127.0.0.4");
  other.socket.SendRaw(Upgrade(host));
  EXPECT_TRUE(other.WaitFor(kWelcome)) << other.received;
}

// --- Bad input ------------------------------------------------------------------

TEST(Proxy, APoorOrUntrustedProxyHeaderEndsOnlyItsOwnConnection) {
  const int telnetPort = e2e::FreePort();
  e2e::Process::Options options;
  options.env = {{"PELTHOLLOW_PROXIES", "127.0.0.1/32"},
                 {"PELTHOLLOW_TELNET_PORT", std::to_string(telnetPort)}};
  e2e::Server server(options);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Telnet port ")) << server.Log();
  Client player(server.Port(), "127.0.0.3");
  ASSERT_TRUE(player.ReadWelcome());

  // From the proxy: version 1, the client named and its first frame after the header.
  {
    RawClient proxied(server.Port(), "127.0.0.1");
    proxied.socket.SendRaw("PROXY TCP4 198.51.100.7 127.0.0.1 40000 61234\r\nhelp" +
                           std::string(1, '\0'));
    EXPECT_TRUE(proxied.WaitFor("help\tdisplays this message")) << proxied.received;
    EXPECT_TRUE(server.WaitForLog("New connection from 198.51.100.7 ("));
  }

  // From the proxy, headers it does not take: the connection never starts.
  const std::string v2 = std::string("\r\n\r\n\0\r\nQUIT\n", 12);
  const std::pair<std::string, std::string> refused[] = {
      {"PROXY TCP4 198.51.100\r\n", "malformed"},
      {"PROXY TCP4 " + std::string(120, '1'), "too long"},
      {v2 + std::string("\x21\x11\xff\xff", 4), "too long"},
      {v2 + std::string("\x31\x11\x00\x0c", 4), "unsupported"},
      {std::string("help\0", 5), "not a PROXY header"},
  };
  for (const auto& [bytes, reason] : refused) {
    SCOPED_TRACE(reason);
    const std::size_t mark = server.Log().size();
    RawClient proxied(server.Port(), "127.0.0.1");
    proxied.socket.SendRaw(bytes);
    EXPECT_TRUE(proxied.WaitForClose());
    EXPECT_EQ(proxied.received, "");
    EXPECT_TRUE(LogsSince(server, mark, " ended: PROXY header refused: " + reason + "\n"))
        << server.Log().substr(mark);
  }

  // From anyone else a header is a lie about who is there, on either door.
  for (const int port : {server.Port(), telnetPort}) {
    const std::size_t mark = server.Log().size();
    RawClient stranger(port, "127.0.0.2");
    stranger.socket.SendRaw("PROXY TCP4 203.0.113.9 127.0.0.1 40000 61234\r\n");
    EXPECT_TRUE(stranger.WaitForClose());
    EXPECT_TRUE(LogsSince(server, mark,
                          " ended: a PROXY header from an address that is not a trusted proxy\n"))
        << server.Log().substr(mark);
  }
  EXPECT_EQ(server.Log().find("203.0.113.9"), std::string::npos) << server.Log();
  EXPECT_EQ(player.Ask("help").value_or("").rfind("help\tdisplays this message", 0), 0u);
}

// From a trusted proxy the right-most address that is no trusted proxy is the client,
// in either header; from anyone else the headers are ignored.
TEST(Proxy, ForwardingHeadersNameTheClientOnlyFromATrustedProxy) {
  const int webPort = e2e::FreePort();
  e2e::Process::Options options;
  options.env = {{"PELTHOLLOW_PROXIES", "127.0.0.1,10.0.0.0/8"},
                 {"PELTHOLLOW_WEB_PORT", std::to_string(webPort)}};
  e2e::Server server(options);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Web client on port ")) << server.Log();
  const std::string host = "127.0.0.1:" + std::to_string(webPort);
  const struct {
    std::string from, headers, client;
  } cases[] = {
      {"127.0.0.2", "X-Forwarded-For: 203.0.113.9\r\n", "127.0.0.2"},
      {"127.0.0.1", "X-Forwarded-For: 203.0.113.9, 198.51.100.7, 10.1.2.3\r\n", "198.51.100.7"},
      {"127.0.0.1", "Forwarded: for=203.0.113.9, for=\"[2001:db8::7]:4711\";proto=https\r\n",
       "2001:db8::7"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.headers);
    RawClient browser(webPort, c.from);
    browser.socket.SendRaw(Upgrade(host, c.headers));
    ASSERT_TRUE(browser.WaitFor(kWelcome)) << browser.received;
    EXPECT_EQ(DoorsOf(Admin(server, {"who"}), c.client), std::vector<std::string>{"web"});
  }
  EXPECT_EQ(server.Log().find("203.0.113.9"), std::string::npos) << server.Log();
}

}  // namespace
