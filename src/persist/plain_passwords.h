// Plain passwords from a file written before passwords were hashed: they keep working,
// and the worker (core/worker.h) hashes them a few at a time in the background, so that
// soon after the first start no save holds one. The game owns the server's conversion;
// input thread or world tick, with ConnectionLock held, which guards it.
#pragma once

#include <cstddef>

#include "core/worker.h"
#include "world/character.h"

namespace persist {

class PasswordConversion {
 public:
  // Converts the passwords of `characters` on `worker`; both must outlive the
  // conversion, and with it every job it queued.
  PasswordConversion(world::CharacterTable& characters, core::Worker& worker)
      : characters_(characters), worker_(worker) {}
  PasswordConversion(const PasswordConversion&) = delete;
  PasswordConversion& operator=(const PasswordConversion&) = delete;

  // Counts the plain passwords of the world just loaded and, when there are any, logs
  // "Converting N plain passwords."; once HashSome finds none left, it logs "Converted N
  // plain passwords." with the same N. REQUIRES: ConnectionLock held; once, after the
  // load.
  void Start();

  // Queues the next few plain passwords of stored and playing characters for hashing,
  // unless some are being hashed already; as each batch is done, the next is queued,
  // until none is left. A hash replaces the plain password only if that character
  // still holds it. Does nothing while the worker's queue is full: the next call tries
  // again. Once none is left it costs nothing: every password set after the load is a
  // hash. REQUIRES: ConnectionLock held; the worker started.
  void HashSome();

 private:
  world::CharacterTable& characters_;
  core::Worker& worker_;
  // Guarded by ConnectionLock.
  std::size_t hashing_ = 0;     // queued and not finished
  // Plain passwords found at start, until all are hashed; from then on (every password
  // set after the load is a hash) the world tick walks no characters for them.
  std::size_t converting_ = 0;
};

}  // namespace persist
