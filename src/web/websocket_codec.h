// The WebSocket side of a web connection after its upgrade (RFC 6455, the server's
// end): frames are read by the codec's own FrameReader, whose state is a few fields
// that an upgrade carries, and written by wslay's frame API; messages are put together
// from them here. One per connection; like every codec it is used by one thread at a
// time, the holder of ConnectionLock.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "base/fields.h"
#include "base/utf8.h"
#include "connection/codec.h"
#include "telnet/gmcp.h"
#include "web/websocket_frames.h"

namespace web {

class WebSocketCodec {
 public:
  // Reads frames from `bytes`, cut anywhere. Each text message becomes one line, or one
  // per piece between NULs, as on the game port; a line past net::kMaxLineBytes is
  // reported TooLong, and only its first kMaxLineBytes + 1 bytes are ever held. Pings
  // are answered into `toPeer`. A close from the client is answered, and a binary
  // message (1003), text that is not UTF-8 (1007) or a frame that breaks the protocol
  // (1002) is closed; either way Done is reported and no more bytes are read.
  void Read(std::string_view bytes, connection::CodecEvents& events, std::string& toPeer);

  // Appends `text`, repaired into UTF-8 where it is not, as one text frame. Nothing
  // once a close was sent.
  void Write(std::string_view text, std::string& out);

  // Speaks the GMCP subprotocol (gmcp.mudstandards.org) from now on: game text both
  // ways in binary messages, GMCP messages ("Package.Name json") in text messages.
  void UseGmcp();
  bool WantsData(std::string_view message) const;
  void WriteData(std::string_view message, std::string& out);

  // Appends a close frame with code 1000 unless a close was sent already; nothing is
  // read or written after it.
  void Goodbye(std::string& out);

  // The subprotocol and what its client asked for, the frame and the message being
  // read, or that a close was sent, as the fields of one record (base/field_list.h).
  template <class Io, class Self>
  static void Fields(Io& io, Self& s);
  void SaveState(base::FieldWriter& out) const;
  // False when `in` holds no WebSocket side's state: parts past their limits, or a
  // frame being read that its message could not hold.
  // REQUIRES: a new codec, before any Read.
  bool RestoreState(base::FieldReader& in);

 private:
  void TakeChunk(const FrameChunk& chunk, connection::CodecEvents& events, std::string& toPeer);
  bool StartFrame(const FrameChunk& chunk, connection::CodecEvents& events, std::string& toPeer);
  void TakeText(std::string_view data, bool whole, bool last, connection::CodecEvents& events,
                std::string& toPeer);
  void TakeMessage(std::string_view message, connection::CodecEvents& events);
  void TakeControl(std::uint8_t opcode, std::string_view data, bool whole, bool last,
                   connection::CodecEvents& events, std::string& toPeer);
  void AnswerClose(std::string_view payload, connection::CodecEvents& events, std::string& toPeer);
  // Sends a close with `code` (none when 0) and reports Done.
  void Close(std::uint16_t code, std::string_view reason, connection::CodecEvents& events,
             std::string& toPeer);
  void SendClose(std::uint16_t code, std::string_view reason, std::string& out);

  FrameReader frames_;      // the frame being read; between frames, at rest
  std::string message_;     // the fragmented text message being read, at most kMaxLineBytes + 1
  std::string control_;     // a control frame's payload come in pieces, at most 125 bytes
  base::utf8::Check utf8_;  // of the text message being read
  bool inMessage_ = false;  // a text message has begun and its last frame not come
  bool closed_ = false;     // a close was sent: nothing more is read or written
  bool gmcp_ = false;       // the GMCP subprotocol was agreed
  bool binaryMessage_ = false;  // the message being read is binary (under GMCP: text)
  std::unique_ptr<telnet::GmcpClient> client_;  // what the client asked for, under GMCP
};

}  // namespace web
