// screenreader: a player turns screen-reader mode on or off for its own connection,
// and the game turns it on when the client asks (world/screen_reader.h).
#include "commands/handlers.h"
#include "commands/interpreter.h"
#include "core/connection_lock.h"

namespace commands {

namespace {

constexpr const char* kScreenReaderOn = "Screen reader mode on.";
constexpr const char* kScreenReaderOff = "Screen reader mode off.";

}  // namespace

void ScreenReader(const Context& context, const CommandLine&) {
  ASSERT_CONNECTION_LOCK_HELD();
  world::ScreenReaders& modes = context.world.screenReaders;
  const bool on = !modes.On(context.connection);
  modes.Set(context.connection, on);
  context.Answer(on ? kScreenReaderOn : kScreenReaderOff);
}

void Interpreter::ScreenReaderAsked(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (world_.screenReaders.On(connection)) return;
  world_.screenReaders.Set(connection, true);
  outbox_.Queue(connection, kScreenReaderOn);
  outbox_.Flush();
}

}  // namespace commands
