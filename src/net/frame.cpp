#include "net/frame.h"

#include <cstdint>

namespace net {

namespace {

enum Tag : std::uint32_t {
  kPartial = 1,
  kDiscarding = 2,
};

}  // namespace

void AppendFrame(std::string& out, std::string_view text) {
  out.append(text);
  out.push_back(kFrameEnd);
}

void FrameSplitter::SaveState(base::FieldWriter& out) const {
  out.Bytes(kPartial, partial_);
  out.Bool(kDiscarding, discarding_);
}

bool FrameSplitter::RestoreState(base::FieldReader& in) {
  const std::string_view partial = in.Bytes(kPartial);
  const bool discarding = in.Bool(kDiscarding);
  // A frame being dropped keeps none of its bytes.
  if (!in.Good() || partial.size() > maxFrameBytes_ ||
      partial.find(kFrameEnd) != std::string_view::npos || (discarding && !partial.empty()))
    return false;
  partial_.assign(partial);
  discarding_ = discarding;
  return true;
}

}  // namespace net
