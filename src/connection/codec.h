// Codec: what a door's protocol makes of a connection's bytes. The connection layer
// moves every byte between the socket and the codec through the connection's
// transport; a codec only turns received bytes into the lines its peer typed, and the
// game's frames into the bytes its peer's protocol carries. The NUL-framed game
// protocol, telnet, HTTP with its WebSocket upgrade, the metrics page and the
// operator's console are codecs. A codec makes no system call, reads no clock, holds
// no lock and keeps its state in itself; it is used by one thread at a time (the
// holder of ConnectionLock), and everything it needs comes in as arguments.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "base/address.h"
#include "base/fields.h"

namespace connection {

// The time of a read, as the layer passes it in.
struct Moment {
  std::chrono::steady_clock::time_point monotonic{};
  std::int64_t unixSeconds = 0;  // the wall clock, for protocol dates
};

// What a codec reports while it reads. Implemented by the connection layer.
class CodecEvents {
 public:
  // One complete line for the game, at most net::kMaxLineBytes bytes.
  virtual void Line(std::string_view text) = 0;
  // A line that passed net::kMaxLineBytes: it is answered "Line too long.".
  virtual void TooLong() = 0;
  // The connection becomes a player of its door now (an HTTP connection whose
  // WebSocket upgrade was answered): it is logged and welcomed as its door says.
  // Codecs whose peer plays from the start never call it.
  virtual void Admitted() = 0;
  // The codec is done with the peer: nothing more is read, the lines already reported
  // are handled, and the connection ends once the bytes for the peer have left.
  virtual void Done() = 0;
  // Units of work besides lines (GMCP messages, HTTP requests, WebSocket control
  // frames, telnet negotiations): counted against the connection's pace as lines are,
  // so that no kind of input is free.
  virtual void Unit(std::size_t count = 1) = 0;
  // The time of this read.
  virtual const Moment& Now() const = 0;
  // The connection comes from a trusted proxy, which names the client it carries (an
  // HTTP forwarded header): the layer checks the bans and the limits for `client`, and
  // the first client named is the connection's address from then on. Returns the words
  // the client is refused with ("Your address is not allowed here."), or nothing when
  // it may go on.
  virtual std::string_view ClientIs(const base::Address& client) = 0;
  // What the codec learned of the program at the other end (telnet's TTYPE): the name
  // it gave itself, as it came (any bytes, at most 64). Reported once a connection.
  virtual void ClientNamed(std::string_view name) { (void)name; }
  // The client asked for screen-reader mode (telnet: MTTS bit 64, or Mudlet's
  // SCREEN_READER variable). Reported once a connection.
  virtual void ScreenReaderAsked() {}

 protected:
  ~CodecEvents() = default;
};

class Codec {
 public:
  virtual ~Codec() = default;

  // True when the peer plays from the moment it connects (the game port, telnet);
  // false when it must first be admitted through CodecEvents::Admitted (HTTP).
  virtual bool PlaysFromStart() const { return true; }

  // The door's name as the operator's console and the metrics show it: "game",
  // "telnet", "web", "metrics", "console".
  virtual const char* DoorName() const { return "game"; }

  // The bytes that open the connection, before the welcome (telnet's option offers).
  // Called once, when the connection can carry bytes.
  virtual void Start(std::string& toPeer) { (void)toPeer; }

  // Takes bytes received from the peer, cut anywhere. Reports lines and state changes
  // to `events`, and appends what the protocol owes the peer at once (option answers,
  // HTTP responses, a pong, a close) to `toPeer`; those bytes go out in order after
  // the output already queued and before any game output queued later.
  virtual void Read(std::string_view bytes, CodecEvents& events, std::string& toPeer) = 0;

  // True while the codec holds input it has not worked through (pipelined HTTP
  // requests, answered one a sweep): the layer calls Read again with no bytes once the
  // answers so far have left.
  virtual bool Pending() const { return false; }

  // Appends the text of one game frame (its messages joined by line feeds, no final
  // line end) to `out` as the peer's protocol carries it.
  virtual void Write(std::string_view text, std::string& out) = 0;

  // Appends the bytes that turn the connection away at once with `text` ("Too many
  // connections from your address."), before it was ever a player.
  virtual void Refuse(std::string_view text, std::string& out) = 0;

  // Whether the protocol can carry structured data at all (WantsData may say yes, now
  // or later). Fixed for the codec's life.
  virtual bool CarriesData() const { return false; }

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

  // The name the client program gave itself (CodecEvents::ClientNamed); empty when it
  // gave none.
  virtual std::string_view ClientName() const { return {}; }

  // Appends the bytes that close the connection politely when the server ends it
  // (a WebSocket close frame); nothing for protocols that simply close.
  virtual void Goodbye(std::string& out) { (void)out; }

  // An upgrade hands the connection to a new build of the server, in a new process.
  // SaveState writes the codec's whole state (what was agreed with the peer, what it
  // asked for, a half-read line or frame) as the fields of one record; RestoreState
  // reads it into a codec its door's CodecMaker has just made for the same endpoints,
  // before Start or Read. A record of an older or newer build reads as well as it can:
  // a field missing keeps its default. False when the record cannot be this codec's:
  // the connection is then ended. A codec that carries nothing says false.
  virtual void SaveState(base::FieldWriter& out) const { (void)out; }
  virtual bool RestoreState(base::FieldReader& in) {
    (void)in;
    return false;
  }
};

// What a door's codec is made from: where the connection came in.
struct Endpoints {
  base::Address local;           // the address the client reached us on
  std::uint16_t localPort = 0;
  base::Address peer;            // the address it came from (a proxy's, behind one)
  bool fromProxy = false;        // that address is a trusted proxy's (PELTHOLLOW_PROXIES)

  // Its record at an upgrade (base/field_list.h).
  template <class Io, class Self>
  static void Fields(Io& io, Self& e) {
    io.Address(1, e.local);
    io.Unsigned(2, e.localPort);
    io.Address(3, e.peer);
    io.Bool(4, e.fromProxy);
  }
};

// Makes the codec of a connection just accepted on a door.
using CodecMaker = std::function<std::unique_ptr<Codec>(const Endpoints& endpoints)>;

}  // namespace connection
