// The web client's door as a browser sees it: HTTP for the page, a WebSocket for the
// game, against the real binary with PELTHOLLOW_WEB_PORT set.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <filesystem>
#include <memory>
#include <vector>
#include <optional>
#include <string>
#include <thread>

#include "e2e_support.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using e2e::Server;

constexpr const char* kWelcome = "Welcome to Pelthollow! Type \"help\" for a list of commands.";

// Connects a blocking socket that gives up on a read after e2e::kTimeout, from
// `from` (any loopback address: each is an address of its own to the server).
bool ConnectWithTimeout(tcp::socket& socket, int port, const char* from = "127.0.0.1") {
  beast::error_code error;
  socket.open(tcp::v4(), error);
  if (!error) socket.bind(tcp::endpoint(asio::ip::make_address_v4(from), 0), error);
  if (!error) {
    socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)),
                   error);
  }
  if (error) return false;
  timeval limit{static_cast<long>(e2e::kTimeout.count()), 0};
  ::setsockopt(socket.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return true;
}

// Sends one HTTP/1.1 request on `socket`; the response, or a 0 status on failure.
http::response<http::string_body> RequestOn(tcp::socket& socket, int port, http::verb verb,
                                            const std::string& target, const std::string& origin = "") {
  http::response<http::string_body> response;
  http::request<http::empty_body> request(verb, target, 11);
  request.set(http::field::host, "127.0.0.1:" + std::to_string(port));
  if (!origin.empty()) {
    request.set(http::field::origin, origin);
    request.set(http::field::connection, "Upgrade");
    request.set(http::field::upgrade, "websocket");
    request.set(http::field::sec_websocket_version, "13");
    request.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
  }
  beast::error_code error;
  http::write(socket, request, error);
  beast::flat_buffer buffer;
  if (!error) http::read(socket, buffer, response, error);
  return response;
}

// One HTTP/1.1 request on a new connection; the response, or a 0 status on failure.
http::response<http::string_body> Request(int port, http::verb verb, const std::string& target,
                                          const std::string& origin = "") {
  asio::io_context io;
  tcp::socket socket(io);
  if (!ConnectWithTimeout(socket, port)) return {};
  return RequestOn(socket, port, verb, target, origin);
}

// The descriptors the process `pid` holds now.
int Descriptors(pid_t pid) {
  int count = 0;
  for ([[maybe_unused]] const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    ++count;
  }
  return count;
}

// What the descriptors of `pid` are, for a failure's message.
std::string DescriptorNames(pid_t pid) {
  std::string names;
  for (const auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
    std::error_code error;
    names += entry.path().filename().string() + " " +
             std::filesystem::read_symlink(entry.path(), error).string() + "\n";
  }
  return names;
}

// Waits until `pid` holds `expected` descriptors, and gives the count it saw last.
int DescriptorsOnceSettled(pid_t pid, int expected) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  int count = Descriptors(pid);
  while (count != expected && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    count = Descriptors(pid);
  }
  return count;
}

// A browser's WebSocket to the game.
class Browser {
 public:
  explicit Browser(int port, const std::string& origin = "") : ws_(io_) {
    if (!ConnectWithTimeout(ws_.next_layer(), port)) return;
    ws_.set_option(websocket::stream_base::decorator([origin](websocket::request_type& request) {
      if (!origin.empty()) request.set(http::field::origin, origin);
    }));
    beast::error_code error;
    ws_.handshake("127.0.0.1:" + std::to_string(port), "/ws", error);
    open_ = !error;
  }

  bool Open() const { return open_; }
  int Fd() { return ws_.next_layer().native_handle(); }

  bool Send(const std::string& text, bool binary = false) {
    ws_.binary(binary);
    beast::error_code error;
    ws_.write(asio::buffer(text), error);
    return !error;
  }

  // The next text message, or nullopt when the connection ends or nothing comes in time.
  std::optional<std::string> Next() {
    beast::flat_buffer buffer;
    beast::error_code error;
    bool done = false;
    ws_.async_read(buffer, [&](beast::error_code e, std::size_t) {
      error = e;
      done = true;
    });
    io_.restart();
    io_.run_for(std::chrono::seconds(10));
    if (!done) {  // nothing came in time: the read is called off, and the test fails
      ws_.next_layer().cancel();
      io_.restart();
      io_.run();
      return std::nullopt;
    }
    if (error) return std::nullopt;
    return beast::buffers_to_string(buffer.data());
  }

  std::optional<std::string> WaitFor(const std::string& text) {
    for (;;) {
      auto message = Next();
      if (!message || message->find(text) != std::string::npos) return message;
    }
  }

