#include "commands/interpreter.h"

#include <cassert>
#include <string_view>

#include "base/utf8.h"
#include "commands/handlers.h"
#include "commands/logged_line.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "net/frame.h"

namespace commands {

Context Interpreter::ContextOf(core::Socket connection) {
  return Context{*this, world_, outbox_, worker_, bans_, connection};
}

void Interpreter::HandleLine(core::Socket connection, const std::string& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  // The line is cut into words and into characters once: the command reads the words,
  // the log the characters too. Whether a setup line is whole decides how much of it
  // the log hides.
  const CommandLine split = SplitWords(line);
  const bool setupParses = split.command == "setup" && SetupLineParses(split);
  const std::vector<base::utf8::Character> characters = base::utf8::Characters(line);
  bool& secretNext = sessions.Of(connection).secretNext;
  const LoggedLine logged = LogLine(line, split, characters, setupParses, secretNext);
  secretNext = logged.maskNext;
  core::LogTyped(std::to_string(static_cast<unsigned>(connection)) + " : ", line, characters, logged.shown);
  // Every door and every command alike: text in another encoding would reach the
  // other players garbled, and a name in it could never be typed again.
  if (base::utf8::IsValid(line)) {
    Dispatch(ContextOf(connection), split);
  } else {
    outbox_.Queue(connection, kNotUtf8);
  }
  outbox_.Flush();
}

world::Character& Actor(const Context& context) {
  ASSERT_CONNECTION_LOCK_HELD();
  world::Character* c = context.world.characters.CharacterOf(context.connection);
  assert(c != nullptr);
  return *c;
}

void Interpreter::Forget(core::Socket connection) {
  sessions.Forget(connection);
  allowances.ForgetSpeech(connection);
}

}  // namespace commands
