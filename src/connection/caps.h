// The caps of the whole server and the byte budgets of its clients: what no client, nor
// all of them together, can make the server hold or do. Plain records; the connection
// layer keeps them (connection_layer.h).
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace connection {

struct Caps {
  // All unsent output and all waiting input together (PELTHOLLOW_MAX_MEMORY): above it,
  // the connections with the largest backlogs are ended first.
  std::size_t maxBufferedBytes = std::size_t{256} << 20;
  // Live connections, and the sockets still closing; 0 until the server sets it below
  // its descriptor limit, leaving room for the save, the log and the listeners.
  std::size_t maxConnections = 0;
  // A connection of the game that has not entered play this long after it connected is
  // ended (PELTHOLLOW_LOGIN_SECONDS); zero: no limit.
  std::chrono::seconds loginWithin{60};
  // What a connection held to the limits may send, and all connections of one address
  // together, in bytes a second; bursts of twice as much. Over it, the layer stops
  // reading until the budget refills, and the kernel's window slows the sender.
  std::size_t connectionBytesPerSecond = 64 * 1024;
  std::size_t addressBytesPerSecond = 256 * 1024;
  // Bytes of speech one cell of the map may be told a second, whoever speaks, bursts of
  // twice that (PELTHOLLOW_MAX_CELL_SPEECH, in KiB); zero: no limit. Below what a player
  // who reads 32 KiB a second takes in, even with speech told twice, as text and as GMCP.
  std::size_t cellSpeechBytesPerSecond = 8 * 1024;
};

// Descriptors kept free for what is not a connection: the save's temporary file, the
// log, the listeners, the worker's and the saver's files, an upgrade's, and the
// console's connections, which are taken out of them even when every other connection
// the caps allow is open: the operator can always come in to ban an attack.
inline constexpr std::size_t kReservedDescriptors = 64;
// The console's connections at once, of those kept back: a local user who opens more
// cannot eat the rest.
inline constexpr std::size_t kConsoleConnections = 16;
static_assert(kConsoleConnections <= kReservedDescriptors / 2);

using ByteClock = std::chrono::steady_clock;

// A byte budget: a token bucket of `rate` bytes a second holding at most twice that,
// as the time it would be full again. Bytes taken past it are a debt, paid before more
// may come.
class ByteBudget {
 public:
  // Counts `bytes` read at `now`.
  void Spend(std::size_t rate, std::size_t bytes, ByteClock::time_point now) {
    if (rate == 0) return;
    const auto burst = std::chrono::seconds(2);
    if (full_ < now - burst) full_ = now - burst;
    full_ += std::chrono::duration_cast<ByteClock::duration>(std::chrono::duration<double>(
        static_cast<double>(bytes) / static_cast<double>(rate)));
  }
  // When more may be read: `now` or earlier when there is room.
  ByteClock::time_point ReadyAt(std::size_t rate, ByteClock::time_point now) const {
    if (rate == 0 || full_ <= now) return now;
    return full_;
  }

  // Its whole state, for an upgrade; in the record of its key, the field after the
  // key's (base/field_list.h).
  ByteClock::time_point Full() const { return full_; }
  void SetFull(ByteClock::time_point full) { full_ = full; }
  template <class Io, class Self>
  static void Fields(Io& io, Self& b) {
    io.Time(2, b.full_);
  }

 private:
  ByteClock::time_point full_{};  // when the bucket is empty of debt; earlier: room
};

}  // namespace connection
