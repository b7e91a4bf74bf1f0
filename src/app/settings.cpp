#include "app/settings.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

namespace app {

namespace {

// The value of `name`, or nullptr when it is unset.
const char* Setting(const char* name) { return std::getenv(name); }

bool Invalid(const char* name, std::string_view value, std::string& message) {
  message = std::string("Invalid ") + name + ": " + std::string(value) + "\n";
  return false;
}

// A limit: decimal digits only, 0 for no limit. Unset keeps `limit` as it is.
bool ReadLimit(const char* name, unsigned& limit, std::string& message) {
  const char* value = Setting(name);
  if (value == nullptr) return true;
  const std::string_view text(value);
  unsigned number = 0;
  if (text.empty() || text.find_first_not_of("0123456789") != std::string_view::npos)
    return Invalid(name, text, message);
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
  if (ec != std::errc() || end != text.data() + text.size()) return Invalid(name, text, message);
  limit = number;
  return true;
}

}  // namespace

bool ReadServerSettings(server::ServerOptions& options, std::string& message) {
  server::AddressLimits& limits = options.limits;
  if (const char* trusted = Setting("PELTHOLLOW_TRUSTED")) {
    if (!server::ParseAddressBlocks(trusted, limits.trusted))
      return Invalid("PELTHOLLOW_TRUSTED", trusted, message);
  }
  return ReadLimit("PELTHOLLOW_MAX_CONNECTIONS", limits.maxConnections, message) &&
         ReadLimit("PELTHOLLOW_MAX_FAILED_LOGINS", limits.maxFailedLogins, message) &&
         ReadLimit("PELTHOLLOW_MAX_NEW_CHARACTERS", limits.maxNewCharacters, message) &&
         ReadLimit("PELTHOLLOW_MAX_LINES_PER_SECOND", limits.maxLinesPerSecond, message);
}

}  // namespace app
