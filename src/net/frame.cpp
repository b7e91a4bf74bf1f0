#include "net/frame.h"

namespace net {

void AppendFrame(std::string& out, std::string_view text) {
  out.append(text);
  out.push_back(kFrameEnd);
}

}  // namespace net
