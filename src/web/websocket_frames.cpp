#include "web/websocket_frames.h"

#include <algorithm>

namespace web {

namespace {

// The header's length: 2 bytes, then 2 or 8 of extended length, then 4 of mask.
std::size_t HeaderBytes(const std::array<std::uint8_t, 14>& header) {
  const std::uint8_t length = header[1] & 0x7F;
  const std::size_t extended = length == 126 ? 2 : length == 127 ? 8 : 0;
  return 2 + extended + ((header[1] & 0x80) != 0 ? 4 : 0);
}

enum Tag : std::uint32_t {
  kHeader = 1,
  kInPayload = 2,
  kFin = 3,
  kRsv = 4,
  kOpcode = 5,
  kMasked = 6,
  kLength = 7,
  kMask = 8,
  kSeen = 9,
};

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

void FrameReader::SaveState(base::FieldWriter& out) const {
  out.Bytes(kHeader, std::string_view(reinterpret_cast<const char*>(header_.data()), have_));
  out.Bool(kInPayload, inPayload_);
  if (!inPayload_) return;
  out.Bool(kFin, frame_.fin);
  out.Unsigned(kRsv, frame_.rsv);
  out.Unsigned(kOpcode, frame_.opcode);
  out.Bool(kMasked, frame_.masked);
  out.Unsigned(kLength, frame_.payloadLength);
  out.Bytes(kMask, std::string_view(reinterpret_cast<const char*>(mask_.data()), mask_.size()));
  out.Unsigned(kSeen, frame_.offset);
}

bool FrameReader::RestoreState(base::FieldReader& in) {
  *this = FrameReader();
  const std::string_view header = in.Bytes(kHeader);
  const bool inPayload = in.Bool(kInPayload);
  FrameChunk frame;
  frame.fin = in.Bool(kFin);
  const std::uint64_t rsv = in.Unsigned(kRsv);
  const std::uint64_t opcode = in.Unsigned(kOpcode);
  frame.masked = in.Bool(kMasked);
  frame.payloadLength = in.Unsigned(kLength);
  frame.offset = in.Unsigned(kSeen);
  const std::string_view mask = in.Bytes(kMask);
  if (!in.Good() || header.size() > header_.size()) return false;
  std::copy(header.begin(), header.end(), header_.begin());
  have_ = static_cast<std::uint8_t>(header.size());
  // A header still coming is shorter than it says it will be; a payload still coming
  // has some left, and a control frame's is short and whole.
  bool good = true;
  if (!inPayload) {
    good = have_ < 2 || have_ < HeaderBytes(header_);
  } else {
    frame.rsv = static_cast<std::uint8_t>(rsv);
    frame.opcode = static_cast<std::uint8_t>(opcode);
    good = rsv <= 7 && opcode <= 0xF && (!frame.masked || mask.size() == mask_.size()) &&
           frame.offset < frame.payloadLength && (frame.payloadLength >> 63) == 0 &&
           (!IsControlFrame(frame.opcode) || (frame.fin && frame.payloadLength <= 125));
  }
  if (!good) {
    *this = FrameReader();
    return false;
  }
  if (inPayload) {
    inPayload_ = true;
    frame_ = frame;
    if (frame.masked) std::copy(mask.begin(), mask.end(), mask_.begin());
  }
  return true;
}

}  // namespace web
