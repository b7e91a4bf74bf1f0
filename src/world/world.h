// The world of a running server: its character tables, its clock, the connections in
// screen-reader mode, and whether a new character could be kept now. The server makes
// one at start (server/running.h) and hands it to whatever reads or changes it; a test
// makes a fresh one. Everything in it is guarded by ConnectionLock but `keeping`,
// which any thread may ask.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "world/character.h"
#include "world/clock.h"
#include "world/screen_reader.h"

namespace world {

// Whether a new character (or a new password) could be kept now: false while the
// world's saves fail or its disk is nearly full, so that no promise is made that a
// crash would break. Each Now asks the check the saver gives (the room left on the
// disk this moment, and whether the newest save failed), besides the flag the tick and
// the saver set; without a check, the flag alone.
class Keeping {
 public:
  // Any thread.
  void Set(bool kept) { kept_.store(kept, std::memory_order_relaxed); }
  // REQUIRES: no other thread asks meanwhile (before the server's threads start).
  void SetCheck(std::function<bool()> keptNow) { keptNow_ = std::move(keptNow); }
  // Any thread, once the check is set.
  bool Now() const { return kept_.load(std::memory_order_relaxed) && (!keptNow_ || keptNow_()); }

 private:
  std::atomic<bool> kept_{true};
  std::function<bool()> keptNow_;
};

struct World {
  CharacterTable characters;
  GameClockState clock;
  ScreenReaders screenReaders;
  Keeping keeping;

  // The tables and the clock as an upgrade carries them. REQUIRES: ConnectionLock held.
  CarriedWorld Carry() const;
  // Fills the empty tables and the clock from `carried`, telling no client anything.
  // Empty when it worked; otherwise what makes it no world the tables can hold (as
  // CharacterTable::Adopt), the tables left empty and the clock as it was.
  // REQUIRES: ConnectionLock held; the tables empty.
  std::string Adopt(const CarriedWorld& carried);
};

}  // namespace world
