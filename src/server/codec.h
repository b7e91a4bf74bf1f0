// Codec: what a door's protocol makes of a connection's bytes. The connection layer
// reads and writes every socket itself; a codec only turns received bytes into the
// lines a player typed, and the game's frames into the bytes its peer's protocol
// carries. The NUL-framed game protocol, telnet and HTTP with its WebSocket upgrade
// are codecs. A codec does no I/O, holds no lock and is used by one thread at a time
// (the holder of ConnectionLock).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "net/socket.h"

namespace server {

// What a codec reports while it reads. Implemented by the connection layer.
class CodecEvents {
 public:
  // One complete line for the game, at most net::kMaxLineBytes bytes.
  virtual void Line(std::string_view text) = 0;
  // A line that passed net::kMaxLineBytes: the game answers "Line too long.".
  virtual void TooLong() = 0;
  // The connection becomes a player of the game now (an HTTP connection whose
  // WebSocket upgrade was answered): it is logged and welcomed. Codecs whose peer
  // plays from the start never call it.
  virtual void Admitted() = 0;
  // The codec is done with the peer: nothing more is read, the lines already reported
  // are handled, and the connection ends once the bytes for the peer have left. Output
  // the game sends afterwards is not wanted (Write appends nothing).
  virtual void Finished() = 0;

 protected:
  ~CodecEvents() = default;
};

class Codec {
 public:
  virtual ~Codec() = default;

  // True when the peer plays from the moment it connects (the game port, telnet);
  // false when it must first be admitted through CodecEvents::Admitted (HTTP).
  virtual bool PlaysFromStart() const { return true; }

  // The door's name as the operator's console shows it: "game", "telnet", "web".
  virtual const char* DoorName() const { return "game"; }

  // The bytes that open the connection, before the welcome (telnet's option offers).
  // Called once, when the connection is taken in.
  virtual void Start(std::string& toPeer) { (void)toPeer; }

  // Takes bytes received from the peer, cut anywhere. Reports lines and state changes
  // to `events`, and appends what the protocol owes the peer at once (option answers,
  // HTTP responses, a pong, a close) to `toPeer`; those bytes go out in order after
  // the output already queued and before any game output queued later.
  virtual void Read(std::string_view bytes, CodecEvents& events, std::string& toPeer) = 0;

  // Appends the text of one game frame (its messages joined by line feeds, without the
  // NUL) to `out` as the peer's protocol carries it.
  virtual void Write(std::string_view text, std::string& out) = 0;

  // Appends the bytes that turn the connection away at once with `text` ("Too many
  // connections from your address."), before it was ever a player.
  virtual void Refuse(std::string_view text, std::string& out) = 0;

  // Whether the peer asked for structured data of `message`'s package (GMCP: a
  // message "Room.Info" belongs to "Room"). The game makes no data for peers that
  // would drop it.
  virtual bool WantsData(std::string_view message) const {
    (void)message;
    return false;
  }

  // Appends one structured message ("Package.Name json") to `out` as the protocol
  // carries it. Called only for messages WantsData accepted.
  virtual void WriteData(std::string_view message, std::string& out) {
    (void)message;
    (void)out;
  }

  // Appends the bytes that close the connection politely when the server ends it
  // (a WebSocket close frame); nothing for protocols that simply close.
  virtual void Finish(std::string& out) { (void)out; }
};

// Makes the codec of a connection just accepted on a door; `socket` is the accepted
// socket, for codecs that name the address they were reached on.
using CodecMaker = std::function<std::unique_ptr<Codec>(net::Socket socket)>;

}  // namespace server
