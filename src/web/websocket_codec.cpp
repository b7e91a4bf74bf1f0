#include "web/websocket_codec.h"

#include <wslay/wslay.h>

#include <cassert>
#include <cstdlib>
#include <type_traits>
#include <utility>

#include "base/field_list.h"
#include "base/utf8.h"
#include "net/frame.h"

namespace web {

namespace {

// Close codes (RFC 6455 section 7.4.1).
constexpr std::uint16_t kNormal = 1000;
constexpr std::uint16_t kProtocolError = 1002;
constexpr std::uint16_t kUnsupportedData = 1003;
constexpr std::uint16_t kInvalidPayload = 1007;

// Of a message longer than the game takes, only this much is held and passed on: the
// game sees the line pass its limit and answers "Line too long.", as for any client.
constexpr std::size_t kMaxKeptBytes = net::kMaxLineBytes + 1;
// A message buffer grown past this is let go once its message is through, so an idle
// connection stays small.
constexpr std::size_t kKeptCapacity = 256;

// A control frame's payload is at most this long (RFC 6455 section 5.5).
constexpr std::size_t kMaxControlBytes = 125;

// The codes a peer may close with: those RFC 6455 defines for use, those IANA has
// registered since (1012 to 1014), and the ranges for libraries and applications.
bool CloseCodeValid(std::uint16_t code) {
  return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
         (code >= 3000 && code <= 4999);
}

wslay_frame_context_ptr NewContext(const wslay_frame_callbacks& callbacks, void* user) {
  wslay_frame_context_ptr context = nullptr;
  // Out of memory: as when any allocation fails, the process ends.
  if (wslay_frame_context_init(&context, &callbacks, user) != 0) std::abort();
  return context;
}

// Where a frame being written goes: a sending context's callback takes every byte it
// is given, so each frame is whole when wslay_frame_send returns.
ssize_t Send(const std::uint8_t* data, std::size_t length, int, void* user) {
  static_cast<std::string*>(user)->append(reinterpret_cast<const char*>(data), length);
  return static_cast<ssize_t>(length);
}

// Appends one whole, unmasked frame. A sending context carries a 4 KiB buffer it never
// uses for sending, too much to keep for each idle connection: it lives for one frame.
// REQUIRES: a control frame's payload is at most 125 bytes.
void AppendFrame(std::uint8_t opcode, std::string_view payload, std::string& out) {
  const wslay_frame_callbacks callbacks{Send, nullptr, nullptr};
  wslay_frame_context_ptr context = NewContext(callbacks, &out);
  wslay_frame_iocb frame{};
  frame.fin = 1;
  frame.opcode = opcode;
  frame.payload_length = payload.size();
  frame.data = reinterpret_cast<const std::uint8_t*>(payload.data());
  frame.data_length = payload.size();
  [[maybe_unused]] const ssize_t sent = wslay_frame_send(context, &frame);
  assert(sent == static_cast<ssize_t>(payload.size()));
  wslay_frame_context_free(context);
}

// As on the game port, where a NUL ends a line: a message holding NULs is one line per
// piece, and an empty message is an empty line.
void ReportLines(std::string_view text, connection::CodecEvents& events) {
  for (;;) {
    const std::size_t end = text.find(net::kFrameEnd);
    const std::string_view line = text.substr(0, end);
    if (line.size() > net::kMaxLineBytes) {
      events.TooLong();
    } else {
      events.Line(line);
    }
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

}  // namespace

void WebSocketCodec::Read(std::string_view bytes, connection::CodecEvents& events,
                          std::string& toPeer) {
  std::string scratch;  // the unmasked piece of the frame being read
  while (!closed_) {
    FrameChunk chunk;
    const FrameReader::Result result = frames_.Next(bytes, chunk, scratch);
    if (result == FrameReader::Result::NeedMore) return;
    if (result == FrameReader::Result::Bad) {
      Close(kProtocolError, {}, events, toPeer);  // a length not in its shortest form, a
      return;                                     // long or fragmented control frame
    }
    TakeChunk(chunk, events, toPeer);
  }
}

void WebSocketCodec::TakeChunk(const FrameChunk& chunk, connection::CodecEvents& events,
                               std::string& toPeer) {
  if (chunk.offset == 0 && !StartFrame(chunk, events, toPeer)) return;
  // The frame's whole payload is in this one chunk.
  const bool whole = chunk.offset == 0 && chunk.data.size() == chunk.payloadLength;
  const bool last = chunk.offset + chunk.data.size() == chunk.payloadLength;
  if (IsControlFrame(chunk.opcode)) {
    TakeControl(chunk.opcode, chunk.data, whole, last, events, toPeer);
  } else {
    const bool messageWhole = whole && chunk.fin && chunk.opcode != kContinuationFrame;
    TakeText(chunk.data, messageWhole, last && chunk.fin, events, toPeer);
  }
}

// Checks the header of a frame that begins, as the parts of RFC 6455 that the frame
// reader leaves to its user ask. Returns false when it closed the connection.
bool WebSocketCodec::StartFrame(const FrameChunk& chunk, connection::CodecEvents& events,
                                std::string& toPeer) {
  bool good = chunk.masked && chunk.rsv == 0;  // no extension is agreed
  switch (chunk.opcode) {
    case kContinuationFrame:
      good = good && inMessage_;
      break;
    case kTextFrame:
      good = good && !inMessage_;
      inMessage_ = true;
      binaryMessage_ = false;
      break;
    case kBinaryFrame:
      if (gmcp_) {  // game text, as the GMCP subprotocol carries it
        good = good && !inMessage_;
        inMessage_ = true;
        binaryMessage_ = true;
        break;
      }
      if (good && !inMessage_) {
        Close(kUnsupportedData, "Only text messages are accepted.", events, toPeer);
        return false;
      }
      good = false;
      break;
    case kCloseFrame:
    case kPingFrame:
    case kPongFrame:
      break;
    default:
      good = false;
  }
  if (!good) Close(kProtocolError, {}, events, toPeer);
  return good;
}

// `whole`: `data` is the whole message; `last`: its last frame ends with `data`.
void WebSocketCodec::TakeText(std::string_view data, bool whole, bool last,
                              connection::CodecEvents& events, std::string& toPeer) {
  if (!utf8_.Feed(data) || (last && !utf8_.Whole())) {
    Close(kInvalidPayload, {}, events, toPeer);
    return;
  }
  if (whole) {
    TakeMessage(data.substr(0, kMaxKeptBytes), events);
  } else {
    message_.append(data.substr(0, kMaxKeptBytes - message_.size()));
    if (!last) return;
    TakeMessage(message_, events);
    if (message_.capacity() > kKeptCapacity) std::string().swap(message_);
    message_.clear();
  }
  utf8_ = {};
  inMessage_ = false;
}

// A whole message: lines of the game, or under the GMCP subprotocol a text message
// that is a GMCP message from the client.
void WebSocketCodec::TakeMessage(std::string_view message, connection::CodecEvents& events) {
  if (!gmcp_ || binaryMessage_) {
    ReportLines(message, events);
  } else {
    events.Unit();
    if (message.size() <= telnet::kMaxGmcpBytes) client_->Take(message);
  }
}

void WebSocketCodec::UseGmcp() {
  gmcp_ = true;
  client_ = std::make_unique<telnet::GmcpClient>();
}

bool WebSocketCodec::WantsData(std::string_view message) const {
  if (!gmcp_ || closed_) return false;
  // The subprotocol is the client's request for data: until it lists packages, all.
  return !client_->Listed() || client_->Wants(message.substr(0, message.find(' ')));
}

void WebSocketCodec::WriteData(std::string_view message, std::string& out) {
  if (!closed_) AppendFrame(WSLAY_TEXT_FRAME, message, out);
}

void WebSocketCodec::TakeControl(std::uint8_t opcode, std::string_view data, bool whole, bool last,
                                 connection::CodecEvents& events, std::string& toPeer) {
  std::string_view payload = data;
  if (!whole) {
    control_.append(data);  // the reader has checked the frame's length: at most 125 bytes
    if (!last) return;
    payload = control_;
  }
  events.Unit();
  if (opcode == kPingFrame) {
    AppendFrame(WSLAY_PONG, payload, toPeer);
  } else if (opcode == kCloseFrame) {
    AnswerClose(payload, events, toPeer);
  }
  std::string().swap(control_);
}

// Echoes the client's code, or sends none when it gave none (RFC 6455 section 5.5.1).
void WebSocketCodec::AnswerClose(std::string_view payload, connection::CodecEvents& events,
                                 std::string& toPeer) {
  std::uint16_t code = 0;
  if (payload.size() == 1) {
    code = kProtocolError;
  } else if (payload.size() >= 2) {
    code = static_cast<std::uint16_t>(static_cast<std::uint8_t>(payload[0]) << 8 |
                                      static_cast<std::uint8_t>(payload[1]));
    if (!CloseCodeValid(code) || !base::utf8::IsValid(payload.substr(2))) code = kProtocolError;
  }
  Close(code, {}, events, toPeer);
}

void WebSocketCodec::Close(std::uint16_t code, std::string_view reason, connection::CodecEvents& events,
                           std::string& toPeer) {
  SendClose(code, reason, toPeer);
  events.Done();
}

void WebSocketCodec::SendClose(std::uint16_t code, std::string_view reason, std::string& out) {
  closed_ = true;
  char payload[125];
  std::size_t size = 0;
  if (code != 0) {
    payload[0] = static_cast<char>(code >> 8);
    payload[1] = static_cast<char>(code & 0xFF);
    size = 2 + reason.copy(payload + 2, sizeof payload - 2);
  }
  AppendFrame(WSLAY_CONNECTION_CLOSE, std::string_view(payload, size), out);
}

void WebSocketCodec::Write(std::string_view text, std::string& out) {
  if (closed_) return;
  const std::uint8_t opcode = gmcp_ ? WSLAY_BINARY_FRAME : WSLAY_TEXT_FRAME;
  if (base::utf8::IsValid(text)) {
    AppendFrame(opcode, text, out);
  } else {
    AppendFrame(opcode, base::utf8::Repair(text), out);
  }
}

void WebSocketCodec::Goodbye(std::string& out) {
  if (!closed_) SendClose(kNormal, {}, out);
}

template <class Io, class Self>
void WebSocketCodec::Fields(Io& io, Self& s) {
  io.Bool(1, s.closed_);
  if (s.closed_) return;  // nothing more is read or written
  io.Bool(2, s.gmcp_);
  if (s.gmcp_) io.Record(3, s.client_);
  io.Record(4, s.frames_);
  io.Bool(5, s.inMessage_);
  io.Bool(6, s.binaryMessage_);
  io.Bytes(7, s.message_);
  // The start of a character cut at the end of the last frame: a new check fed it
  // stands where the old one did.
  std::string held(s.utf8_.Held());
  io.Bytes(8, held);
  if constexpr (!std::is_const_v<Self>) {  // reading
    if (held.size() > 3 || !s.utf8_.Feed(held) || s.utf8_.Held() != held) io.Fail();
  }
  io.Bytes(9, s.control_);
}

void WebSocketCodec::SaveState(base::FieldWriter& out) const { base::SaveFields(out, *this); }

bool WebSocketCodec::RestoreState(base::FieldReader& in) {
  if (!base::LoadFields(in, *this)) return false;
  if (closed_) return true;
  if (message_.size() > kMaxKeptBytes || control_.size() > kMaxControlBytes) return false;
  // What is held of a message belongs to one that began. A frame whose payload has
  // begun to come passed StartFrame's checks and belongs to that message, or is a
  // control frame whose payload so far is in control_.
  if ((!message_.empty() || !utf8_.Held().empty()) && !inMessage_) return false;
  if (binaryMessage_ && !gmcp_) return false;
  const FrameChunk* frame = frames_.InPayload();
  if (frame == nullptr || frame->offset == 0) return control_.empty();
  const std::uint8_t op = frame->opcode;
  return frame->masked && frame->rsv == 0 &&
         (IsControlFrame(op) ? (op == kCloseFrame || op == kPingFrame || op == kPongFrame) &&
                                   control_.size() == frame->offset
                             : control_.empty() && inMessage_ &&
                                   (op == kContinuationFrame || (op == kTextFrame && !binaryMessage_) ||
                                    (op == kBinaryFrame && binaryMessage_)));
}

}  // namespace web
