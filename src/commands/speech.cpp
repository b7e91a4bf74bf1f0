// say, yowl and whisper: one speech line, heard by the speaker's cell, by the cells
// around it, or by one character on the same cell, once what it costs its listeners is
// allowed (commands/allowances.h).
#include <span>
#include <string>
#include <string_view>

#include "commands/allowances.h"
#include "commands/handlers.h"
#include "commands/interpreter.h"
#include "commands/mutes.h"
#include "core/connection_lock.h"
#include "world/client_data.h"
#include "world/proximity.h"

namespace commands {

namespace {

// The speaker's name, ": ", and the argument words from `first` on, each followed by
// one blank (an empty word leaves just its blank).
std::string SpeechLine(const world::Character& speaker, const CommandLine& line,
                       std::size_t first) {
  std::string text = speaker.name;
  text += ": ";
  for (std::size_t i = first; i < line.ArgCount(); ++i) {
    text += line.args[i];
    text += ' ';
  }
  return text;
}

// True (after answering) when the speaker is muted.
bool RefusedForMute(const Context& context, const world::Character& speaker) {
  if (!context.interpreter.mutes.Muted(speaker.name)) return false;
  context.Answer(kMuted);
  return true;
}

// True (after answering) when a word of the line holds a control character: such
// speech could show listeners a line that seems to come from someone else.
bool RefusedForControlBytes(const Context& context, const CommandLine& line) {
  for (const std::string_view word : line.args) {
    if (HasControlCharacter(word)) {
      context.Answer(kNoControlBytes);
      return true;
    }
  }
  return false;
}

// What the speaker said, for clients told speech as data: the words without the
// speaker's name.
std::string_view Words(const std::string& text, const world::Character& speaker) {
  std::string_view words(text);
  words.remove_prefix(speaker.name.size() + 2);
  if (!words.empty() && words.back() == ' ') words.remove_suffix(1);
  return words;
}

// The speech line as listeners in screen-reader mode hear it: the kind in words
// ("Ash says: hi"), without the trailing blank.
std::string SpokenLine(const std::string& text, const world::Character& speaker, std::string_view verb) {
  const std::string_view words = Words(text, speaker);
  std::string spoken = speaker.name;
  spoken.append(" ").append(verb).append(":");
  if (!words.empty()) spoken.append(" ").append(words);
  return spoken;
}

// Comm.Channel.Text to every listener on `cell`.
void TellSpeechAt(const Context& context, const world::Cell& cell, std::string_view channel,
                  const world::Character& speaker, const std::string& text) {
  if (!context.outbox.AnyDataWanted()) return;
  for (const core::Socket listener : context.world.characters.OccupantsOf(cell.x, cell.y)) {
    world::TellSpeech(context.outbox, listener, channel, speaker, Words(text, speaker));
  }
}

// The characters in play on `cells`, who hear a line told to them.
std::size_t HearersOf(const Context& context, std::span<const world::Cell> cells) {
  std::size_t hearers = 0;
  for (const world::Cell& cell : cells)
    hearers += context.world.characters.OccupantsOf(cell.x, cell.y).size();
  return hearers;
}

// What say and yowl share: the line told to `cells`, once what it costs is allowed.
void SpeakTo(const Context& context, const CommandLine& line, std::span<const world::Cell> cells,
             std::string_view channel, std::string_view verb) {
  const world::Character* speaker = &Actor(context);
  if (line.ArgCount() == 0) return context.Answer("format: " + std::string(channel) + " message");
  if (RefusedForMute(context, *speaker)) return;
  if (RefusedForControlBytes(context, line)) return;
  const std::string text = SpeechLine(*speaker, line, 0);
  if (context.interpreter.allowances.SpeechRefused(context.outbox, context.connection, text.size(),
                                                   cells, HearersOf(context, cells))) {
    return;
  }
  const std::string spoken = SpokenLine(text, *speaker, verb);
  for (const world::Cell& cell : cells) {
    world::TellArea(context.world, context.outbox, text, spoken, cell.x, cell.y);
    TellSpeechAt(context, cell, channel, *speaker, text);
  }
}

}  // namespace

void Say(const Context& context, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  const world::Character& speaker = Actor(context);
  const world::Cell here[] = {{speaker.x, speaker.y}};
  SpeakTo(context, line, here, "say", "says");
}

void Yowl(const Context& context, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  const world::Character& speaker = Actor(context);
  const world::NearbyCells nearby = world::NearbyCellsOf(speaker.x, speaker.y);
  SpeakTo(context, line, std::span<const world::Cell>(nearby.begin(), nearby.end()), "yowl",
          "yowls");
}

void Whisper(const Context& context, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  const world::Character* speaker = &Actor(context);
  if (line.ArgCount() == 0) return context.Answer("format: whisper character message");
  if (RefusedForMute(context, *speaker)) return;
  if (RefusedForControlBytes(context, line)) return;
  // The first character in play of that name is the listener, wherever it stands: a
  // save file may hold two characters of one name. An echo without a listener would
  // look as if it had been heard.
  core::Socket listener = core::kNoSocket;
  const world::Character* found = context.world.characters.FindInPlayByName(line.Arg(0), &listener);
  if (found == nullptr) return context.Answer(kInvalidCharacter);
  if (!world::SameArea(*found, *speaker)) return context.Answer(kTooFarAway);
  const std::string text = SpeechLine(*speaker, line, 1);
  const world::Cell here[] = {{speaker->x, speaker->y}};
  // The echo, and the listener.
  if (context.interpreter.allowances.SpeechRefused(context.outbox, context.connection, text.size(),
                                                   here, 2))
    return;
  const std::string spoken = SpokenLine(text, *speaker, "whispers");
  const world::ScreenReaders& modes = context.world.screenReaders;
  context.Answer(modes.On(context.connection) ? spoken : text);
  context.outbox.Queue(listener, modes.On(listener) ? spoken : text);
  world::TellSpeech(context.outbox, context.connection, "whisper", *speaker, Words(text, *speaker));
  world::TellSpeech(context.outbox, listener, "whisper", *speaker, Words(text, *speaker));
}

}  // namespace commands
