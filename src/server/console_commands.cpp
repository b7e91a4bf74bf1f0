// The console's commands: one table in the order they are tried, scanned by one
// dispatcher, with the usage line of each beside it.
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <map>
#include <random>

#include "base/number.h"
#include "commands/words.h"
#include "connection/bans.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "core/worker.h"
#include "persist/bans_file.h"
#include "persist/save_format.h"
#include "persist/saver.h"
#include "server/console.h"
#include "server/metrics.h"
#include "world/character.h"

namespace server {

namespace {

using commands::CommandLine;
using Answer = std::optional<ConsoleAnswer>;

constexpr const char* kRemoved = "You have been removed from the game.";
constexpr const char* kNameBanned = "This character is not allowed to play.";
constexpr const char* kBansNotWritten = "The bans file could not be written; see the server's log.\n";
constexpr int kPasswordLetters = 12;
constexpr unsigned kMaxMinutes = 10 * 365 * 24 * 60;  // ten years: longer reads as for ever
constexpr unsigned kMaxShutdownSeconds = 24 * 60 * 60;

// One command's call: who asked, the line as typed and its words.
struct Call {
  Console& console;
  core::Socket socket;
  std::string_view line;
  const CommandLine& words;
  std::string_view usage;  // the command's usage line, for its format answer

