// screenreader: a player turns screen-reader mode on or off for its own connection,
// and the game turns it on when the client asks (world/screen_reader.h).
#include "commands/handlers.h"
#include "commands/interpreter.h"
#include "core/connection_lock.h"
#include "core/outbox.h"
#include "world/screen_reader.h"

namespace commands {

namespace {

constexpr const char* kScreenReaderOn = "Screen reader mode on.";
constexpr const char* kScreenReaderOff = "Screen reader mode off.";

}  // namespace

void ScreenReader(Socket connection, const CommandLine&) {
  ASSERT_CONNECTION_LOCK_HELD();
  const bool on = !world::ScreenReaderOn(connection);
  world::SetScreenReader(connection, on);
  core::QueueMessage(connection, on ? kScreenReaderOn : kScreenReaderOff);
}

void ScreenReaderAsked(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (world::ScreenReaderOn(connection)) return;
  world::SetScreenReader(connection, true);
  core::QueueMessage(connection, kScreenReaderOn);
  core::FlushOutbox();
}

}  // namespace commands
