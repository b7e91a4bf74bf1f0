#include "codecs/frame_codec.h"

namespace codecs {

void FrameCodec::Read(std::string_view bytes, connection::CodecEvents& events, std::string& /*toPeer*/) {
  splitter_.Feed(
      bytes, [&](std::string_view text) { events.Line(text); }, [&] { events.TooLong(); });
}

void FrameCodec::Write(std::string_view text, std::string& out) { net::AppendFrame(out, text); }

void FrameCodec::Refuse(std::string_view text, std::string& out) { net::AppendFrame(out, text); }

}  // namespace codecs
