#include "base/number.h"

#include <charconv>

namespace base {

std::optional<std::int32_t> LeadingInt32(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  // from_chars takes a minus sign but not a plus sign; a plus must be followed by a
  // digit, or "+-5" would read as -5.
  if (at < text.size() && text[at] == '+') {
    ++at;
    if (at == text.size() || text[at] < '0' || text[at] > '9') return std::nullopt;
  }
  std::int32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data() + at, text.data() + text.size(), value);
  if (ec != std::errc()) return std::nullopt;
  return value;
}

}  // namespace base
