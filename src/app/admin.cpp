#include "app/admin.h"

#include <sys/stat.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <random>

#include "app/metrics.h"
#include "base/password.h"
#include "commands/mutes.h"
#include "commands/words.h"
#include "persist/save_format.h"
#include "persist/saver.h"
#include "server/admin_socket.h"
#include "server/address_limits.h"
#include "server/bans.h"
#include "server/connection_lock.h"
#include "server/connections.h"
#include "server/log.h"
#include "server/outbox.h"
#include "server/server.h"
#include "world/character.h"

namespace app {

namespace {

using commands::CommandLine;

constexpr const char* kRemoved = "You have been removed from the game.";
constexpr const char* kNameBanned = "This character is not allowed to play.";
constexpr int kPasswordLetters = 12;
// Where pelthollow.service puts its console (its RuntimeDirectory).
constexpr const char* kServiceSocket = "/run/pelthollow/pelthollow.sock";
constexpr int kMaxMinutes = 10 * 365 * 24 * 60;  // ten years: longer reads as for ever
constexpr int kMaxShutdownSeconds = 24 * 60 * 60;

using Handler = std::string (*)(std::string_view line, const CommandLine& words);
struct AdminCommand {
  const char* word;
  const char* usage;
  Handler handler;
};

// A whole number from 0 to `max` in plain digits.
bool ReadCount(std::string_view text, int max, int& value) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos)
    return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value <= max;
}

// The line from argument word `first` on, as typed; empty when there is none.
std::string_view RestFrom(std::string_view line, const CommandLine& words, std::size_t first) {
  if (first >= words.ArgCount()) return {};
  return line.substr(static_cast<std::size_t>(words.args[first].data() - line.data()));
}

std::string Seconds(std::chrono::steady_clock::duration d) {
  const auto s = std::chrono::duration_cast<std::chrono::seconds>(d).count();
  if (s < 60) return std::to_string(s) + "s";
  if (s < 3600) return std::to_string(s / 60) + "m" + std::to_string(s % 60) + "s";
  return std::to_string(s / 3600) + "h" + std::to_string(s / 60 % 60) + "m";
}

std::string ForMinutes(int minutes) {
  return minutes == 0 ? "until lifted" : "for " + server::TimeLeftText(minutes * 60);
}

// Tells the connection why and ends it.
void RemoveConnection(server::Socket socket, std::string_view why, std::string_view reason) {
  server::QueueMessage(socket, why);
  if (!reason.empty()) server::QueueMessage(socket, reason);
  server::FlushOutbox();
  server::Connections().Remove(socket);
}

std::string Who(std::string_view, const CommandLine&) {
  const auto now = server::LimitClock::now();
  std::string table = "handle  address          door    character         where    idle\n";
  char row[160];
  for (const server::ConnectionSummary& c : server::Connections().Summaries()) {
    const world::Character* character = world::CharacterOf(c.socket);
    const std::string name = character ? character->name : c.playing ? "-" : "(not playing)";
    const std::string where =
        character ? std::to_string(character->x) + "," + std::to_string(character->y) : "-";
    std::snprintf(row, sizeof row, "%-7d %-16s %-7s %-17s %-8s %s\n", c.socket,
                  server::AddressText(c.address).c_str(), c.door,
                  server::EscapeForLog(name).c_str(), where.c_str(), Seconds(now - c.lastLine).c_str());
    table += row;
  }
  return table;
}

std::string Kick(std::string_view line, const CommandLine& words) {
  server::Socket socket = net::kNoSocket;
  if (world::FindInPlayByName(words.Arg(0), &socket) == nullptr) {
    return "No character called " + std::string(words.Arg(0)) + " is in play.\n";
  }
  RemoveConnection(socket, kRemoved, RestFrom(line, words, 1));
  return "Kicked " + std::string(words.Arg(0)) + ".\n";
}

// The minutes word of ban and mute, when the word after the name is one; `next` is the
// first argument after it.
bool OptionalMinutes(const CommandLine& words, int& minutes, std::size_t& next) {
  minutes = 0;
  next = 1;
  if (words.ArgCount() < 2) return true;
  const std::string_view word = words.Arg(1);
  if (word.empty() || word.find_first_not_of("0123456789") != std::string_view::npos) return true;
  next = 2;
  return ReadCount(word, kMaxMinutes, minutes);
}

