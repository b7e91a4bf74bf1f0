// password OLD NEW: a player in play changes its character's password. The old one is
// checked and the new one hashed on the worker, as login and setup do, so the game does
// not wait for either; a wrong old one counts as a failed login.

#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "commands/allowances.h"
#include "commands/handlers.h"
#include "commands/interpreter.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "core/worker.h"

namespace commands {

namespace {

constexpr const char* kPasswordFormat = "format: password old new";

// What the worker found, for the input thread.
struct PasswordCheck {
  std::string name;     // the character's, when the line came
  std::string checked;  // the stored password the old one was checked against
  bool matches = false;
  bool failed = false;  // the check could not be made (the hasher's helper ended or hung)
  std::optional<std::string> hash;  // of the new one, when the old one matched
};

// "11 changed the password of Ashpaw." or "11 password change of Ashpaw refused: <why>.",
// a warning.
void LogChange(core::Socket connection, std::string_view name, std::string_view refusal) {
  const std::string who = std::to_string(static_cast<unsigned>(connection));
  const std::string of = core::EscapeForLog(name);
  if (refusal.empty()) {
    core::Log(who + " changed the password of " + of + ".\n");
  } else {
    core::Log(who + " password change of " + of + " refused: " + std::string(refusal) + ".\n",
              core::LogPriority::Warning);
  }
}

// The rest of the change, on the input thread. The connection's lines waited for this
// answer, so its character is still the one checked: a character leaves play only with
// its connection, and the answer to a connection that ended is never run (nothing was
// promised to it, and the old password stays). Returns true when the connection should
// end (its third wrong password).
bool FinishChange(const Context& context, const PasswordCheck& check) {
  ASSERT_CONNECTION_LOCK_HELD();
  world::Character* c = context.world.characters.CharacterOf(context.connection);
  if (c == nullptr || c->name != check.name) {
    context.Answer(kNotValidNow);
    return false;
  }
  if (check.failed) {  // nothing counted: the server failed, not the old password
    context.Answer(kBusy);
    return false;
  }
  if (!check.matches) {
    context.Answer(kIncorrectPassword);
    LogChange(context.connection, check.name, CountWrongPassword(context));
    return context.interpreter.sessions.EndRequested(context.connection);
  }
  // The operator set another password meanwhile, or the one from an older file was
  // hashed: the old word was checked against what is no longer there. Asked again, it
  // is checked against what is.
  if (!check.hash || c->password != check.checked) {
    context.Answer(kBusy);
    return false;
  }
  // "Password changed." is a promise that the next crash must not break.
  if (!context.world.keeping.Now()) {
    context.Answer(kCannotBeSaved);
    LogChange(context.connection, check.name, "the world cannot be saved");
    return false;
  }
  context.world.characters.SetStoredPassword(*c, *check.hash);  // a change: on disk within a tick
  context.Answer("Password changed.");
  LogChange(context.connection, check.name, {});
  return false;
}

}  // namespace

bool PasswordLineParses(const CommandLine& line) {
  return line.ArgCount() >= 2 && !line.Arg(0).empty() && !line.Arg(1).empty();
}

void Password(const Context& context, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  // The old password must not be a way round the address's limit on guesses.
  if (context.interpreter.allowances.LoginRefused(context.connection))
    return context.Answer(kTooManyFailedLogins);
  // An empty word (blanks run together) is a missing one: an empty password set by a
  // slip of the thumb could hardly be typed again.
  if (!PasswordLineParses(line)) return context.Answer(kPasswordFormat);
  if (HasControlCharacter(line.Arg(1))) return context.Answer(kNoControlBytes);
  const world::Character& c = Actor(context);
  PasswordCheck check{c.name, c.password.Text(), false, false, std::nullopt};
  const bool queued = context.worker.RunAside(
      context.connection, OwnerOf(context),
      [context, check = std::move(check), typed = std::string(line.Arg(0)),
       fresh = std::string(line.Arg(1))](core::PasswordHasher& hasher) mutable -> core::Completion {
        const core::PasswordVerdict verdict = hasher.Check(check.checked, typed);
        check.matches = verdict == core::PasswordVerdict::Matches;
        check.failed = verdict == core::PasswordVerdict::Unknown;
        if (check.matches) check.hash = hasher.Hash(fresh);
        return [context, check = std::move(check)] { return FinishChange(context, check); };
      });
  if (!queued) Busy(context);
}

}  // namespace commands
