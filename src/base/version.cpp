#include "base/version.h"

// Generated into the build folder; the only file that includes it, so a new version
// recompiles this one alone.
#include "base/build_version.h"

namespace base {

std::string_view Version() {
  return PELTHOLLOW_VERSION;
}

}  // namespace base
