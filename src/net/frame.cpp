#include "net/frame.h"

#include <utility>

#include "base/field_list.h"

namespace net {

void AppendFrame(std::string& out, std::string_view text) {
  out.append(text);
  out.push_back(kFrameEnd);
}

template <class Io, class Self>
void FrameSplitter::Fields(Io& io, Self& s) {
  io.Bytes(1, s.partial_);
  io.Bool(2, s.discarding_);
}

void FrameSplitter::SaveState(base::FieldWriter& out) const { base::SaveFields(out, *this); }

bool FrameSplitter::RestoreState(base::FieldReader& in) {
  FrameSplitter restored(maxFrameBytes_);
  // A frame being dropped keeps none of its bytes.
  if (!base::LoadFields(in, restored) || restored.partial_.size() > maxFrameBytes_ ||
      restored.partial_.find(kFrameEnd) != std::string::npos || (restored.discarding_ && !restored.partial_.empty()))
    return false;
  *this = std::move(restored);
  return true;
}

}  // namespace net
