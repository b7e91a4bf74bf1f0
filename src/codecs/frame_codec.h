// The game port's own protocol as a codec: NUL-terminated text frames both ways. The
// only codec that puts the NUL after a frame's text.
#pragma once

#include "connection/codec.h"
#include "net/frame.h"

namespace codecs {

class FrameCodec final : public connection::Codec {
 public:
  void Read(std::string_view bytes, connection::CodecEvents& events, std::string& toPeer) override;
  void Write(std::string_view text, std::string& out) override;
  void Refuse(std::string_view text, std::string& out) override;
  // The splitter's unfinished frame (base/field_list.h).
  template <class Io, class Self>
  static void Fields(Io& io, Self& s);
  void SaveState(base::FieldWriter& out) const override;
  bool RestoreState(base::FieldReader& in) override;

 private:
  net::FrameSplitter splitter_{net::kMaxLineBytes};
};

}  // namespace codecs