std::string Ban(std::string_view line, const CommandLine& words) {
  server::AddressBan ban;
  if (!server::ParseBlockText(words.Arg(0), ban.block)) return "Not an address or CIDR block.\n";
  int minutes = 0;
  std::size_t next = 1;
  if (!OptionalMinutes(words, minutes, next)) return "The minutes must be 0 to " + std::to_string(kMaxMinutes) + ".\n";
  if (minutes != 0) ban.until = static_cast<std::int64_t>(std::time(nullptr)) + minutes * 60LL;
  ban.reason = std::string(RestFrom(line, words, next));
  server::Bans().BanAddress(ban);
  const bool saved = server::SaveBans();
  int ended = 0;
  for (const server::ConnectionSummary& c : server::Connections().Summaries()) {
    if (c.playing && (c.address & ban.block.mask) == ban.block.network) {
      RemoveConnection(c.socket, server::kAddressBanned, ban.reason);
      ++ended;
    }
  }
  std::string answer = "Banned " + server::BlockText(ban.block) + " " + ForMinutes(minutes);
  if (ended > 0) answer += "; " + std::to_string(ended) + " connection(s) ended";
  answer += ".\n";
  if (!saved) answer += "The bans file could not be written; see the server's log.\n";
  return answer;
}

std::string Unban(std::string_view, const CommandLine& words) {
  server::AddressBlock block;
  bool found = false;
  if (server::ParseBlockText(words.Arg(0), block)) {
    found = server::Bans().UnbanAddress(block);
  } else {
    found = server::Bans().UnbanName(words.Arg(0));
  }
  if (!found) return "No ban of " + std::string(words.Arg(0)) + ".\n";
  const bool saved = server::SaveBans();
  return "Lifted the ban of " + std::string(words.Arg(0)) + ".\n" +
         (saved ? "" : "The bans file could not be written; see the server's log.\n");
}

std::string BanName(std::string_view, const CommandLine& words) {
  const std::string_view name = words.Arg(0);
  server::Bans().BanName(name);
  const bool saved = server::SaveBans();
  server::Socket socket = net::kNoSocket;
  if (world::FindInPlayByName(name, &socket) != nullptr) RemoveConnection(socket, kNameBanned, {});
  return "Banned the character " + std::string(name) + ".\n" +
         (saved ? "" : "The bans file could not be written; see the server's log.\n");
}

std::string ListBans(std::string_view, const CommandLine&) {
  server::Bans().Expire(static_cast<std::int64_t>(std::time(nullptr)));
  std::string table;
  for (const server::AddressBan& ban : server::Bans().Addresses()) {
    std::string until = "for ever";
    if (ban.until != 0) {
      const std::time_t t = static_cast<std::time_t>(ban.until);
      char text[32];
      std::tm utc{};
      ::gmtime_r(&t, &utc);
      std::strftime(text, sizeof text, "until %Y-%m-%d %H:%M UTC", &utc);
      until = text;
    }
    table += "address " + server::BlockText(ban.block) + "  " + until;
    if (!ban.reason.empty()) table += "  " + server::EscapeForLog(ban.reason);
    table += "\n";
  }
  for (const std::string& name : server::Bans().Names()) table += "name " + name + "\n";
  return table.empty() ? "No bans.\n" : table;
}

std::string Mute(std::string_view, const CommandLine& words) {
  int minutes = 0;
  std::size_t next = 1;
  if (!OptionalMinutes(words, minutes, next)) return "The minutes must be 0 to " + std::to_string(kMaxMinutes) + ".\n";
  const auto until = minutes == 0 ? commands::MuteClock::time_point::max()
                                  : commands::MuteClock::now() + std::chrono::minutes(minutes);
  commands::Mute(words.Arg(0), until);
  return "Muted " + std::string(words.Arg(0)) + " " + ForMinutes(minutes) + ".\n";
}

std::string Unmute(std::string_view, const CommandLine& words) {
  if (!commands::Unmute(words.Arg(0))) return std::string(words.Arg(0)) + " is not muted.\n";
  return "Unmuted " + std::string(words.Arg(0)) + ".\n";
}

