// The WebSocket side of the web scenario's players (RFC 6455, client role): the
// upgrade request, a line as a masked text frame, and the server's frames taken from a
// byte buffer. Only what the game's web client sends is understood: text messages,
// whole or in fragments (a long one comes in several), pings and a close. Pure
// functions; any thread.
#pragma once

#include <string>
#include <string_view>

namespace bench {

// The HTTP request that opens the game's WebSocket on 127.0.0.1:port; with `gmcp`, it
// asks for the GMCP subprotocol, under which game text travels in binary messages and
// structured data in text messages.
std::string WebSocketUpgrade(int port, bool gmcp = false);

// Appends `text` as one masked text frame (the mask key is zero: the masking is the
// protocol's, not a secret of the load generator's).
void AppendWebSocketText(std::string& out, std::string_view text, bool binary = false);

enum class WsTake {
  Incomplete,  // more bytes are needed
  Text,        // one text message was taken into `text`
  Other,       // a frame that is not a text message (ping, pong) was taken and dropped
  Close,       // the server closed the WebSocket
  Bad,         // not a frame the server would send
};

// The start of a text message that comes in fragments, until its last one.
struct WsFragments {
  bool open = false;
  std::string text;
};

// Takes the upgrade response (when `upgraded` is false) or the next frame from the
// front of `buffer`; `fragments` is kept with the buffer.
// With `gmcp`, the game's text is the binary messages and text messages (data) are
// taken as Other.
WsTake TakeWebSocketResponse(std::string& buffer, bool& upgraded, WsFragments& fragments,
                             std::string& text, bool gmcp = false);

}  // namespace bench
