// The TLS twins of the doors against real TLS clients: Python's ssl module verifying
// the certificate against a CA made in the test, and TinTin++'s #ssl. Then a
// certificate replaced under a playing client, handshakes that are cut, garbled or
// never finished, and starts without a usable certificate.
#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <pty.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <string>

#include "e2e_support.h"
#include "harness/tls_certs.h"
#include "peers.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using e2e::Client;
using e2e::TlsTunnel;
using namespace std::chrono_literals;

constexpr const char* kWelcome = "Welcome to Pelthollow! Type \"help\" for a list of commands.";

std::string SetupLine(const std::string& name) {
  return "setup " + name + " pw she 12 warrior emberfold \" a grey cat \" x y";
}

std::string Telnet(unsigned char verb, unsigned char option) {
  return {'\xff', static_cast<char>(verb), static_cast<char>(option)};
}

// A server with every TLS twin open beside the plain game port, its certificate for
// localhost, 127.0.0.1 and ::1 signed by a test authority in the server's folder.
struct TlsServer {
  explicit TlsServer(std::map<std::string, std::string> env = {})
      : authority(dir.Path()),
        certificate(authority.Issue("server")),
        server(&dir, Options(std::move(env))) {}

  e2e::Process::Options Options(std::map<std::string, std::string> env) {
    e2e::Process::Options options;
    options.env = std::move(env);
    options.env["PELTHOLLOW_TLS_PORT"] = std::to_string(tlsPort);
    options.env["PELTHOLLOW_TELNET_TLS_PORT"] = std::to_string(telnetTlsPort);
    options.env["PELTHOLLOW_WEB_TLS_PORT"] = std::to_string(webTlsPort);
    options.env["PELTHOLLOW_TLS_CERT"] = certificate.certificateFile;
    options.env["PELTHOLLOW_TLS_KEY"] = certificate.keyFile;
    return options;
  }
  bool Ready() { return server.Ready() && server.WaitForLog("Web client over HTTPS on port "); }
  const std::string& Ca() const { return authority.CaFile(); }
  // Waits for `text` in what the server logs from now on.
  std::size_t Mark() { return server.Log().size(); }
  bool LogsSince(std::size_t mark, const std::string& text,
                 std::chrono::milliseconds timeout = e2e::kTimeout) {
    return server.Proc().WaitForOutput(text, timeout, mark);
  }

  e2e::TempDir dir;
  harness::TestAuthority authority;
  harness::IssuedCertificate certificate;
  int tlsPort = e2e::FreePort();
  int telnetTlsPort = e2e::FreePort();
  int webTlsPort = e2e::FreePort();
  e2e::Server server;
};

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.rfind(prefix, 0) == 0;
}

// A blocking socket to the loopback's `port` that gives up on a read after kTimeout.
bool Connect(tcp::socket& socket, int port) {
  beast::error_code error;
  socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)),
                 error);
  if (error) return false;
  timeval limit{static_cast<long>(e2e::kTimeout.count()), 0};
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return true;
}

// GET `target` on a new connection to `port`, naming `host` as the Host; a 0 status
// on failure.
http::response<http::string_body> Get(int port, const std::string& target,
                                      const std::string& host) {
  asio::io_context io;
  tcp::socket socket(io);
  http::response<http::string_body> response;
  if (!Connect(socket, port)) return response;
  http::request<http::empty_body> request(http::verb::get, target, 11);
  request.set(http::field::host, host);
  beast::error_code error;
  http::write(socket, request, error);
  beast::flat_buffer buffer;
  if (!error) http::read(socket, buffer, response, error);
  return response;
}

