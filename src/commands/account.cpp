// setup and login, the two ways a connection enters play, and quit, the way out; and
// what every command that hands a password to the worker shares.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "base/number.h"
#include "base/password.h"
#include "commands/allowances.h"
#include "commands/handlers.h"
#include "commands/interpreter.h"
#include "commands/logins.h"
#include "connection/bans.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "core/worker.h"
#include "world/looking.h"
#include "world/names.h"
#include "world/role.h"
#include "world/telling.h"
#include "world/territory.h"

namespace commands {

namespace {

constexpr const char* kLoginFormat = "format: login name password";
constexpr int kMaxFailedLogins = 3;  // the connection ends after this many wrong passwords
constexpr const char* kNameTooClose = "That name is too close to another cat's name.";
constexpr const char* kNameNeedsLetter = "A name must hold a letter.";
constexpr const char* kNameUnusual = "A name must use the ordinary letters of one alphabet.";
constexpr const char* kTooManyCharacters = "Too many new characters. Try again later.";
constexpr const char* kCharacterBanned = "This character is not allowed to play.";

// The words of a setup line, all of them checked, before anything is made.
struct SetupWords {
  std::string_view name;
  std::string_view password;
  std::string_view pronouns;
  std::int32_t age = 0;  // days
  std::string_view roleWord;
  std::string_view clanWord;
  std::size_t descriptionBegin = 0;  // argument index of the first description word
  std::size_t closingQuote = 0;      // argument index of the closing quote word
  std::string_view genitalia;
  std::string_view nipples;
};

world::Clan ClanFromWord(std::string_view word) {
  if (word.starts_with("ember")) return world::Clan::Emberfold;
  if (word.starts_with("moss")) return world::Clan::Mossfold;
  if (word.starts_with("lark")) return world::Clan::Larkfold;
  return world::Clan::Fernfold;
}

// A login's result in a line of its own: "11 logged in as Ashpaw." when `refusal` is
// empty, else "11 login as Ashpaw refused: <refusal>.", a warning.
void LogLogin(core::Socket connection, std::string_view name, std::string_view refusal) {
  const std::string who = std::to_string(static_cast<unsigned>(connection));
  const std::string as = core::EscapeForLog(name);
  if (refusal.empty()) {
    core::Log(who + " logged in as " + as + ".\n");
  } else {
    core::Log(who + " login as " + as + " refused: " + std::string(refusal) + ".\n",
              core::LogPriority::Warning);
  }
}

bool RoleHeldInPlay(const world::CharacterTable& characters, world::Clan clan, world::Role role) {
  for (const auto& [connection, c] : characters.InPlay()) {
    if (c->clan == clan && c->role == role) return true;
  }
  return false;
}

// Splits a setup line of at least 8 argument words into its fields. Returns nullopt
// when the line has no closing quote word with two more words after it, or when the
// age word holds no number or an age that, in days, leaves the 32-bit range.
std::optional<SetupWords> ParseSetup(const CommandLine& line) {
  SetupWords words;
  words.name = line.Arg(0);
  words.password = line.Arg(1);
  words.pronouns = line.Arg(2);
  words.roleWord = line.Arg(4);
  words.clanWord = line.Arg(5);
  // Argument 6 opens the description whatever it holds; the first lone double quote
  // after it closes it.
  words.descriptionBegin = 7;
  std::size_t closing = words.descriptionBegin;
  while (closing < line.ArgCount() && line.Arg(closing) != "\"") ++closing;
  if (closing + 2 >= line.ArgCount()) return std::nullopt;
  words.closingQuote = closing;
  words.genitalia = line.Arg(closing + 1);
  words.nipples = line.Arg(closing + 2);

  const std::optional<std::int32_t> moons = base::LeadingInt32(line.Arg(3));
  if (!moons) return std::nullopt;
  const std::int64_t days = static_cast<std::int64_t>(*moons) * 30;
  if (days < INT32_MIN || days > INT32_MAX) return std::nullopt;
  words.age = static_cast<std::int32_t>(days);
  return words;
}

// True when a word that is kept as text holds a control character, or the name any
// character that hides what is shown (world/names.h).
bool AnyControlBytes(const CommandLine& line, const SetupWords& words) {
  if (world::FaultOfName(words.name) == world::NameFault::Hidden ||
      HasControlCharacter(words.password) || HasControlCharacter(words.pronouns)) {
    return true;
  }
  for (std::size_t i = words.descriptionBegin; i < words.closingQuote; ++i) {
    if (HasControlCharacter(line.Arg(i))) return true;
  }
  return false;
}

// Answers why the connection may not make a character called `name`, whose exact name
// is free, if it may not. Checked once, as the line comes: the name is reserved and the
// address's allowance counted then, so nothing another player does while the password
// is hashed can change the answer. A name that reads like another cat's would let one
// player pass for another.
bool RefusedNewCharacter(const Context& context, std::string_view name) {
  if (context.world.characters.NameTooClose(name)) {
    context.Answer(kNameTooClose);
    return true;
  }
  // The console may ban a name before any character has it.
  if (context.bans.NameBanned(name)) {
    context.Answer(kCharacterBanned);
    return true;
  }
  if (context.interpreter.allowances.NewCharacterRefused(context.connection)) {
    context.Answer(kTooManyCharacters);
    return true;
  }
  return false;
}

// What is left of setup once the password is hashed: the character is made whole. Its
// name was reserved and its address's allowance counted when the line came, so no
// other setup can have taken either meanwhile. `c` holds every word of the line and the
// hash; its role may still become Warrior, and its start cell is chosen here.
void FinishSetup(const Context& context, std::unique_ptr<world::Character> c) {
  ASSERT_CONNECTION_LOCK_HELD();
  world::CharacterTable& characters = context.world.characters;
  if (characters.CharacterOf(context.connection) != nullptr) return context.Answer(kNotValidNow);
  if (!context.world.keeping.Now()) return context.Answer(kCannotBeSaved);
  if (world::TraitsOf(c->role).onePerClan && RoleHeldInPlay(characters, c->clan, c->role)) {
    context.Answer("Role already taken, character set to Warrior.");
    c->role = world::Role::Warrior;
  }
  const world::Cell start = world::StartCell(c->clan, c->role);
  c->x = start.x;
  c->y = start.y;

  if (c->role == world::Role::Kit) {
    // A connection keeps its first kit; a second one is not kept, though the reply is
    // the same.
    characters.ParkKit(context.connection, std::move(c));
    context.Answer(
        "Entering into kit queue. You need to be born before you can play. "
        "(THIS IS UNIMPLEMENTED PLEASE CLOSE THE GAME)");
    return;
  }
  world::TellChange(context.world, context.outbox,
                    characters.EnterPlay(context.connection, std::move(c)));
  context.Answer(kCharacterCreated);
  world::DescribeArea(characters, context.outbox, context.connection);
}

// What a login's check found, for the input thread.
struct LoginCheck {
  bool known = false;    // the name was a stored character's when the line came
  bool matches = false;  // the typed password is the one stored
  bool failed = false;   // the check could not be made (the hasher's helper ended or hung)
  std::string checked;   // the stored password that was checked
  std::optional<std::string> rehashed;  // a hash at today's costs, after a good login
};

// The password check of a login, on the worker. A plain password from an older file is
// compared, then hashed (when right) or the dummy checked (when wrong), so that it
// costs about as much as a hash and is upgraded at once. A check that could not be
// made fails the login whether or not the name is known, so that the failure tells
// nothing of the name; a rehash that could not be made waits for the next login.
LoginCheck CheckLogin(LoginCheck check, std::string_view typed, core::PasswordHasher& hasher) {
  using core::PasswordVerdict;
  if (!check.known) {
    check.failed = hasher.CheckDummy(typed) == PasswordVerdict::Unknown;
    return check;
  }
  const PasswordVerdict verdict = hasher.Check(check.checked, typed);
  check.matches = verdict == PasswordVerdict::Matches;
  check.failed = verdict == PasswordVerdict::Unknown;
  if (!base::IsPasswordHash(check.checked) && !check.matches) {
    check.failed = hasher.CheckDummy(typed) == PasswordVerdict::Unknown;
  } else if (check.matches && base::PasswordNeedsRehash(check.checked)) {
    check.rehashed = hasher.Hash(typed);
  }
  return check;
}

// What is left of a login once its password is checked. Returns true when the
// connection should end (its third wrong password).
bool FinishLogin(const Context& context, const std::string& name, const LoginCheck& check) {
  ASSERT_CONNECTION_LOCK_HELD();
  const core::Socket connection = context.connection;
  world::CharacterTable& characters = context.world.characters;
  if (characters.CharacterOf(connection) != nullptr) {
    context.Answer(kNotValidNow);
    LogLogin(connection, name, "already in play");
    return false;
  }
  // Nothing is counted against the player: the server failed, not the password.
  if (check.failed) {
    context.Answer(kBusy);
    context.interpreter.logins.Count(LoginResult::Busy);
    LogLogin(connection, name, "the password check failed");
    return false;
  }
  // Another connection may have taken the character while the check ran.
  world::Character* stored = check.known ? characters.FindStoredByName(name) : nullptr;
  if (stored == nullptr) {
    context.Answer("Invalid username.");
    context.interpreter.allowances.NoteFailedLogin(connection);
    context.interpreter.logins.Count(LoginResult::UnknownName);
    LogLogin(connection, name,
             characters.FindInPlayByName(name) != nullptr ? "in play on another connection"
                                                          : "unknown name");
    return false;
  }
  if (!check.matches) {
    context.Answer(kIncorrectPassword);
    context.interpreter.logins.Count(LoginResult::WrongPassword);
    LogLogin(connection, name, CountWrongPassword(context));
    return context.interpreter.sessions.EndRequested(connection);
  }
  if (context.bans.NameBanned(stored->name)) {
    context.Answer(kCharacterBanned);
    context.interpreter.logins.Count(LoginResult::Banned);
    LogLogin(connection, name, "the character is banned");
    return false;
  }
  // Hashed at today's costs, unless the stored password changed meanwhile (the
  // background hashing of plain ones: the same password).
  if (check.rehashed && stored->password == check.checked) {
    characters.SetStoredPassword(*stored, *check.rehashed);
  }
  // Stored characters stand on the map (the loader sees to it); this keeps it so
  // whatever else may have stored one.
  world::MoveOntoMap(*stored);
  world::TellChange(context.world, context.outbox,
                    characters.EnterPlayFromStore(connection, stored));
  LogLogin(connection, name, {});
  context.Answer("Login successful. Entering game...");
  context.interpreter.logins.Count(LoginResult::Success);
  world::DescribeArea(characters, context.outbox, connection);
  return false;
}

}  // namespace

void Busy(const Context& context) {
  context.Answer(kBusy);
  context.interpreter.allowances.NoteFailedLogin(context.connection);
}

core::JobOwner OwnerOf(const Context& context) {
  const Session* session = context.interpreter.sessions.Find(context.connection);
  return session != nullptr ? core::JobOwner{session->key, session->limited} : core::JobOwner{};
}

std::string CountWrongPassword(const Context& context) {
  ASSERT_CONNECTION_LOCK_HELD();
  context.interpreter.allowances.NoteFailedLogin(context.connection);
  Session& session = context.interpreter.sessions.Of(context.connection);
  ++session.failedLogins;
  if (session.failedLogins >= kMaxFailedLogins) session.endRequested = true;
  return "wrong password (" + std::to_string(session.failedLogins) + " of " + std::to_string(kMaxFailedLogins) + ")";
}

void Setup(const Context& context, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  // An empty name (two blanks after the command word) is a missing name word: it would
  // make a cat that others see as nobody and cannot address.
  if (line.ArgCount() < 8 || line.Arg(0).empty()) return context.Answer(kSetupFormat);
  if (context.world.characters.NameTaken(line.Arg(0))) return context.Answer(kNameTaken);
  const std::optional<SetupWords> words = ParseSetup(line);
  if (!words) return context.Answer(kSetupFormat);
  if (AnyControlBytes(line, *words)) return context.Answer(kNoControlBytes);
  const world::NameFault fault = world::FaultOfName(words->name);
  if (fault == world::NameFault::NoLetter) return context.Answer(kNameNeedsLetter);
  // A name that reads like another cat's is told so first: that is the likelier mistake.
  if (RefusedNewCharacter(context, words->name)) return;
  if (fault == world::NameFault::Unusual) return context.Answer(kNameUnusual);
  // A character made now could be lost to a crash: no promise is made that cannot be kept.
  if (!context.world.keeping.Now()) return context.Answer(kCannotBeSaved);

  // Every word has been checked: the record is filled now, and finished once its
  // password is hashed. Meanwhile its name is the setup's and its creation counted.
  auto c = std::make_shared<world::Character>();
  c->name = words->name;
  c->pronouns = words->pronouns;
  c->age = words->age;
  c->role = world::RoleFromWord(words->roleWord);
  c->clan = ClanFromWord(words->clanWord);
  const std::int32_t health = world::TraitsOf(c->role).health;
  c->healthOverall = c->healthHead = c->healthBody = c->healthTail = health;
  c->healthLeftFrontLeg = c->healthRightFrontLeg = health;
  c->healthLeftBackLeg = c->healthRightBackLeg = health;
  for (std::size_t i = words->descriptionBegin; i < words->closingQuote; ++i) {
    c->description += line.Arg(i);
    c->description += ' ';
  }
  c->anatomyFlag1 = words->genitalia != "penis";
  c->anatomyFlag2 = !words->nipples.starts_with("ma");
  // Let go on the input thread, where the Completion that holds it last is destroyed.
  auto reservation = std::make_shared<world::NameReservation>(context.world.characters, c->name);
  const bool queued = context.worker.RunAside(
      context.connection, OwnerOf(context),
      [context, c, reservation,
       password = std::string(words->password)](core::PasswordHasher& hasher) mutable -> core::Completion {
        std::optional<std::string> hash = hasher.Hash(password);
        // The reservation goes with the Completion: the work's own copy is destroyed on the
        // worker, which must not be where the name is let go.
        return [context, c, reservation = std::move(reservation), hash = std::move(hash)] {
          if (!hash) {
            context.Answer(kBusy);
            return false;
          }
          c->password = *hash;
          FinishSetup(context, std::make_unique<world::Character>(std::move(*c)));
          return false;
        };
      });
  if (!queued) return Busy(context);
  context.interpreter.allowances.NoteNewCharacter(context.connection);
}

void Login(const Context& context, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (context.interpreter.allowances.LoginRefused(context.connection)) {
    context.Answer(kTooManyFailedLogins);
    context.interpreter.logins.Count(LoginResult::Refused);
    LogLogin(context.connection, line.Arg(0), "too many failed logins from its address");
    return;
  }
  if (line.ArgCount() < 2) return context.Answer(kLoginFormat);
  // Known or not, the name costs one check on the worker, and its answer comes then.
  LoginCheck check;
  if (const world::Character* stored = context.world.characters.FindStoredByName(line.Arg(0))) {
    check.known = true;
    check.checked = stored->password.Text();
  }
  const bool queued =
      context.worker.RunAside(context.connection, OwnerOf(context),
                              [context, check = std::move(check), name = std::string(line.Arg(0)),
                               typed = std::string(line.Arg(1))](core::PasswordHasher& hasher) -> core::Completion {
                                return [context, name, result = CheckLogin(check, typed, hasher)] {
                                  return FinishLogin(context, name, result);
                                };
                              });
  if (!queued) {
    Busy(context);
    context.interpreter.logins.Count(LoginResult::Busy);
    LogLogin(context.connection, line.Arg(0), "the server is busy");
  }
}

// Asks for the end of the connection once this answer has left (EndRequested); its
// character, if any, then leaves play and is stored, as at any end of a connection.
void Quit(const Context& context, const CommandLine&) {
  ASSERT_CONNECTION_LOCK_HELD();
  context.Answer("Goodbye.");
  context.interpreter.sessions.Of(context.connection).endRequested = true;
}

bool SetupLineParses(const CommandLine& line) {
  return line.ArgCount() >= 8 && !line.Arg(0).empty() && ParseSetup(line).has_value();
}

}  // namespace commands