  // Reads until the server closes; the close code it gave, or -1.
  int CloseCode() {
    while (Next()) {
    }
    return ws_.reason().code == websocket::close_code::none ? -1 : static_cast<int>(ws_.reason().code);
  }

 private:
  asio::io_context io_;
  websocket::stream<tcp::socket> ws_;
  bool open_ = false;
};

// A server with its web client on a free port.
struct WebServer {
  explicit WebServer(const std::string& origins = "")
      : webPort(e2e::FreePort()), server(Options(webPort, origins)) {}
  static e2e::Process::Options Options(int webPort, const std::string& origins) {
    e2e::Process::Options options;
    options.env["PELTHOLLOW_WEB_PORT"] = std::to_string(webPort);
    if (!origins.empty()) options.env["PELTHOLLOW_WEB_ORIGINS"] = origins;
    return options;
  }
  bool Ready() { return server.Ready() && server.WaitForLog("Web client on port "); }
  int webPort;
  Server server;
};

TEST(WebClient, ServesThePageAndOnlyThePage) {
  WebServer web("http://friends.example");
  ASSERT_TRUE(web.Ready()) << web.server.Log();
  const std::string log = web.server.Log();  // what was loaded may stand between them
  EXPECT_LT(log.find("Listening on port " + std::to_string(web.server.Port()) + ".\n"),
            log.find("\nWeb client on port " + std::to_string(web.webPort) + ".\n"));
  const auto page = Request(web.webPort, http::verb::get, "/");
  EXPECT_EQ(page.result(), http::status::ok);
  EXPECT_EQ(page["Content-Security-Policy"], "default-src 'self'");
  EXPECT_NE(page.body().find("id=\"output\""), std::string::npos);
  EXPECT_EQ(Request(web.webPort, http::verb::get, "/pelthollow.js").result(), http::status::ok);
  EXPECT_EQ(Request(web.webPort, http::verb::get, "/secret").result(), http::status::not_found);
  EXPECT_EQ(Request(web.webPort, http::verb::post, "/").result(), http::status::method_not_allowed);

  // Another site's page may not open the game; the page's own origin and listed ones may.
  const std::string self = "http://127.0.0.1:" + std::to_string(web.webPort);
  EXPECT_EQ(Request(web.webPort, http::verb::get, "/ws", "http://evil.example").result(),
            http::status::forbidden);
  EXPECT_TRUE(Browser(web.webPort, self).Open());
  EXPECT_TRUE(Browser(web.webPort, "http://friends.example").Open());
}

TEST(WebClient, ABrowserAndATerminalPlayerHearEachOther) {
  WebServer web;
  ASSERT_TRUE(web.Ready()) << web.server.Log();
  Browser browser(web.webPort);
  ASSERT_TRUE(browser.Open());
  EXPECT_EQ(browser.Next(), kWelcome);
  ASSERT_TRUE(web.server.WaitForLog("New connection from 127.0.0.1 ("));
  ASSERT_TRUE(browser.Send("help"));
  EXPECT_EQ(browser.Next(),
            "help\tdisplays this message\nsetup\tcreates a character\n"
            "login\ttakes control of an existing character on the server");
  browser.Send("setup Willow pw she/her 9 warrior moss \" lean tabby \" - -");
  ASSERT_TRUE(browser.WaitFor("Character created. Entering game..."));

  e2e::Client terminal(web.server.Port());
  ASSERT_TRUE(terminal.ReadWelcome());
  terminal.Send("setup Bramble pw he/him 30 warrior moss \" brown tom \" - -");
  ASSERT_TRUE(terminal.WaitForFrame("Character created."));
  terminal.Send("say hello and \xFF bytes");  // not UTF-8: refused, heard by nobody
  EXPECT_TRUE(terminal.WaitForFrame("Your client sent text that is not UTF-8; set its encoding to UTF-8."));
  terminal.Send("say hello \xF0\x9F\x90\x88");
  EXPECT_EQ(browser.WaitFor("Bramble: "), "Bramble: hello \xF0\x9F\x90\x88 ");
  browser.Send("say hi Bramble");
  EXPECT_TRUE(terminal.WaitForFrame("Willow: hi Bramble"));
}

