#include "bench_websocket.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace bench {
namespace {

// A server frame: unmasked, final, with the given opcode.
std::string ServerFrame(int opcode, const std::string& payload) {
  std::string client;
  AppendWebSocketText(client, payload);  // masked with a zero key: the payload is as is
  std::string frame = client;
  frame[0] = static_cast<char>(0x80 | opcode);
  frame[1] = static_cast<char>(frame[1] & 0x7F);
  const std::size_t header = client.size() - payload.size() - 4;
  frame.erase(header, 4);  // no mask key
  return frame;
}

TEST(WebSocketFrames, EveryPrefixWaitsAndTheWholeGivesTheMessages) {
  const std::string upgrade = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\n\r\n";
  const std::string small = "Welcome";
  const std::string large(300, 'x');  // a 16-bit length
  // A long message in fragments, a ping between them: a text frame that is not the
  // last, then continuation frames.
  std::string first = ServerFrame(0x1, "in ");
  first[0] = 0x01;
  std::string middle = ServerFrame(0x0, "three ");
  middle[0] = 0x00;
  const std::string stream = upgrade + ServerFrame(0x9, "") + ServerFrame(0x1, small) + ServerFrame(0x1, large) +
                             first + ServerFrame(0x9, "") + middle + ServerFrame(0x0, "parts");
  for (std::size_t cut = 0; cut < stream.size(); ++cut) {
    std::string buffer = stream.substr(0, cut);
    bool upgraded = false;
    WsFragments fragments;
    std::string text;
    std::vector<std::string> messages;
    for (WsTake t; (t = TakeWebSocketResponse(buffer, upgraded, fragments, text)) != WsTake::Incomplete;) {
      ASSERT_NE(t, WsTake::Bad) << cut;
      if (t == WsTake::Text) messages.push_back(text);
    }
    buffer += stream.substr(cut);
    for (WsTake t; (t = TakeWebSocketResponse(buffer, upgraded, fragments, text)) != WsTake::Incomplete;) {
      ASSERT_NE(t, WsTake::Bad) << cut;
      if (t == WsTake::Text) messages.push_back(text);
    }
    EXPECT_EQ(messages, (std::vector<std::string>{small, large, "in three parts"})) << cut;
    EXPECT_TRUE(buffer.empty());
  }
  std::string refused = "HTTP/1.1 403 Forbidden\r\n\r\n";
  bool upgraded = false;
  WsFragments fragments;
  std::string text;
  EXPECT_EQ(TakeWebSocketResponse(refused, upgraded, fragments, text), WsTake::Bad);
}

}  // namespace
}  // namespace bench
