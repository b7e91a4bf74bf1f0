// Structured data beside the game's text (GMCP): a telnet client that agrees to the
// option and lists its packages, and a browser that asks for the subprotocol, are told
// who they are, where they stand, who is with them, what they heard and what they
// queued; the game port is told none of it.
#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <string>

#include "e2e_support.h"

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

std::string Gmcp(const std::string& message) { return "\xff\xfa\xc9" + message + "\xff\xf0"; }

// Reads from `fd` until what came holds `text`, wherever it stands in what came.
bool ReadUntil(int fd, std::string& received, const std::string& text,
               std::chrono::milliseconds timeout = e2e::kTimeout) {
  std::size_t from = 0;
  return e2e::ReadUntil(fd, received, from, text, timeout);
}

TEST(Gmcp, ATelnetClientIsToldWhereItIsWhatItHeardAndWhatItQueued) {
  const int telnetPort = e2e::FreePort();
  const int webPort = e2e::FreePort();
  e2e::Process::Options options;
  options.env["PELTHOLLOW_TELNET_PORT"] = std::to_string(telnetPort);
  options.env["PELTHOLLOW_WEB_PORT"] = std::to_string(webPort);
  e2e::Server server(options);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Telnet port ")) << server.Log();
  e2e::Client telnet(telnetPort);
  std::string got;
  ASSERT_TRUE(ReadUntil(telnet.Fd(), got, "\xff\xfb\xc9"));  // WILL GMCP
  telnet.SendRaw("\xff\xfd\xc9" + Gmcp(R"(Core.Hello {"client":"Mudlet","version":"4.17"})") +
                 Gmcp(R"(Core.Supports.Set ["Char 1","Room 1","Comm 1"])"));
  EXPECT_TRUE(ReadUntil(telnet.Fd(), got,
                        Gmcp(R"(Client.GUI {"url":"http://127.0.0.1:)" + std::to_string(webPort) +
                             R"(/mudlet/pelthollow.mpackage","version":"1"})")))
      << got;
  telnet.SendRaw("setup Ash pw she 12 warrior emberfold \" a grey cat \" x y\r\n");
  EXPECT_TRUE(ReadUntil(telnet.Fd(), got, Gmcp(R"(Char.Name {"name":"Ash"})"))) << got;
  EXPECT_TRUE(ReadUntil(telnet.Fd(), got, R"(Char.Status {"age":12,"clan":"Emberfold","pronouns":"she","role":"warrior")")) << got;
  EXPECT_TRUE(ReadUntil(telnet.Fd(), got, R"("rightFrontLegMax":)")) << got;
  EXPECT_TRUE(ReadUntil(telnet.Fd(), got, R"(Room.Players [{"clan":"Emberfold","name":"Ash"}])")) << got;
  const std::size_t info = got.find("Room.Info ");
  ASSERT_NE(info, std::string::npos) << got;
  const std::size_t y = got.find("\"y\":", info);
  ASSERT_NE(y, std::string::npos);
  const int row = std::stoi(got.substr(y + 4));

  // The game port's player on the same cell speaks: the telnet client hears it as data.
  e2e::Client game(server.Port());
  ASSERT_TRUE(game.ReadWelcome());
  ASSERT_TRUE(game.Ask("setup Birch pw he 12 warrior emberfold \" a brown cat \" x y"));
  EXPECT_TRUE(ReadUntil(telnet.Fd(), got, R"({"clan":"Emberfold","name":"Birch"}])")) << got;
  game.Send("say hi there");
  EXPECT_TRUE(ReadUntil(telnet.Fd(), got,
                        Gmcp(R"(Comm.Channel.Text {"channel":"say","talker":"Birch","text":"hi there"})")))
      << got;
  telnet.SendRaw("north\r\n");
  EXPECT_TRUE(ReadUntil(telnet.Fd(), got, Gmcp(R"(Char.Queue {"steps":1})"))) << got;
  got.clear();
  // The next tick takes the step: a new Room.Info one row up, and the queue empty.
  const std::string moved = R"("y":)" + std::to_string(row - 1) + "}";
  EXPECT_TRUE(ReadUntil(telnet.Fd(), got, Gmcp(R"(Char.Queue {"steps":0})"), 8s)) << got;
  EXPECT_NE(got.find(moved), std::string::npos) << got;
  // The game port got text only.
  EXPECT_EQ(game.Ask("help").value_or("").find("Room."), std::string::npos);
}

TEST(Gmcp, ABrowserWithTheSubprotocolGetsTextAsBinaryAndDataAsText) {
  const int webPort = e2e::FreePort();
  e2e::Process::Options options;
  options.env["PELTHOLLOW_WEB_PORT"] = std::to_string(webPort);
  e2e::Server server(options);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Web client on port ")) << server.Log();
  asio::io_context io;
  websocket::stream<tcp::socket> ws(io);
  beast::error_code error;
  ws.next_layer().connect(tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(webPort)), error);
  ASSERT_FALSE(error);
  ws.set_option(websocket::stream_base::decorator([](websocket::request_type& request) {
    request.set(beast::http::field::sec_websocket_protocol, "chat, gmcp.mudstandards.org");
  }));
  websocket::response_type response;
  ws.handshake(response, "127.0.0.1", "/ws", error);
  ASSERT_FALSE(error) << error.message();
  EXPECT_EQ(response[beast::http::field::sec_websocket_protocol], "gmcp.mudstandards.org");
  auto next = [&](bool& binary) {
    beast::flat_buffer buffer;
    ws.read(buffer, error);
    binary = ws.got_binary();
    return error ? std::string() : beast::buffers_to_string(buffer.data());
  };
  bool binary = false;
  EXPECT_EQ(next(binary), "Welcome to Pelthollow! Type \"help\" for a list of commands.");
  EXPECT_TRUE(binary);
  ws.text(true);
  ws.write(asio::buffer(std::string(R"(Core.Supports.Set ["Room 1"])")), error);
  ws.binary(true);
  ws.write(asio::buffer(std::string("setup Ash pw she 12 warrior emberfold \" a grey cat \" x y")), error);
  EXPECT_EQ(next(binary).rfind("Character created. Entering game...\n", 0), 0u);
  EXPECT_TRUE(binary);
  const std::string info = next(binary);
  EXPECT_FALSE(binary);
  EXPECT_EQ(info.rfind(R"(Room.Info {"area":"Emberfold","coords":{"x":)", 0), 0u) << info;
  EXPECT_EQ(next(binary).rfind("Room.Players [", 0), 0u);  // Char was not listed
}

}  // namespace
