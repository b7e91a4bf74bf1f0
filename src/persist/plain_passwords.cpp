#include "persist/plain_passwords.h"

#include <cstddef>
#include <optional>
#include <string>
#include <utility>

#include "base/password.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "core/worker.h"

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

world::Character* FindByName(const world::CharacterTable& characters, const std::string& name) {
  if (world::Character* c = characters.FindStoredByName(name)) return c;
  return characters.FindInPlayByName(name);
}

}  // namespace

void StartPasswordConversion(const world::CharacterTable& characters) {
  ASSERT_CONNECTION_LOCK_HELD();
  Converting = 0;
  for (const world::Character* c : characters.CharactersToSave()) {
    if (!base::IsPasswordHash(c->password)) ++Converting;
  }
  if (Converting > 0) core::Log("Converting " + Passwords(Converting) + "\n");
}

void HashPlainPasswords(world::CharacterTable& characters) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (Hashing > 0) return;
  for (const world::Character* c : characters.CharactersToSave()) {
    if (Hashing == kBatch) return;
    if (base::IsPasswordHash(c->password)) continue;
    ++Hashing;
    const bool queued = core::RunAside(
        net::kNoSocket, core::JobOwner{}, [&characters, name = c->name, plain = c->password]() -> core::Finish {
          std::optional<std::string> hash = base::HashPassword(plain);
          return [&characters, name, plain, hash = std::move(hash)] {
            --Hashing;
            world::Character* c = FindByName(characters, name);
            if (hash && c != nullptr && c->password == plain) characters.SetStoredPassword(*c, *hash);
            // After a failed hash (no memory), the next tick tries again.
            if (Hashing == 0 && hash) HashPlainPasswords(characters);
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
