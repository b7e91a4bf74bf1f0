// The program's version as the build worked it out (src/base/version.cmake): the
// `git describe` of the checkout in Debian's version syntax, or the version of
// project() in CMakeLists.txt. The package carries the same. Any thread.
#pragma once

#include <string_view>

namespace base {

// "0.2.0", or "0.2.0+3.gabc1234" three commits after the tag v0.2.0.
std::string_view Version();

}  // namespace base
