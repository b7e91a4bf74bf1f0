#include "world/tick.h"

#include "server/connection_lock.h"
#include "server/outbox.h"
#include "world/clock.h"

namespace world {

void WorldTick() {
  ASSERT_CONNECTION_LOCK_HELD();
  server::FlushOutbox();
}

}  // namespace world
