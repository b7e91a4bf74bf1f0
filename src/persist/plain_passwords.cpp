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

std::string Passwords(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " plain password." : " plain passwords.");
}

world::Character* FindByName(const world::CharacterTable& characters, const std::string& name) {
  if (world::Character* c = characters.FindStoredByName(name)) return c;
  return characters.FindInPlayByName(name);
}

}  // namespace

void PasswordConversion::Start() {
  ASSERT_CONNECTION_LOCK_HELD();
  converting_ = 0;
  for (const world::Character* c : characters_.CharactersToSave()) {
    if (!base::IsPasswordHash(c->password.Text())) ++converting_;
  }
  if (converting_ > 0) core::Log("Converting " + Passwords(converting_) + "\n");
}

void PasswordConversion::HashSome() {
  ASSERT_CONNECTION_LOCK_HELD();
  if (hashing_ > 0 || converting_ == 0) return;
  for (const world::Character* c : characters_.CharactersToSave()) {
    if (hashing_ == kBatch) return;
    if (base::IsPasswordHash(c->password.Text())) continue;
    ++hashing_;
    const bool queued =
        worker_.RunAside(core::kNoSocket, core::JobOwner{},
                         [this, name = c->name, plain = c->password.Text()](core::PasswordHasher& hasher) -> core::Completion {
                           std::optional<std::string> hash = hasher.Hash(plain);
                           return [this, name, plain, hash = std::move(hash)] {
                             --hashing_;
                             world::Character* c = FindByName(characters_, name);
                             if (hash && c != nullptr && c->password == plain)
                               characters_.SetStoredPassword(*c, *hash);
                             // After a failed hash (no memory, or the hasher's helper ended),
                             // the next tick tries again.
                             if (hashing_ == 0 && hash) HashSome();
                             return false;
                           };
                         });
    if (!queued) {
      --hashing_;
      return;
    }
  }
  if (hashing_ == 0) {
    core::Log("Converted " + Passwords(converting_) + "\n");
    converting_ = 0;
  }
}

}  // namespace persist
