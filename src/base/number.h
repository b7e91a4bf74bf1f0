// Reading numbers from text, the one way the program does it everywhere (typed ages,
// save-file lines). Pure functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace base {

// Reads `text` as the standard string-to-int conversion does: leading white space
// (blank, tab, line feed, vertical tab, form feed, carriage return) skipped, an
// optional sign, the decimal digits that follow; the rest is ignored ("42abc" is 42).
// nullopt when there are no digits or the value is outside the signed 32-bit range.
std::optional<std::int32_t> LeadingInt32(std::string_view text);

}  // namespace base
