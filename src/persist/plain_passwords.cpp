#include "persist/plain_passwords.h"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "base/password.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "core/worker.h"
#include "world/character.h"

namespace persist {

namespace {

// Hashes queued at a time: few, so that a login behind them waits little.
constexpr std::size_t kBatch = 4;

// Guarded by ConnectionLock.
std::size_t Hashing = 0;     // queued and not finished
std::size_t Converting = 0;  // plain passwords found at start, until all are hashed

std::string Passwords(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " plain password." : " plain passwords.");
}

world::Character* FindByName(const std::string& name) {
  if (world::Character* c = world::FindStoredByName(name)) return c;
  return world::FindInPlayByName(name);
}

}  // namespace

void StartPasswordConversion() {
  ASSERT_CONNECTION_LOCK_HELD();
  Converting = 0;
  for (const world::Character* c : world::CharactersToSave()) {
    if (!base::IsPasswordHash(c->password)) ++Converting;
  }
  if (Converting > 0) core::Log("Converting " + Passwords(Converting) + "\n");
}

void HashPlainPasswords() {
  ASSERT_CONNECTION_LOCK_HELD();
  if (Hashing > 0) return;
  for (const world::Character* c : world::CharactersToSave()) {
    if (Hashing == kBatch) return;
    if (base::IsPasswordHash(c->password)) continue;
    ++Hashing;
    const bool queued = core::RunAside(
        net::kNoSocket, core::JobOwner{}, [name = c->name, plain = c->password]() -> core::Finish {
          std::optional<std::string> hash = base::HashPassword(plain);
          return [name, plain, hash = std::move(hash)] {
            --Hashing;
            world::Character* c = FindByName(name);
            if (hash && c != nullptr && c->password == plain) world::SetStoredPassword(*c, *hash);
            // After a failed hash (no memory), the next tick tries again.
            if (Hashing == 0 && hash) HashPlainPasswords();
            return false;
          };
        });
    if (!queued) {
      --Hashing;
      return;
    }
  }
  if (Hashing == 0 && Converting > 0) {
    core::Log("Converted " + Passwords(Converting) + "\n");
    Converting = 0;
  }
}

}  // namespace persist