// A TLS 1.2 or 1.3 ClientHello for localhost, as OpenSSL's client sends it first.
std::string ClientHello() {
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  SSL* ssl = SSL_new(context);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  SSL_set_bio(ssl, in, out);
  SSL_set_tlsext_host_name(ssl, "localhost");
  SSL_connect(ssl);  // wants the server's answer: the hello waits in `out`
  char* data = nullptr;
  const long size = BIO_get_mem_data(out, &data);
  std::string hello(data, static_cast<std::size_t>(std::max(size, 0L)));
  SSL_free(ssl);
  SSL_CTX_free(context);
  return hello;
}

// Everything the peer sends until it closes (or `timeout` passes); `closed` tells which.
std::string ReadToEnd(int fd, bool& closed, std::chrono::milliseconds timeout = e2e::kTimeout) {
  std::string received;
  closed = false;
  const auto deadline = e2e::Clock::now() + timeout;
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - e2e::Clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return received;
    char buffer[4096];
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed = true;
      return received;
    }
    received.append(buffer, static_cast<std::size_t>(n));
  }
}

// --- Python's ssl client ---------------------------------------------------------

TEST(Tls, PythonsVerifyingClientPlaysThroughEveryTlsDoor) {
  const std::string python = e2e::Python();
  SKIP_WITHOUT(python, "python3", "PELTHOLLOW_REQUIRE_PYTHON");
  const int telnetPort = e2e::FreePort();
  TlsServer t({{"PELTHOLLOW_TELNET_PORT", std::to_string(telnetPort)}});
  ASSERT_TRUE(t.Ready()) << t.server.Log();
  TlsTunnel game(python, t.Ca(), t.tlsPort);
  TlsTunnel telnet(python, t.Ca(), t.telnetTlsPort);
  TlsTunnel web(python, t.Ca(), t.webTlsPort, "127.0.0.1", "localhost", "http/1.1");
  ASSERT_TRUE(game.Port() && telnet.Port() && web.Port())
      << game.Output() << telnet.Output() << web.Output();

  // The game protocol, heard by a player of the plain port.
  Client ash(game.Port(), "127.0.0.2");
  ASSERT_TRUE(ash.ReadWelcome()) << game.Output();
  const std::string handshake = game.NextHandshake();
  EXPECT_TRUE(StartsWith(handshake, "connected TLSv1.3 ")) << handshake;
  EXPECT_NE(handshake.find(" cn=localhost "), std::string::npos) << handshake;
  EXPECT_TRUE(t.server.WaitForLog("New connection from 127.0.0.2 ("));
  EXPECT_TRUE(t.server.WaitForLog(" came in by game-tls over TLSv1.3 TLS_")) << t.server.Log();
  ASSERT_TRUE(ash.Ask(SetupLine("Ash")));
  Client birch(t.server.Port());
  ASSERT_TRUE(birch.ReadWelcome());
  ASSERT_TRUE(birch.Ask(SetupLine("Birch")));
  ash.Send("say hello over TLS");
  EXPECT_TRUE(birch.WaitForFrame("Ash: hello over TLS"));

  // Telnet: the status names the TLS port twice over, on both telnet doors (a client
  // of the plain one may move), and Mudlet is sent to the page over https.
  const std::string tlsPort = std::to_string(t.telnetTlsPort);
  const std::string status = "\x01PORT\x02" + std::to_string(telnetPort) + "\x01TLS\x02" + tlsPort +
                             "\x01SSL\x02" + tlsPort;
  {
    Client plain(telnetPort);
    plain.SendRaw(Telnet(253, 70));  // DO MSSP
    std::string got;
    std::size_t from = 0;
    EXPECT_TRUE(e2e::ReadUntil(plain.Fd(), got, from, status)) << got;
  }
  std::string got;
  std::size_t from = 0;
  Client mud(telnet.Port(), "127.0.0.3");
  ASSERT_TRUE(e2e::ReadUntil(mud.Fd(), got, from, std::string(kWelcome) + "\r\n"))
      << telnet.Output() << got;
  EXPECT_TRUE(StartsWith(telnet.NextHandshake(), "connected TLSv1.3 "));
  mud.SendRaw(Telnet(253, 70));
  EXPECT_TRUE(e2e::ReadUntil(mud.Fd(), got, from, status)) << got;
  mud.SendRaw(Telnet(253, 201) +
              "\xff\xfa\xc9"
              R"(Core.Hello {"client":"Mudlet","version":"4.17"})"
              "\xff\xf0");
  EXPECT_TRUE(e2e::ReadUntil(
      mud.Fd(), got, from,
      R"(Client.GUI {"url":"https://127.0.0.1:)" + std::to_string(t.webTlsPort) + "/mudlet/"))
      << got;
  EXPECT_TRUE(t.server.WaitForLog(" came in by telnet-tls over TLSv1.3 "));

  // The page over HTTPS, its protocol agreed by ALPN.
  const auto page = Get(web.Port(), "/", "127.0.0.1:" + std::to_string(t.webTlsPort));
  EXPECT_EQ(page.result(), http::status::ok);
  EXPECT_NE(page.body().find("id=\"output\""), std::string::npos);
  EXPECT_NE(web.NextHandshake().find(" alpn=http/1.1 "), std::string::npos);

  // WSS from the page's own https origin: text frames without GMCP, and with it the
  // game's text as binary frames.
  for (const bool gmcp : {false, true}) {
    SCOPED_TRACE(gmcp ? "with GMCP" : "without GMCP");
    asio::io_context io;
    websocket::stream<tcp::socket> ws(io);
    ASSERT_TRUE(Connect(ws.next_layer(), web.Port()));
    const std::string self = "127.0.0.1:" + std::to_string(t.webTlsPort);
    ws.set_option(websocket::stream_base::decorator([&](websocket::request_type& request) {
      request.set(http::field::origin, "https://" + self);
      if (gmcp) request.set(http::field::sec_websocket_protocol, "gmcp.mudstandards.org");
    }));
    websocket::response_type response;
    beast::error_code error;
    ws.handshake(response, self, "/ws", error);
    ASSERT_FALSE(error) << error.message() << "\n" << response;
    EXPECT_EQ(response[http::field::sec_websocket_protocol], gmcp ? "gmcp.mudstandards.org" : "");
    beast::flat_buffer buffer;
    ws.read(buffer, error);
    EXPECT_EQ(beast::buffers_to_string(buffer.data()), kWelcome);
    EXPECT_EQ(ws.got_binary(), gmcp);
    ws.binary(gmcp);
    ws.write(asio::buffer(std::string("help")), error);
    buffer.clear();
    ws.read(buffer, error);
    EXPECT_TRUE(StartsWith(beast::buffers_to_string(buffer.data()), "help\tdisplays this message"))
        << error.message();
  }
  EXPECT_TRUE(t.server.WaitForLog(" came in by web-tls over TLSv1.3 "));
}

// With the telnet port's TLS twin open and the plain port closed, the status crawlers
// read names no PORT 0, a port no listing can use.
TEST(Tls, TheStatusOfTelnetOverTlsAloneNamesNoPortZero) {
  const std::string python = e2e::Python();
  SKIP_WITHOUT(python, "python3", "PELTHOLLOW_REQUIRE_PYTHON");
  TlsServer t;
  ASSERT_TRUE(t.Ready()) << t.server.Log();
  TlsTunnel telnet(python, t.Ca(), t.telnetTlsPort);
  ASSERT_TRUE(telnet.Port()) << telnet.Output();
  Client mud(telnet.Port());
  std::string got;
  std::size_t from = 0;
  ASSERT_TRUE(e2e::ReadUntil(mud.Fd(), got, from, std::string(kWelcome) + "\r\n"))
      << telnet.Output() << got;
  mud.SendRaw(Telnet(253, 70));  // DO MSSP
  ASSERT_TRUE(e2e::ReadUntil(mud.Fd(), got, from, "\xff\xf0")) << got;
  EXPECT_EQ(got.find("\x01PORT\x02"
                     "0\x01"),
            std::string::npos)
      << got;
}

// The plain page redirects to the HTTPS twin, and HTTPS answers tell the browser to
// stay there.
TEST(Tls, ThePlainPageSendsBrowsersToHttpsAndHttpsSaysToStay) {
  const std::string python = e2e::Python();
  SKIP_WITHOUT(python, "python3", "PELTHOLLOW_REQUIRE_PYTHON");
  const int webPort = e2e::FreePort();
  TlsServer t({{"PELTHOLLOW_WEB_PORT", std::to_string(webPort)}});
  ASSERT_TRUE(t.Ready()) << t.server.Log();
  const std::string tlsOrigin = "https://127.0.0.1:" + std::to_string(t.webTlsPort);
  for (const std::string target : {"/", "/pelthollow.js?v=1", "/ws"}) {
    const auto answer = Get(webPort, target, "127.0.0.1:" + std::to_string(webPort));
    EXPECT_EQ(answer.result_int(), 308) << target;
    EXPECT_EQ(answer[http::field::location], tlsOrigin + target);
  }
  TlsTunnel web(python, t.Ca(), t.webTlsPort, "127.0.0.1", "localhost", "http/1.1");
  ASSERT_TRUE(web.Port()) << web.Output();
  const auto page = Get(web.Port(), "/", "127.0.0.1:" + std::to_string(t.webTlsPort));
  EXPECT_EQ(page.result(), http::status::ok);
  EXPECT_TRUE(StartsWith(std::string(page[http::field::strict_transport_security]), "max-age="))
      << page.base();
}

// --- A MUD client ----------------------------------------------------------------

// TinTin++ on a pseudo-terminal, with a home folder of its own (it keeps the
// certificates it has seen there); its screen output is collected as it comes.
class TinTin {
 public:
  TinTin(const std::string& program, const std::string& home) {
    winsize size{};
    size.ws_row = 40;
    size.ws_col = 120;
    pid_ = ::forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      ::setenv("TERM", "xterm", 1);
      ::setenv("HOME", home.c_str(), 1);
      ::execl(program.c_str(), program.c_str(), "-G", static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  ~TinTin() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    ::close(master_);
  }
  TinTin(const TinTin&) = delete;
  TinTin& operator=(const TinTin&) = delete;

  void Type(const std::string& keys) {
    [[maybe_unused]] const ssize_t n = ::write(master_, keys.data(), keys.size());
  }
  bool WaitForScreen(const std::string& text) {
    return e2e::ReadUntil(master_, screen_, from_, text);
  }
  const std::string& Screen() const { return screen_; }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  std::string screen_;
  std::size_t from_ = 0;
};

TEST(Tls, TinTinPlaysOverSsl) {
  const std::string program = e2e::FindProgram("tt++");
  SKIP_WITHOUT(program, "tt++", "PELTHOLLOW_REQUIRE_TINTIN");
  TlsServer t;
  ASSERT_TRUE(t.Ready()) << t.server.Log();
  e2e::TempDir home;
  TinTin tintin(program, home.Path());
  tintin.Type("#ssl pelthollow 127.0.0.1 " + std::to_string(t.telnetTlsPort) + "\r");
  ASSERT_TRUE(tintin.WaitForScreen("Welcome to Pelthollow!")) << tintin.Screen() << t.server.Log();
  tintin.Type("help\r");
  EXPECT_TRUE(tintin.WaitForScreen("takes control of an existing character")) << tintin.Screen();
  EXPECT_TRUE(t.server.WaitForLog(" came in by telnet-tls over TLSv1."));
  EXPECT_TRUE(t.server.WaitForLog(" : help\n"));
}

// --- A new certificate ----------------------------------------------------------

TEST(Tls, ANewCertificateServesNewConnectionsWhileAPlayerPlaysOn) {
  const std::string python = e2e::Python();
  SKIP_WITHOUT(python, "python3", "PELTHOLLOW_REQUIRE_PYTHON");
  TlsServer t;
  ASSERT_TRUE(t.Ready()) << t.server.Log();
  TlsTunnel tunnel(python, t.Ca(), t.tlsPort);
  ASSERT_TRUE(tunnel.Port()) << tunnel.Output();
  Client ash(tunnel.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  EXPECT_NE(tunnel.NextHandshake().find(" cn=localhost "), std::string::npos);
  ASSERT_TRUE(ash.Ask(SetupLine("Ash")));

  // As a deploy hook does it: the new pair is written beside the old and moved over it.
  const auto renewed =
      t.authority.Issue("renewed", {"renewed.localhost", "localhost", "127.0.0.1", "::1"});
  ASSERT_FALSE(renewed.certificateFile.empty());
  std::size_t mark = t.Mark();
  ASSERT_EQ(std::rename(renewed.certificateFile.c_str(), t.certificate.certificateFile.c_str()), 0);
  ASSERT_EQ(std::rename(renewed.keyFile.c_str(), t.certificate.keyFile.c_str()), 0);
  // Within a tick, or two when a tick fell between the two moves.
  ASSERT_TRUE(t.LogsSince(
      mark, "Loaded the new TLS certificate from " + t.certificate.certificateFile + ".\n", 12s))
      << t.server.Log();
  EXPECT_EQ(ash.Ask("help").value_or("").rfind("help\tdisplays this message", 0), 0u);
  {
    Client next(tunnel.Port());
    EXPECT_TRUE(next.ReadWelcome());
    EXPECT_NE(tunnel.NextHandshake().find(" cn=renewed.localhost "), std::string::npos);
  }

  // A certificate file that is no certificate: said, and the pair in use stays.
  mark = t.Mark();
  e2e::WriteFile(t.certificate.certificateFile, "-----BEGIN CERTIFICATE-----\nnot base64\n");
  EXPECT_TRUE(t.LogsSince(mark, "The new TLS certificate did not load, the old one stays: ", 12s))
      << t.server.Log();
  {
    Client next(tunnel.Port());
    EXPECT_TRUE(next.ReadWelcome());
    EXPECT_NE(tunnel.NextHandshake().find(" cn=renewed.localhost "), std::string::npos);
  }
  EXPECT_EQ(ash.Ask("say still here"), "Ash: still here ");
}

// --- Handshakes that go wrong ---------------------------------------------------

TEST(Tls, ACutOrGarbledHandshakeEndsOnlyItsOwnConnection) {
  const std::string python = e2e::Python();
  SKIP_WITHOUT(python, "python3", "PELTHOLLOW_REQUIRE_PYTHON");
  TlsServer t;
  ASSERT_TRUE(t.Ready()) << t.server.Log();
  TlsTunnel tunnel(python, t.Ca(), t.tlsPort);
  ASSERT_TRUE(tunnel.Port()) << tunnel.Output();
  Client player(tunnel.Port());
  ASSERT_TRUE(player.ReadWelcome());
  const std::string hello = ClientHello();
  ASSERT_GT(hello.size(), 100u);

  // Half a hello, then nothing: the handshake's time runs out.
  std::size_t mark = t.Mark();
  const auto silentSince = e2e::Clock::now();
  Client silent(t.tlsPort, "127.0.0.9");
  ASSERT_TRUE(silent.SendRaw(hello.substr(0, hello.size() / 2)));

  // Cut in the record's header, after it, and inside the hello, then closed.
  for (const std::size_t cut :
       {std::size_t{3}, std::size_t{5}, std::size_t{40}, hello.size() - 1}) {
    SCOPED_TRACE("cut at " + std::to_string(cut) + " of " + std::to_string(hello.size()));
    const std::size_t before = t.Mark();
    {
      Client cutShort(t.tlsPort, "127.0.0.2");
      ASSERT_TRUE(cutShort.SendRaw(hello.substr(0, cut)));
      ::shutdown(cutShort.Fd(), SHUT_WR);
      bool closed = false;
      EXPECT_EQ(ReadToEnd(cutShort.Fd(), closed), "");
      EXPECT_TRUE(closed);
    }
    EXPECT_TRUE(t.LogsSince(before, " ended: TLS: the peer left during the handshake\n"))
        << t.server.Log().substr(before);
  }

  // Not TLS at all: a frame of the game, and a plain HTTP request to the HTTPS port.
  // At most a TLS alert comes back, never the game's words.
  for (const auto& [port, bytes] :
       {std::pair{t.tlsPort, std::string("help\0", 5)},
        std::pair{t.webTlsPort, std::string("GET / HTTP/1.1\r\nHost: x\r\n\r\n")}}) {
    SCOPED_TRACE(bytes);
    const std::size_t before = t.Mark();
    Client garbage(port, "127.0.0.3");
    ASSERT_TRUE(garbage.SendRaw(bytes));
    bool closed = false;
    const std::string answer = ReadToEnd(garbage.Fd(), closed);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(answer.empty() || answer[0] == '\x15') << answer;  // 21: an alert record
    EXPECT_TRUE(t.LogsSince(before, " ended: TLS: ")) << t.server.Log().substr(before);
  }
  EXPECT_EQ(player.Ask("help").value_or("").rfind("help\tdisplays this message", 0), 0u);

  // The handshake's 10 s count from the connection, and the wait began a little after.
  bool closed = false;
  ReadToEnd(silent.Fd(), closed, 15s);
  EXPECT_TRUE(closed);
  EXPECT_GE(e2e::Clock::now() - silentSince, 9500ms);
  EXPECT_TRUE(t.LogsSince(mark, " ended: not admitted in time\n", 5s))
      << t.server.Log().substr(mark);
  // None of them became a connection of the game.
  EXPECT_EQ(t.server.Log().find("New connection from 127.0.0.9"), std::string::npos);
  EXPECT_EQ(t.server.Log().find("New connection from 127.0.0.2"), std::string::npos);
  EXPECT_EQ(t.server.Log().find("New connection from 127.0.0.3"), std::string::npos);
  EXPECT_EQ(player.Ask("help").value_or("").rfind("help\tdisplays this message", 0), 0u);
}

// --- Starts that must fail -------------------------------------------------------

TEST(Tls, ATlsPortWithoutAUsableCertificateIsAFailedStart) {
  e2e::TempDir dir;
  harness::TestAuthority authority(dir.Path());
  const auto one = authority.Issue("one");
  const auto two = authority.Issue("two");
  const std::string port = std::to_string(e2e::FreePort());
  struct Case {
    std::map<std::string, std::string> env;
    std::string says;
  };
  const std::vector<Case> cases = {
      {{{"PELTHOLLOW_TELNET_TLS_PORT", port}},
       "A TLS port needs PELTHOLLOW_TLS_CERT and PELTHOLLOW_TLS_KEY."},
      {{{"PELTHOLLOW_TLS_PORT", port},
        {"PELTHOLLOW_TLS_CERT", dir.File("none.crt")},
        {"PELTHOLLOW_TLS_KEY", one.keyFile}},
       dir.File("none.crt")},
      {{{"PELTHOLLOW_WEB_TLS_PORT", port},
        {"PELTHOLLOW_TLS_CERT", one.certificateFile},
        {"PELTHOLLOW_TLS_KEY", two.keyFile}},
       "TLS"},
  };
  for (const Case& c : cases) {
    e2e::Process::Options options;
    options.env = c.env;
    e2e::Process server(dir.Path(), e2e::FreePort(), options);
    EXPECT_EQ(e2e::Process::ExitCode(server.Wait()), 1) << server.Output();
    EXPECT_NE(server.Output().find(c.says), std::string::npos) << server.Output();
  }
}

}  // namespace
