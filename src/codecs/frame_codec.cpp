#include "codecs/frame_codec.h"

#include "base/field_list.h"

namespace codecs {

void FrameCodec::Read(std::string_view bytes, connection::CodecEvents& events, std::string& /*toPeer*/) {
  splitter_.Feed(
      bytes, [&](std::string_view text) { events.Line(text); }, [&] { events.TooLong(); });
}

void FrameCodec::Write(std::string_view text, std::string& out) { net::AppendFrame(out, text); }

void FrameCodec::Refuse(std::string_view text, std::string& out) { net::AppendFrame(out, text); }

template <class Io, class Self>
void FrameCodec::Fields(Io& io, Self& s) {
  io.Record(1, s.splitter_);
}

void FrameCodec::SaveState(base::FieldWriter& out) const { base::SaveFields(out, *this); }

bool FrameCodec::RestoreState(base::FieldReader& in) { return base::LoadFields(in, *this); }

}  // namespace codecs
