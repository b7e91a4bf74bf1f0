// Reading WebSocket frames (RFC 6455 section 5.2) as a server does: a sans-I/O reader
// of a frame's header and then its payload, unmasked, a piece at a time, however the
// stream is cut. Its state is a few plain fields, which a server upgrading to a new
// build writes out and reads back (SaveState, RestoreState). One per connection; no I/O.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/fields.h"

namespace web {

// The opcodes of RFC 6455 section 11.8.
inline constexpr std::uint8_t kContinuationFrame = 0x0;
inline constexpr std::uint8_t kTextFrame = 0x1;
inline constexpr std::uint8_t kBinaryFrame = 0x2;
inline constexpr std::uint8_t kCloseFrame = 0x8;
inline constexpr std::uint8_t kPingFrame = 0x9;
inline constexpr std::uint8_t kPongFrame = 0xA;

inline bool IsControlFrame(std::uint8_t opcode) { return (opcode & 0x8) != 0; }

// One piece of a frame: its header's fields and some of its payload, unmasked.
struct FrameChunk {
  bool fin = false;
  std::uint8_t rsv = 0;  // the three reserved bits, as a number from 0 to 7
  std::uint8_t opcode = 0;
  bool masked = false;
  std::uint64_t payloadLength = 0;  // of the whole frame
  std::uint64_t offset = 0;         // of `data` in the payload: the bytes of it before
  std::string_view data;            // the next piece of its payload
};

class FrameReader {
 public:
  enum class Result {
    Chunk,     // `chunk` holds the next piece of a frame (the whole of an empty one)
    NeedMore,  // every byte was taken; the frame goes on in the next bytes
    Bad,       // the frame breaks the protocol: a length not in its shortest form or
               // past 2^63, a control frame longer than 125 bytes or fragmented
  };

  // Takes bytes from the front of `bytes` and reports the next piece of a frame; the
  // unmasked payload is written to `scratch`, which `chunk.data` then views.
  Result Next(std::string_view& bytes, FrameChunk& chunk, std::string& scratch);

  // True between frames: nothing of a next frame has come yet.
  bool AtRest() const { return have_ == 0 && !inPayload_; }

  // The frame whose payload is being read, its `offset` the payload bytes read so far
  // and its `data` empty; nullptr between frames and within a header.
  const FrameChunk* InPayload() const { return inPayload_ ? &frame_ : nullptr; }

  // Its record (base/field_list.h).
  template <class Io, class Self>
  static void Fields(Io& io, Self& s);
  void SaveState(base::FieldWriter& out) const;
  // False, leaving the reader at rest, when `in` does not hold a reader's state.
  bool RestoreState(base::FieldReader& in);

 private:
  std::array<std::uint8_t, 14> header_{};  // the header's bytes so far
  std::uint8_t have_ = 0;                  // of them
  bool inPayload_ = false;
  FrameChunk frame_;  // the frame whose payload is being read; `offset`: what came of it
  std::array<std::uint8_t, 4> mask_{};
};

}  // namespace web