  Game& Served() const { return console.Served(); }
  world::CharacterTable& Characters() const { return console.Served().World().characters; }
};

// A name or word the operator typed, or a player chose, as the console shows it back:
// its control bytes written as the log writes them ("\x1b"), so that no echo can drive
// the operator's terminal.
std::string Shown(std::string_view text) { return core::EscapeForLog(text); }

ConsoleAnswer Did(std::string text) { return {std::move(text), 0}; }
ConsoleAnswer Refused(std::string text) { return {std::move(text), 1}; }
ConsoleAnswer Format(std::string_view usage, std::string more = {}) {
  return {"format: " + std::string(usage) + "\n" + more, 2};
}

// The line from argument word `first` on, as typed; empty when there is none.
std::string_view RestFrom(const Call& call, std::size_t first) {
  if (first >= call.words.ArgCount()) return {};
  return call.line.substr(static_cast<std::size_t>(call.words.args[first].data() - call.line.data()));
}

std::string Seconds(std::chrono::steady_clock::duration d) {
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(d).count();
  if (s < 60) return std::to_string(s) + "s";
  if (s < 3600) return std::to_string(s / 60) + "m" + std::to_string(s % 60) + "s";
  return std::to_string(s / 3600) + "h" + std::to_string(s / 60 % 60) + "m";
}

std::string ForMinutes(unsigned minutes) {
  return minutes == 0 ? "until lifted" : "for " + TimeLeftText(static_cast<int>(minutes * 60));
}

// How long an address ban holds: "for ever" or "until 2026-01-31 12:00 UTC".
std::string UntilText(std::int64_t until) {
  if (until == 0) return "for ever";
  const std::time_t t = static_cast<std::time_t>(until);
  char text[32];
  std::tm utc{};
  ::gmtime_r(&t, &utc);
  std::strftime(text, sizeof text, "until %Y-%m-%d %H:%M UTC", &utc);
  return text;
}

world::Character* FindCharacter(const world::CharacterTable& characters, std::string_view name) {
  world::Character* c = characters.FindInPlayByName(name);
  return c != nullptr ? c : characters.FindStoredByName(name);
}

// Tells the connection why and ends it.
void RemoveConnection(connection::ConnectionLayer& layer, core::Socket socket, std::string_view why,
                      std::string_view reason) {
  layer.Outbox().Queue(socket, why);
  if (!reason.empty()) layer.Outbox().Queue(socket, reason);
  layer.Outbox().Flush();
  layer.EndAfterOutput(socket);
}

// Once the bans file is on disk (or not), `text` and whether it is.
Answer AfterBansSaved(Call& call, std::string text) {
  auto later = call.console.Later(call.socket);
  persist::SaveBans(call.Served().Saver(), call.console.Layer().Bans(),
                    [later, text = std::move(text)](bool saved) {
                      later(saved ? Did(text) : ConsoleAnswer{text + kBansNotWritten, 1});
                    });
  return std::nullopt;
}

// The connections the console lists: every one but the console's own.
std::vector<connection::ConnectionSummary> Listed(Console& console) {
  std::vector<connection::ConnectionSummary> all = console.Layer().Summaries();
  std::erase_if(all, [](const connection::ConnectionSummary& c) { return std::string_view(c.door) == "console"; });
  return all;
}

Answer Who(Call& call) {
  const auto now = connection::LimitClock::now();
  std::string table = "handle  address          door    character         where    idle\n";
  char row[200];
  for (const connection::ConnectionSummary& c : Listed(call.console)) {
    const world::Character* character = call.Characters().CharacterOf(c.socket);
    const std::string name = character ? character->name : c.admitted ? "-" : "(not playing)";
    const std::string where =
        character ? std::to_string(character->x) + "," + std::to_string(character->y) : "-";
    std::snprintf(row, sizeof row, "%-7d %-16s %-7s %-17s %-8s %s\n", c.socket,
                  base::AddressText(c.address).c_str(), c.door, Shown(name).c_str(),
                  where.c_str(), Seconds(now - c.lastLine).c_str());
    table += row;
  }
  return Did(table);
}

Answer Kick(Call& call) {
  core::Socket socket = core::kNoSocket;
  const std::string name(call.words.Arg(0));
  if (call.Characters().FindInPlayByName(name, &socket) == nullptr) {
    return Refused("No character called " + Shown(name) + " is in play.\n");
  }
  RemoveConnection(call.console.Layer(), socket, kRemoved, RestFrom(call, 1));
  call.Served().Measured().NoteKick();
  return Did("Kicked " + Shown(name) + ".\n");
}

// The minutes word of ban and mute, the argument after the name; `next` is the first
// argument after it. Of ban, a word that does not begin like a number ("-5" and "5m"
// do) is no minutes word but the reason's first; of mute, every word is one. False when
// the minutes word is not digits from 0 to kMaxMinutes: the command answers its format.
bool OptionalMinutes(const CommandLine& words, bool reasonMayFollow, unsigned& minutes,
                     std::size_t& next) {
  minutes = 0;
  next = 1;
  if (words.ArgCount() < 2) return true;
  const std::string_view word = words.Arg(1);
  const auto digit = [&](std::size_t i) {
    return i < word.size() && word[i] >= '0' && word[i] <= '9';
  };
  const bool numberLike =
      digit(0) || ((word.starts_with('-') || word.starts_with('+')) && digit(1));
  if (reasonMayFollow && !numberLike) return true;
  next = 2;
  return base::ReadDigits(word, kMaxMinutes, minutes);
}

std::string MinutesRange() {
  return "The minutes must be 0 to " + std::to_string(kMaxMinutes) + ".\n";
}

Answer Ban(Call& call) {
  connection::AddressBan ban;
  if (!base::ParseBlock(call.words.Arg(0), ban.block)) return Refused("Not an address or CIDR block.\n");
  unsigned minutes = 0;
  std::size_t next = 1;
  if (!OptionalMinutes(call.words, true, minutes, next)) return Format(call.usage, MinutesRange());
  if (minutes != 0) ban.until = static_cast<std::int64_t>(std::time(nullptr)) + minutes * 60LL;
  ban.reason = std::string(RestFrom(call, next));
  const std::optional<connection::AddressBan> replaced =
      call.console.Layer().Bans().BanAddress(ban);
  int ended = 0;
  for (const connection::ConnectionSummary& c : call.console.Layer().Summaries()) {
    if (c.player && ban.block.Contains(c.address)) {
      RemoveConnection(call.console.Layer(), c.socket, connection::kAddressBanned, ban.reason);
      ++ended;
    }
  }
  std::string text = "Banned " + base::BlockText(ban.block) + " " + ForMinutes(minutes);
  if (replaced) {
    text += ", replacing its ban " + UntilText(replaced->until);
    if (!replaced->reason.empty()) text += " (" + Shown(replaced->reason) + ")";
  }
  if (ended > 0) text += "; " + std::to_string(ended) + " connection(s) ended";
  return AfterBansSaved(call, text + ".\n");
}

Answer Unban(Call& call) {
  const std::string what(call.words.Arg(0));
  base::AddressBlock block;
  connection::BanList& bans = call.console.Layer().Bans();
  const bool found =
      base::ParseBlock(what, block) ? bans.UnbanAddress(block) : bans.UnbanName(what);
  if (!found) return Refused("No ban of " + Shown(what) + ".\n");
  return AfterBansSaved(call, "Lifted the ban of " + Shown(what) + ".\n");
}

Answer BanName(Call& call) {
  const std::string name(call.words.Arg(0));
  if (!call.console.Layer().Bans().BanName(name)) {
    return Refused("The name " + Shown(name) + " is banned already.\n");
  }
  core::Socket socket = core::kNoSocket;
  if (call.Characters().FindInPlayByName(name, &socket) != nullptr) {
    RemoveConnection(call.console.Layer(), socket, kNameBanned, {});
  }
  if (FindCharacter(call.Characters(), name) == nullptr) {
    return AfterBansSaved(
        call, "No character is called " + Shown(name) + " yet; banned the name for new characters too.\n");
  }
  return AfterBansSaved(call, "Banned the character " + Shown(name) + ".\n");
}

Answer ListBans(Call& call) {
  connection::BanList& bans = call.console.Layer().Bans();
  bans.Expire(static_cast<std::int64_t>(std::time(nullptr)));
  std::string table;
  for (const connection::AddressBan& ban : bans.Addresses()) {
    table += "address " + base::BlockText(ban.block) + "  " + UntilText(ban.until);
    if (!ban.reason.empty()) table += "  " + Shown(ban.reason);
    table += "\n";
  }
  for (const std::string& name : bans.Names()) table += "name " + Shown(name) + "\n";
  return Did(table.empty() ? "No bans.\n" : table);
}

Answer Mute(Call& call) {
  unsigned minutes = 0;
  std::size_t next = 1;
  if (!OptionalMinutes(call.words, false, minutes, next)) return Format(call.usage, MinutesRange());
  const std::string name(call.words.Arg(0));
  if (FindCharacter(call.Characters(), name) == nullptr)
    return Refused("No character called " + Shown(name) + ".\n");
  const auto until = minutes == 0 ? commands::MuteClock::time_point::max()
                                  : commands::MuteClock::now() + std::chrono::minutes(minutes);
  call.Served().Interpreter().mutes.Mute(name, until);
  return Did("Muted " + Shown(name) + " " + ForMinutes(minutes) + ".\n");
}

Answer Unmute(Call& call) {
  const std::string name(call.words.Arg(0));
  if (!call.Served().Interpreter().mutes.Unmute(name))
    return Refused(Shown(name) + " is not muted.\n");
  return Did("Unmuted " + Shown(name) + ".\n");
}

Answer Announce(Call& call) {
  const std::string_view text = RestFrom(call, 0);
  if (commands::HasControlCharacter(text)) return Refused("Control characters are not allowed.\n");
  TellEveryone(call.console.Layer(), "[Announcement] " + std::string(text));
  return Did("Announced.\n");
}

// Letters and digits that cannot be taken for one another on a screen or on paper.
std::string NewPassword() {
  static constexpr char kLetters[] = "abcdefghjkmnpqrstuvwxyzABCDEFGHJKLMNPQRSTUVWXYZ23456789";
  std::random_device random;  // the kernel's random source
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  std::string password;
  for (int i = 0; i < kPasswordLetters; ++i) password += kLetters[pick(random)];
  return password;
}

// The new password is hashed on the worker (about 20 ms that the game does not wait
// for), and set once the hash is made if the character still exists.
Answer Password(Call& call) {
  const std::string name(call.words.Arg(0));
  if (FindCharacter(call.Characters(), name) == nullptr)
    return Refused("No character called " + Shown(name) + ".\n");
  const core::Socket socket = call.socket;
  Console& console = call.console;
  world::CharacterTable& characters = call.Characters();
  const bool queued = call.Served().Worker().RunAside(
      socket, core::JobOwner{}, [&console, &characters, socket, name](core::PasswordHasher& hasher) -> core::Completion {
        const std::string password = NewPassword();
        std::optional<std::string> hash = hasher.Hash(password);
        return [&console, &characters, socket, name, password, hash = std::move(hash)] {
          world::Character* c = FindCharacter(characters, name);
          if (c == nullptr) {
            console.Reply(socket, Refused("No character called " + Shown(name) + ".\n"));
          } else if (!hash) {
            console.Reply(socket, Refused("The password could not be hashed; it is unchanged.\n"));
          } else {
            characters.SetStoredPassword(*c, *hash);
            const std::string said = "The new password of " + Shown(c->name) + " is: ";
            console.Reply(socket, {said + password + "\n", 0, said + "***"});  // never in the log
          }
          return false;
        };
      });
  if (!queued) return Refused("The server is busy. Try again in a moment.\n");
  return std::nullopt;
}

// shutdown and restart: the same countdown, ending in a stop or a restart; either
// word's cancel stops whichever runs.
Answer Shutdown(Call& call) {
  if (call.words.Arg(0) == "cancel") {
    const std::optional<CountdownKind> cancelled = call.console.Shutdown().Cancel();
    if (!cancelled) return Refused("No shutdown or restart is coming.\n");
    if (*cancelled == CountdownKind::Restart) {
      TellEveryone(call.console.Layer(), "The restart is called off.");
      return Did("Restart cancelled.\n");
    }
    TellEveryone(call.console.Layer(), "The shutdown is called off.");
    return Did("Shutdown cancelled.\n");
  }
  const bool restart = call.words.command == "restart";
  unsigned seconds = 0;
  if (call.words.ArgCount() > 0 && !base::ReadDigits(call.words.Arg(0), kMaxShutdownSeconds, seconds)) {
    return Format(call.usage);
  }
  call.console.Shutdown().Schedule(static_cast<int>(seconds),
                                   restart ? CountdownKind::Restart : CountdownKind::Shutdown);
  const std::string doing = restart ? "Restarting" : "Shutting down";
  if (seconds == 0) return Did(doing + " now.\n");
  return Did(doing + " in " + TimeLeftText(static_cast<int>(seconds)) + ".\n");
}

// Answered once the file is on disk.
Answer Save(Call& call) {
  auto later = call.console.Later(call.socket);
  call.Served().Save([later](bool saved) {
    later(saved ? Did("World saved.\n") : Refused("The save failed; see the server's log.\n"));
  });
  return std::nullopt;
}

Answer Status(Call& call) {
  const auto now = std::chrono::steady_clock::now();
  std::map<std::string, int> doors;
  for (const connection::ConnectionSummary& c : Listed(call.console)) ++doors[c.door];
  std::string text = "uptime " + Seconds(now - call.Served().Measured().StartTime()) + "\n";
  text += "players in play " + std::to_string(call.Characters().InPlay().size()) + "\n";
  text += "connections";
  if (doors.empty()) text += " 0";
  for (const auto& [door, count] : doors) text += " " + door + "=" + std::to_string(count);
  text += "\n";
  struct stat info {};
  if (::stat(std::string(persist::kSaveFilePath).c_str(), &info) == 0) {
    const auto age = std::time(nullptr) - info.st_mtime;
    text += "save age " + Seconds(std::chrono::seconds(age < 0 ? 0 : age)) + "\n";
  } else {
    text += "save age never saved\n";
  }
  if (call.Served().Saver().FailedLast()) text += "last save FAILED\n";
  const auto tick =
      std::chrono::duration<double, std::milli>(call.Served().Measured().LastTickDuration())
          .count();
  char line[64];
  std::snprintf(line, sizeof line, "last tick %.3f ms\n", tick);
  text += line;
  return Did(text);
}

// Hands the server to the executable at its own path, carrying every connection;
// answered by the new process, or by this one when the upgrade fails. The announcement
// may come in double quotes.
Answer Upgrade(Call& call) {
  std::string_view text = RestFrom(call, 0);
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
  if (commands::HasControlCharacter(text)) return Refused("Control characters are not allowed.\n");
  if (!call.console.Upgrade()) return Refused("This server cannot be upgraded.\n");
  return call.console.Upgrade()(call.socket, std::string(text));
}

// Every console command, with its usage and the words it needs at least.
struct Command {
  const char* word;
  const char* usage;
  std::size_t needs;
  Answer (*handler)(Call& call);
};
constexpr Command kCommands[] = {
    {"who", "who", 0, Who},
    {"kick", "kick NAME [reason]", 1, Kick},
    {"announce", "announce TEXT", 1, Announce},
    {"shutdown", "shutdown [seconds|cancel]", 0, Shutdown},
    {"restart", "restart [seconds|cancel]", 0, Shutdown},
    {"upgrade", "upgrade [announcement]", 0, Upgrade},
    {"status", "status", 0, Status},
    {"save", "save", 0, Save},
    {"ban", "ban ADDRESS|CIDR [minutes] [reason]", 1, Ban},
    {"unban", "unban ADDRESS|CIDR|NAME", 1, Unban},
    {"bans", "bans", 0, ListBans},
    {"ban-name", "ban-name NAME", 1, BanName},
    {"mute", "mute NAME [minutes]", 1, Mute},
    {"unmute", "unmute NAME", 1, Unmute},
    {"password", "password NAME", 1, Password},
};

std::string Usage() {
  std::string text = "Commands:\n";
  for (const Command& command : kCommands) text += "  " + std::string(command.usage) + "\n";
  return text;
}

}  // namespace

std::optional<ConsoleAnswer> RunConsoleCommand(Console& console, core::Socket socket,
                                               std::string_view line) {
  ASSERT_CONNECTION_LOCK_HELD();
  const CommandLine words = commands::SplitWords(line);
  if (words.command == "help") return Did(Usage());
  for (const Command& command : kCommands) {
    if (words.command != command.word) continue;
    if (words.ArgCount() < command.needs || (command.needs > 0 && words.Arg(0).empty())) {
      return Format(command.usage);
    }
    Call call{console, socket, line, words, command.usage};
    return command.handler(call);
  }
  return ConsoleAnswer{"Unknown command.\n" + Usage(), 2};
}

}  // namespace server
