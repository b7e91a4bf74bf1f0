// Plain passwords from a file written before passwords were hashed: they keep working,
// and the worker (server/worker.h) hashes them a few at a time in the background, so
// that soon after the first start no save holds one. Input thread or world tick, with
// ConnectionLock held.
#pragma once

#include "world/character.h"

namespace persist {

// Counts the plain passwords of the world just loaded and, when there are any, logs
// "Converting N plain passwords."; once HashPlainPasswords finds none left, it logs
// "Converted N plain passwords." with the same N. REQUIRES: ConnectionLock held; once,
// after the load.
void StartPasswordConversion(const world::CharacterTable& characters);

// Queues the next few plain passwords of stored and playing characters for hashing,
// unless some are being hashed already; as each batch is done, the next is queued,
// until none is left. A hash replaces the plain password only if that character still
// holds it. Does nothing while the worker's queue is full: the next call tries again.
// REQUIRES: ConnectionLock held; the worker started.
void HashPlainPasswords(world::CharacterTable& characters);

}  // namespace persist
