// The game port's own protocol as a codec: NUL-terminated text frames both ways.
#pragma once

#include "net/frame.h"
#include "server/codec.h"

namespace server {

class FrameCodec final : public Codec {
 public:
  void Read(std::string_view bytes, CodecEvents& events, std::string& toPeer) override;
  void Write(std::string_view text, std::string& out) override;
  void Refuse(std::string_view text, std::string& out) override;

 private:
  net::FrameSplitter splitter_{net::kMaxLineBytes};
};

}  // namespace server
