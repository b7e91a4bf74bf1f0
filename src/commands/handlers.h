// The command handlers, one group per file. Each runs with ConnectionLock held, for a
// connection already known to be in the state its command needs, and only queues its
// answers: the dispatcher flushes after it.
#pragma once

#include <string>
#include <string_view>

#include "commands/words.h"
#include "connection/bans.h"
#include "core/outbox.h"
#include "core/worker.h"
#include "core/socket_handle.h"
#include "world/world.h"

namespace commands {

class Interpreter;

// What a handler works on: what the interpreter keeps between lines, the world, where
// answers go, the worker for slow work, the bans, and whose line it runs. Refers to
// objects that live as long as the server, so an answer that comes later
// (core/worker.h) may keep a copy.
struct Context {
  Interpreter& interpreter;
  world::World& world;
  core::Outbox& outbox;
  core::Worker& worker;
  const connection::BanList& bans;
  core::Socket connection;

  // Queues `text` for the connection whose line this is.
  void Answer(std::string_view text) const { outbox.Queue(connection, text); }
};

// The table of command words, in the order they are tried.
enum class Needs { Anything, NotInPlay, InPlay };
using Handler = void (*)(const Context& context, const CommandLine& line);
struct Command {
  const char* word;
  Needs needs;
  Handler handler;
};

// command_table.cpp: runs the command `split` names for the context's connection
// (answering kNotValidNow or kUnknownCommand when it cannot), queueing its answers.
void Dispatch(const Context& context, const CommandLine& split);
void Help(const Context& context, const CommandLine& line);
// account.cpp
void Setup(const Context& context, const CommandLine& line);
void Login(const Context& context, const CommandLine& line);
void Quit(const Context& context, const CommandLine& line);
// True when a setup line holds every word Setup reads, in their shapes (the log masks
// its password only then).
bool SetupLineParses(const CommandLine& line);
// What every handler that hands a password to the worker shares. Whose the worker's job
// for the connection is. Busy: the worker's queue had no room for the job, told so and
// counted against the address as a failed login is, so that a flood of them cannot go
// on free. CountWrongPassword: a wrong password typed on the connection counts as a
// failed login, against its address and on the connection, whose end is asked for at
// the third (EndRequested); returns what the log says of it ("wrong password (2 of
// 3)"). REQUIRES: ConnectionLock held.
core::JobOwner OwnerOf(const Context& context);
void Busy(const Context& context);
std::string CountWrongPassword(const Context& context);
// password.cpp
void Password(const Context& context, const CommandLine& line);
// True when a password line holds both words Password reads.
bool PasswordLineParses(const CommandLine& line);
// info.cpp
void Look(const Context& context, const CommandLine& line);
void Status(const Context& context, const CommandLine& line);
void Navigate(const Context& context, const CommandLine& line);
void Time(const Context& context, const CommandLine& line);
// speech.cpp
void Say(const Context& context, const CommandLine& line);
void Yowl(const Context& context, const CommandLine& line);
void Whisper(const Context& context, const CommandLine& line);
// screen_reader.cpp
void ScreenReader(const Context& context, const CommandLine& line);
// movement.cpp
void North(const Context& context, const CommandLine& line);
void South(const Context& context, const CommandLine& line);
void East(const Context& context, const CommandLine& line);
void West(const Context& context, const CommandLine& line);
void Follow(const Context& context, const CommandLine& line);
void Stop(const Context& context, const CommandLine& line);

// The character in play of the context's connection, for the handlers of commands that
// need one: the dispatcher runs those only for connections in play, and no handler
// checks again. REQUIRES: ConnectionLock held; the connection is in play.
world::Character& Actor(const Context& context);

inline constexpr const char* kNotValidNow = "This command is not valid for you right now.";
inline constexpr const char* kUnknownCommand = "Unknown command.";
inline constexpr const char* kNotUtf8 = "Your client sent text that is not UTF-8; set its encoding to UTF-8.";
inline constexpr const char* kNoControlBytes = "Control characters are not allowed.";
inline constexpr const char* kSetupFormat =
    "format: setup name password pronouns age(moons) role clan \" description \" genitalia nipples";
inline constexpr const char* kNameTaken = "Name already taken. Log in, or choose a different name.";
inline constexpr const char* kCharacterCreated = "Character created. Entering game...";
inline constexpr const char* kIncorrectPassword = "Incorrect password.";
inline constexpr const char* kTooManyFailedLogins = "Too many failed logins. Try again later.";
// The worker's queue is full, or the memory for a hash could not be had.
inline constexpr const char* kBusy = "The server is busy. Try again in a moment.";
// While the world cannot be saved, nothing is promised that a crash would lose.
inline constexpr const char* kCannotBeSaved = "The world cannot be saved right now. Try again later.";
inline constexpr const char* kMovementQueued = "Movement queued.";
inline constexpr const char* kTooManyMovements = "Too many movements queued.";
inline constexpr const char* kTooFarAway = "Too far away.";
inline constexpr const char* kInvalidCharacter = "Invalid character.";  // look's answer too

}  // namespace commands
