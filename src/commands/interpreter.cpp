#include "commands/interpreter.h"

#include <algorithm>
#include <cassert>
#include <string_view>
#include <unordered_map>

#include "commands/handlers.h"
#include "base/utf8.h"
#include "commands/logged_line.h"
#include "net/frame.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace commands {

namespace {

// One per process, guarded by ConnectionLock: the sessions of every connection.
std::unordered_map<Socket, Session> Sessions;

}  // namespace

Context Interpreter::ContextOf(Socket connection) { return Context{*this, world_, outbox_, connection}; }

void Interpreter::HandleLine(Socket connection, const std::string& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  // The line is cut into words and into characters once: the command reads the words,
  // the log the characters too. Whether a setup line is whole decides how much of it
  // the log hides.
  const CommandLine split = SplitWords(line);
  const bool setupParses = split.command == "setup" && SetupLineParses(split);
  const std::vector<base::utf8::Character> characters = base::utf8::Characters(line);
  bool& secretNext = SessionOf(connection).secretNext;
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

void BeginSession(Socket connection, const base::Address& key, bool limited) {
  ASSERT_CONNECTION_LOCK_HELD();
  Sessions[connection] = Session{key, limited};
}

Session& SessionOf(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  return Sessions[connection];
}

const Session* FindSession(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = Sessions.find(connection);
  return it == Sessions.end() ? nullptr : &it->second;
}

bool EndRequested(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = Sessions.find(connection);
  return it != Sessions.end() && it->second.endRequested;
}

void ForgetSession(Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  Sessions.erase(connection);
}

void ForgetAllSessions() {
  ASSERT_CONNECTION_LOCK_HELD();
  Sessions.clear();
}

std::vector<std::pair<Socket, Session>> CarrySessions() {
  ASSERT_CONNECTION_LOCK_HELD();
  std::vector<std::pair<Socket, Session>> all(Sessions.begin(), Sessions.end());
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return all;
}

void AdoptSessions(const std::vector<std::pair<Socket, Session>>& sessions) {
  ASSERT_CONNECTION_LOCK_HELD();
  for (const auto& [connection, session] : sessions) Sessions[connection] = session;
}

}  // namespace commands
