#include "web/websocket_frames.h"

#include <algorithm>

#include "base/field_list.h"

namespace web {

namespace {

// The header's length: 2 bytes, then 2 or 8 of extended length, then 4 of mask.
std::size_t HeaderBytes(const std::array<std::uint8_t, 14>& header) {
  const std::uint8_t length = header[1] & 0x7F;
  const std::size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
  return 2 + extended + ((header[1] & 0x80) != 0 ? 4 : 0);
}

}  // namespace

FrameReader::Result FrameReader::Next(std::string_view& bytes, FrameChunk& chunk, std::string& scratch) {
  while (!inPayload_) {
    const std::size_t wanted = have_ < 2 ? 2 : HeaderBytes(header_);
    if (have_ == wanted) {
      frame_ = {};
      frame_.fin = (header_[0] & 0x80) != 0;
      frame_.rsv = static_cast<std::uint8_t>((header_[0] >> 4) & 0x7);
      frame_.opcode = header_[0] & 0x0F;
      frame_.masked = (header_[1] & 0x80) != 0;
      const std::uint8_t length = header_[1] & 0x7F;
      std::size_t at = 2;
      if (length == 126) {
        frame_.payloadLength = static_cast<std::uint64_t>(header_[2]) << 8 | header_[3];
        at = 4;
        if (frame_.payloadLength < 126) return Result::Bad;
      } else if (length == 127) {
        for (std::size_t i = 0; i < 8; ++i) frame_.payloadLength = frame_.payloadLength << 8 | header_[2 + i];
        at = 10;
        if (frame_.payloadLength < 65536 || (frame_.payloadLength >> 63) != 0) return Result::Bad;
      } else {
        frame_.payloadLength = length;
      }
      if (IsControlFrame(frame_.opcode) && (frame_.payloadLength > 125 || !frame_.fin)) return Result::Bad;
      if (frame_.masked) std::copy_n(header_.begin() + static_cast<std::ptrdiff_t>(at), 4, mask_.begin());
      inPayload_ = true;
      break;
    }
    if (bytes.empty()) return Result::NeedMore;
    const std::size_t n = std::min(wanted - have_, bytes.size());
    std::copy_n(bytes.begin(), n, header_.begin() + have_);
    have_ = static_cast<std::uint8_t>(have_ + n);
    bytes.remove_prefix(n);
  }
  const std::uint64_t left = frame_.payloadLength - frame_.offset;
  if (left > 0 && bytes.empty()) return Result::NeedMore;
  const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, bytes.size()));
  scratch.assign(bytes.substr(0, n));
  if (frame_.masked) {
    for (std::size_t i = 0; i < n; ++i)
      scratch[i] = static_cast<char>(scratch[i] ^ mask_[(frame_.offset + i) % 4]);
  }
  bytes.remove_prefix(n);
  chunk = frame_;
  chunk.data = scratch;
  frame_.offset += n;
  if (frame_.offset == frame_.payloadLength) {
    inPayload_ = false;
    have_ = 0;
  }
  return Result::Chunk;
}

template <class Io, class Self>
void FrameReader::Fields(Io& io, Self& s) {
  io.Bytes(1, s.header_, s.have_);
  io.Bool(2, s.inPayload_);
  if (!s.inPayload_) return;
  io.Bool(3, s.frame_.fin);
  io.Unsigned(4, s.frame_.rsv, std::uint8_t{7});
  io.Unsigned(5, s.frame_.opcode, std::uint8_t{0xF});
  io.Bool(6, s.frame_.masked);
  io.Unsigned(7, s.frame_.payloadLength);
  io.Bytes(8, s.mask_);
  io.Unsigned(9, s.frame_.offset);
}

void FrameReader::SaveState(base::FieldWriter& out) const { base::SaveFields(out, *this); }

bool FrameReader::RestoreState(base::FieldReader& in) {
  FrameReader restored;
  const FrameChunk& frame = restored.frame_;
  // A header still coming is shorter than it says it will be; a payload still coming
  // has some left, and a control frame's is short and whole.
  const bool good = base::LoadFields(in, restored) &&
                    (restored.inPayload_ ? frame.offset < frame.payloadLength && (frame.payloadLength >> 63) == 0 &&
                                               (!IsControlFrame(frame.opcode) || (frame.fin && frame.payloadLength <= 125))
                                         : restored.have_ < 2 || restored.have_ < HeaderBytes(restored.header_));
  *this = good ? restored : FrameReader();
  return good;
}

}  // namespace web
