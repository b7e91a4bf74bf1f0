// Runs arbitrary lines through the command interpreter of a small world: four
// connections, a world tick every few lines. Each input line starts with one byte that
// picks the connection; the tables' invariants are checked after every line.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

#include "commands/interpreter.h"
#include "core/connection_lock.h"
#include "core/outbox.h"
#include "world/telling.h"
#include "world/tick.h"
#include "world/world.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The interpreter logs every line; the fuzzer's output should stay readable.
  const int null = ::open("/dev/null", O_WRONLY);
  ::dup2(null, STDOUT_FILENO);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::lock_guard<core::FairLock> guard(core::ConnectionLock);
  world::World world;
  core::Outbox outbox;
  core::Worker worker;  // never started: a password is hashed at once
  connection::BanList bans;
  commands::Interpreter interpreter(world, outbox, worker, bans);
  std::string_view input(reinterpret_cast<const char*>(data), size);
  int lines = 0;
  while (!input.empty()) {
    const std::size_t end = input.find('\n');
    std::string_view line = input.substr(0, end);
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
    if (line.empty()) continue;
    const core::Socket connection = 4 + static_cast<unsigned char>(line[0]) % 4;
    line.remove_prefix(1);
    if (line.find('\0') != std::string_view::npos) continue;  // a frame never holds a NUL
    interpreter.HandleLine(connection, std::string(line));
    if (interpreter.sessions.EndRequested(connection)) {
      world::TellChange(world, outbox, world.characters.LeavePlay(connection));
      interpreter.Forget(connection);
    }
    if (++lines % 3 == 0) world::WorldTick(world, outbox);
    if (!world.characters.Consistent()) std::abort();
  }
  outbox.TakeQueued();
  return 0;
}
