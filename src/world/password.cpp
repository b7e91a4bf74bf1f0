#include "world/password.h"

#include "server/connection_lock.h"

namespace world {

void SetPassword(Character& c, std::string_view plain) {
  ASSERT_CONNECTION_LOCK_HELD();
  c.password = std::string(plain);  // kept as typed, as the save file holds it today
}

}  // namespace world
