// Reading numbers from text, the two ways the program does it: strictly (settings,
// ports, addresses, console minutes, ban times: decimal digits only, the whole text) and
// as the standard string-to-int conversion does (typed ages, save-file lines). Pure
// functions; any thread.
#pragma once

#include <charconv>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string_view>

namespace base {

// Reads `text` as a whole number from 0 to `max` written in decimal digits alone (no
// sign, no blank, nothing after). On success sets `value` and returns true; otherwise
// returns false and leaves `value` untouched.
template <std::unsigned_integral T>
bool ReadDigits(std::string_view text, T max, T& value) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos) return false;
  T number = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (ec != std::errc() || end != text.data() + text.size() || number > max) return false;
  value = number;
  return true;
}

// Reads `text` as the standard string-to-int conversion does: leading white space
// (blank, tab, line feed, vertical tab, form feed, carriage return) skipped, an
// optional sign, the decimal digits that follow; the rest is ignored ("42abc" is 42).
// nullopt when there are no digits or the value is outside the signed 32-bit range.
std::optional<std::int32_t> LeadingInt32(std::string_view text);

}  // namespace base
