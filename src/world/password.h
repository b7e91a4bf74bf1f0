// The one place a character's password is set from its plain text, so that how it is
// kept can change here alone. REQUIRES: server::ConnectionLock held.
#pragma once

#include <string_view>

#include "world/character.h"

namespace world {

// Replaces the password of `c` with `plain`.
void SetPassword(Character& c, std::string_view plain);

}  // namespace world
