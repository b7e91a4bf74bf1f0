#include "codecs/frame_codec.h"

#include <cstdint>

namespace codecs {

namespace {

enum Tag : std::uint32_t {
  kSplitter = 1,
};

}  // namespace

void FrameCodec::Read(std::string_view bytes, connection::CodecEvents& events, std::string& /*toPeer*/) {
  splitter_.Feed(
      bytes, [&](std::string_view text) { events.Line(text); }, [&] { events.TooLong(); });
}

void FrameCodec::Write(std::string_view text, std::string& out) { net::AppendFrame(out, text); }

void FrameCodec::Refuse(std::string_view text, std::string& out) { net::AppendFrame(out, text); }

void FrameCodec::SaveState(base::FieldWriter& out) const {
  base::FieldWriter splitter;
  splitter_.SaveState(splitter);
  out.Record(kSplitter, splitter);
}

bool FrameCodec::RestoreState(base::FieldReader& in) {
  base::FieldReader splitter = in.Record(kSplitter);
  return splitter_.RestoreState(splitter) && in.Good();
}

}  // namespace codecs
