// setup and login: the two ways a connection enters play.

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "base/number.h"
#include "commands/handlers.h"
#include "commands/interpreter.h"
#include "server/address_limits.h"
#include "server/bans.h"
#include "server/connection_lock.h"
#include "server/outbox.h"
#include "world/character.h"
#include "world/looking.h"
#include "world/role.h"
#include "world/territory.h"

namespace commands {

namespace {

constexpr const char* kLoginFormat = "format: login name password";
constexpr int kMaxFailedLogins = 3;  // the connection ends after this many wrong passwords

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

bool RoleHeldInPlay(world::Clan clan, world::Role role) {
  for (const auto& [connection, c] : world::InPlay()) {
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

// True when a word that is kept as text holds a control character, or the name a
// space of any kind.
bool AnyControlBytes(const CommandLine& line, const SetupWords& words) {
  if (HasControlOrSpace(words.name) || HasControlCharacter(words.password) ||
      HasControlCharacter(words.pronouns)) {
    return true;
  }
  for (std::size_t i = words.descriptionBegin; i < words.closingQuote; ++i) {
    if (HasControlCharacter(line.Arg(i))) return true;
  }
  return false;
}

}  // namespace

void Setup(Socket connection, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  // An empty name (two blanks after the command word) is a missing name word: it would
  // make a cat that others see as nobody and cannot address.
  if (line.ArgCount() < 8 || line.Arg(0).empty()) {
    server::QueueMessage(connection, kSetupFormat);
    return;
  }
  if (world::NameTaken(line.Arg(0))) {
    server::QueueMessage(connection, kNameTaken);
    return;
  }
  const std::optional<SetupWords> words = ParseSetup(line);
  if (!words) {
    server::QueueMessage(connection, kSetupFormat);
    return;
  }
  if (AnyControlBytes(line, *words)) {
    server::QueueMessage(connection, kNoControlBytes);
    return;
  }
  // A name that reads like another cat's would let one player pass for another.
  if (world::NameTooClose(words->name)) {
    server::QueueMessage(connection, "That name is too close to another cat's name.");
    return;
  }

  if (server::NewCharacterRefused(connection)) {
    server::QueueMessage(connection, "Too many new characters. Try again later.");
    return;
  }

  // Every word has been checked: from here on the character is made whole.
  server::NoteNewCharacter(connection);
  auto c = std::make_unique<world::Character>();
  c->name = words->name;
  c->password = words->password;
  c->pronouns = words->pronouns;
  c->age = words->age;
  c->role = world::RoleFromWord(words->roleWord);
  c->clan = ClanFromWord(words->clanWord);
  const std::int32_t health = world::TraitsOf(c->role).health;
  c->healthOverall = c->healthHead = c->healthBody = c->healthTail = health;
  c->healthLeftFrontLeg = c->healthRightFrontLeg = health;
  c->healthLeftBackLeg = c->healthRightBackLeg = health;
  if (world::TraitsOf(c->role).onePerClan && RoleHeldInPlay(c->clan, c->role)) {
    server::QueueMessage(connection, "Role already taken, character set to Warrior.");
    c->role = world::Role::Warrior;
  }
  for (std::size_t i = words->descriptionBegin; i < words->closingQuote; ++i) {
    c->description += line.Arg(i);
    c->description += ' ';
  }
  c->anatomyFlag1 = words->genitalia != "penis";
  c->anatomyFlag2 = !words->nipples.starts_with("ma");
  const world::Cell start = world::StartCell(c->clan, c->role);
  c->x = start.x;
  c->y = start.y;

  if (c->role == world::Role::Kit) {
    // A connection keeps its first kit; a second one is not kept, though the reply is
    // the same.
    world::ParkKit(connection, std::move(c));
    server::QueueMessage(connection,
                         "Entering into kit queue. You need to be born before you can play. "
                         "(THIS IS UNIMPLEMENTED PLEASE CLOSE THE GAME)");
    return;
  }
  world::EnterPlay(connection, std::move(c));
  server::QueueMessage(connection, kCharacterCreated);
  world::DescribeArea(connection);
}

void Login(Socket connection, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  if (server::LoginRefused(connection)) {
    server::QueueMessage(connection, "Too many failed logins. Try again later.");
    return;
  }
  if (line.ArgCount() < 2) {
    server::QueueMessage(connection, kLoginFormat);
    return;
  }
  world::Character* stored = world::FindStoredByName(line.Arg(0));
  if (stored == nullptr) {
    server::QueueMessage(connection, "Invalid username.");
    server::NoteFailedLogin(connection);
    return;
  }
  if (stored->password != line.Arg(1)) {
    server::QueueMessage(connection, "Incorrect password.");
    server::NoteFailedLogin(connection);
    Session& session = SessionOf(connection);
    if (++session.failedLogins >= kMaxFailedLogins) session.endRequested = true;
    return;
  }
  if (server::Bans().NameBanned(stored->name)) {
    server::QueueMessage(connection, "This character is not allowed to play.");
    return;
  }
  // Stored characters stand on the map (the loader sees to it); this keeps it so
  // whatever else may have stored one.
  world::MoveOntoMap(*stored);
  world::EnterPlayFromStore(connection, stored);
  server::QueueMessage(connection, "Login successful. Entering game...");
  world::DescribeArea(connection);
}

}  // namespace commands