std::string Announce(std::string_view line, const CommandLine& words) {
  const std::string_view text = RestFrom(line, words, 0);
  if (commands::HasControlCharacter(text)) return "Control characters are not allowed.\n";
  server::TellEveryone("[Announcement] " + std::string(text));
  return "Announced.\n";
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

// A new password and its hash, made before ConnectionLock is taken (a hash costs about
// 20 ms that the game should not wait for). Used by the accept thread alone.
struct NewSecret {
  std::string password;
  std::optional<std::string> hash;
};
NewSecret Prepared;

std::string Password(std::string_view, const CommandLine& words) {
  world::Character* c = world::FindInPlayByName(words.Arg(0));
  if (c == nullptr) c = world::FindStoredByName(words.Arg(0));
  if (c == nullptr) return "No character called " + std::string(words.Arg(0)) + ".\n";
  if (!Prepared.hash) return "The password could not be hashed; it is unchanged.\n";
  world::SetStoredPassword(*c, *Prepared.hash);
  return "The new password of " + c->name + " is: " + Prepared.password + "\n";
}

std::string Shutdown(std::string_view, const CommandLine& words) {
  if (words.Arg(0) == "cancel") {
    if (!server::CancelShutdown()) return "No shutdown is coming.\n";
    server::TellEveryone("The shutdown is called off.");
    return "Shutdown cancelled.\n";
  }
  int seconds = 0;
  if (words.ArgCount() > 0 && !ReadCount(words.Arg(0), kMaxShutdownSeconds, seconds)) {
    return "format: shutdown [seconds|cancel]\n";
  }
  server::ScheduleShutdown(seconds);
  if (seconds == 0) return "Shutting down now.\n";
  return "Shutting down in " + server::TimeLeftText(seconds) + ".\n";
}

std::string Save(std::string_view, const CommandLine&) {
  return TimedSave() ? "World saved.\n" : "The save failed; see the server's log.\n";
}

std::string Status(std::string_view, const CommandLine&) {
  const auto now = std::chrono::steady_clock::now();
  std::map<std::string, int> doors;
  for (const server::ConnectionSummary& c : server::Connections().Summaries()) ++doors[c.door];
  std::string text = "uptime " + Seconds(now - server::ServerStartTime()) + "\n";
  text += "players in play " + std::to_string(world::InPlay().size()) + "\n";
  text += "connections";
  if (doors.empty()) text += " 0";
  for (const auto& [door, count] : doors) text += " " + door + "=" + std::to_string(count);
  text += "\n";
  struct stat info{};
  if (::stat(std::string(persist::kSaveFilePath).c_str(), &info) == 0) {
    const auto age = std::time(nullptr) - info.st_mtime;
    text += "save age " + Seconds(std::chrono::seconds(age < 0 ? 0 : age)) + "\n";
  } else {
    text += "save age never saved\n";
  }
  if (persist::SaveFailedLast()) text += "last save FAILED\n";
  const auto tick = std::chrono::duration<double, std::milli>(server::LastTickDuration()).count();
  char line[64];
  std::snprintf(line, sizeof line, "last tick %.3f ms\n", tick);
  text += line;
  return text;
}

// Every console command, with the words it needs at least.
struct Entry {
  AdminCommand command;
  std::size_t needs;
};
constexpr Entry kAdminCommands[] = {
    {{"who", "who", Who}, 0},
    {{"kick", "kick NAME [reason]", Kick}, 1},
    {{"announce", "announce TEXT", Announce}, 1},
    {{"shutdown", "shutdown [seconds|cancel]", Shutdown}, 0},
    {{"status", "status", Status}, 0},
    {{"save", "save", Save}, 0},
    {{"ban", "ban ADDRESS|CIDR [minutes] [reason]", Ban}, 1},
    {{"unban", "unban ADDRESS|CIDR|NAME", Unban}, 1},
    {{"bans", "bans", ListBans}, 0},
    {{"ban-name", "ban-name NAME", BanName}, 1},
    {{"mute", "mute NAME [minutes]", Mute}, 1},
    {{"unmute", "unmute NAME", Unmute}, 1},
    {{"password", "password NAME", Password}, 1},
};

std::string Usage() {
  std::string text = "Commands:\n";
  for (const Entry& e : kAdminCommands) text += "  " + std::string(e.command.usage) + "\n";
  return text;
}

}  // namespace

std::string AdminSocketPath() {
  if (const char* path = std::getenv("PELTHOLLOW_ADMIN_SOCKET"); path != nullptr && *path != '\0')
    return path;
  return "pelthollow.sock";
}

std::string RunAdminCommand(std::string_view line) {
  const CommandLine words = commands::SplitWords(line);
  Prepared = {};
  if (words.command == "password") {
    Prepared.password = NewPassword();
    Prepared.hash = base::HashPassword(Prepared.password);
  }
  std::lock_guard<server::FairLock> guard(server::ConnectionLock);
  server::Log("Admin: " + server::EscapeForLog(line) + "\n");
  if (words.command == "help") return Usage();
  for (const Entry& e : kAdminCommands) {
    if (words.command != e.command.word) continue;
    if (words.ArgCount() < e.needs || (e.needs > 0 && words.Arg(0).empty())) {
      return "format: " + std::string(e.command.usage) + "\n";
    }
    return e.command.handler(line, words);
  }
  return "Unknown command.\n" + Usage();
}

int RunAdminClient(int argc, const char* const* argv) {
  std::string command;
  for (int i = 2; i < argc; ++i) {
    if (i > 2) command += ' ';
    command += argv[i];
  }
  if (command.empty()) command = "help";
  std::string path = AdminSocketPath();
  // Away from the server's folder, the packaged service's console is the one meant.
  struct stat info{};
  if (std::getenv("PELTHOLLOW_ADMIN_SOCKET") == nullptr && ::stat(path.c_str(), &info) != 0 &&
      ::stat(kServiceSocket, &info) == 0) {
    path = kServiceSocket;
  }
  std::string answer;
  int error = 0;
  if (!server::SendAdminCommand(path, command, answer, error)) {
    std::cerr << "Cannot reach the server's console at " << path << ": " << std::strerror(error)
              << "\n(Is the server running? Run this in its folder as its user, or set "
                 "PELTHOLLOW_ADMIN_SOCKET.)\n";
    return 1;
  }
  std::cout << answer << std::flush;
  return 0;
}

}  // namespace app