TEST(WebClient, BadInputGetsAClearAnswer) {
  WebServer web;
  ASSERT_TRUE(web.Ready()) << web.server.Log();
  {
    Browser browser(web.webPort);
    ASSERT_EQ(browser.Next(), kWelcome);
    for (const std::size_t length : {4097, 1000000}) {
      ASSERT_TRUE(browser.Send(std::string(length, 'x')));
      EXPECT_EQ(browser.Next(), "Line too long.");
    }
    ASSERT_TRUE(browser.Send("help general"));
    EXPECT_TRUE(browser.Next());  // still served
  }
  {
    Browser browser(web.webPort);
    ASSERT_EQ(browser.Next(), kWelcome);
    ASSERT_TRUE(browser.Send("help", true));
    EXPECT_EQ(browser.CloseCode(), 1003);
  }
  {
    Browser browser(web.webPort);
    ASSERT_EQ(browser.Next(), kWelcome) << web.server.Log();
    ASSERT_TRUE(browser.Send("help"));
    ASSERT_TRUE(browser.Send("say \xC3("));
    EXPECT_EQ(browser.CloseCode(), 1007);
    EXPECT_TRUE(web.server.WaitForLog(" : help\n"));  // what came before still counted
  }

  e2e::TempDir dir;
  e2e::Process::Options options;
  options.env["PELTHOLLOW_WEB_PORT"] = "80a";
  e2e::Process bad(dir.Path(), e2e::FreePort(), options);
  EXPECT_EQ(e2e::Process::ExitCode(bad.Wait()), 1);
  EXPECT_EQ(bad.Output(), "Invalid PELTHOLLOW_WEB_PORT: 80a\n");
}

TEST(WebClient, ABrowserThatStopsReadingIsEndedWhileOthersAreServed) {
  WebServer web;
  // The console's socket opens after the doors: counted once it is there.
  ASSERT_TRUE(web.Ready() && web.server.WaitForLog("Console at ")) << web.server.Log();
  const int idle = Descriptors(web.server.Proc().Pid());
  Browser greedy(web.webPort);
  ASSERT_EQ(greedy.Next(), kWelcome);
  // Asks and asks and never reads the answers: the game's output limits end it.
  // Many masked text frames (a zero mask key) written at once, so the flood is quick
  // even in a sanitizer build.
  const std::string line = "help general";
  std::string frame = {'\x81', static_cast<char>(0x80 | line.size()), 0, 0, 0, 0};
  frame += line;
  std::string burst;
  for (int i = 0; i < 200; ++i) burst += frame;
  std::atomic<bool> stop{false};
  std::thread flood([&] {
    for (int i = 0; i < 2000 && !stop; ++i) {
      if (::send(greedy.Fd(), burst.data(), burst.size(), MSG_NOSIGNAL) <= 0) break;
    }
  });
  e2e::Client polite(web.server.Port());
  ASSERT_TRUE(polite.ReadWelcome());
  for (int i = 0; i < 20; ++i) EXPECT_TRUE(polite.Ask("help"));
  EXPECT_TRUE(web.server.WaitForLog(" disconnected\n", std::chrono::seconds(30)));
  stop = true;
  ::shutdown(greedy.Fd(), SHUT_RDWR);  // its blocked write, if any, fails now
  flood.join();
  Browser next(web.webPort);
  EXPECT_EQ(next.Next(), kWelcome);
  // The ended browser left nothing behind: one descriptor per client, the polite one
  // and the new one.
  EXPECT_EQ(DescriptorsOnceSettled(web.server.Proc().Pid(), idle + 2), idle + 2)
      << DescriptorNames(web.server.Proc().Pid());
}

TEST(WebClient, OneAddressCannotKeepAnotherFromThePage) {
  e2e::Process::Options options = WebServer::Options(e2e::FreePort(), "");
  const int webPort = std::stoi(options.env["PELTHOLLOW_WEB_PORT"]);
  options.env["PELTHOLLOW_TRUSTED"] = "none";
  options.env["PELTHOLLOW_MAX_CONNECTIONS"] = "8";
  Server server(options);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Web client on port ")) << server.Log();
  // Keep-alive connections of one address count against it like any other.
  asio::io_context io;
  std::vector<std::unique_ptr<tcp::socket>> held;
  for (int i = 0; i < 8; ++i) {
    held.push_back(std::make_unique<tcp::socket>(io));
    ASSERT_TRUE(ConnectWithTimeout(*held.back(), webPort, "127.0.0.2"));
    EXPECT_EQ(RequestOn(*held.back(), webPort, http::verb::get, "/").result(), http::status::ok);
  }
  tcp::socket refused(io);
  ASSERT_TRUE(ConnectWithTimeout(refused, webPort, "127.0.0.2"));
  const auto answer = RequestOn(refused, webPort, http::verb::get, "/");
  EXPECT_EQ(answer.result(), http::status::service_unavailable);
  EXPECT_EQ(answer.body(), "Too many connections from your address.\n");
  // Another address loads the page and plays.
  tcp::socket other(io);
  ASSERT_TRUE(ConnectWithTimeout(other, webPort, "127.0.0.3"));
  EXPECT_EQ(RequestOn(other, webPort, http::verb::get, "/").result(), http::status::ok);
}

}  // namespace
