// say, yowl and whisper: one speech line, heard by the speaker's cell, by the cells
// around it, or by one character on the same cell, once what it costs its listeners is
// allowed (commands/allowances.h).
#include <span>
#include <string>
#include <string_view>

#include "commands/allowances.h"
#include "commands/handlers.h"
#include "commands/mutes.h"
#include "core/connection_lock.h"
#include "core/outbox.h"
#include "world/character.h"
#include "world/client_data.h"
#include "world/proximity.h"
#include "world/screen_reader.h"

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
bool RefusedForMute(Socket connection, const world::Character& speaker) {
  if (!Muted(speaker.name)) return false;
  core::QueueMessage(connection, kMuted);
  return true;
}

// True (after answering) when a word of the line holds a control character: such
// speech could show listeners a line that seems to come from someone else.
bool RefusedForControlBytes(Socket connection, const CommandLine& line) {
  for (const std::string_view word : line.args) {
    if (HasControlCharacter(word)) {
      core::QueueMessage(connection, kNoControlBytes);
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

// Comm.Channel.Text to every listener on (x, y).
void TellSpeechAt(std::int32_t x, std::int32_t y, std::string_view channel,
                  const world::Character& speaker, const std::string& text) {
  for (const Socket listener : world::OccupantsOf(x, y)) {
    world::TellSpeech(listener, channel, speaker, Words(text, speaker));
  }
}

// The characters in play on `cells`, who hear a line told to them.
std::size_t HearersOf(std::span<const world::Cell> cells) {
  std::size_t hearers = 0;
  for (const world::Cell& cell : cells) hearers += world::OccupantsOf(cell.x, cell.y).size();
  return hearers;
}

}  // namespace

void Say(Socket connection, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  const world::Character* speaker = &Actor(connection);
  if (line.ArgCount() == 0) return core::QueueMessage(connection, "format: say message");
  if (RefusedForMute(connection, *speaker)) return;
  if (RefusedForControlBytes(connection, line)) return;
  const std::string text = SpeechLine(*speaker, line, 0);
  const world::Cell here[] = {{speaker->x, speaker->y}};
  if (SpeechRefused(connection, text.size(), here, HearersOf(here))) return;
  world::TellArea(text, SpokenLine(text, *speaker, "says"), speaker->x, speaker->y);
  TellSpeechAt(speaker->x, speaker->y, "say", *speaker, text);
}

void Yowl(Socket connection, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  const world::Character* speaker = &Actor(connection);
  if (line.ArgCount() == 0) return core::QueueMessage(connection, "format: yowl message");
  if (RefusedForMute(connection, *speaker)) return;
  if (RefusedForControlBytes(connection, line)) return;
  const std::string text = SpeechLine(*speaker, line, 0);
  const world::NearbyCells nearby = world::NearbyCellsOf(speaker->x, speaker->y);
  const std::span<const world::Cell> cells(nearby.begin(), nearby.end());
  if (SpeechRefused(connection, text.size(), cells, HearersOf(cells))) return;
  const std::string spoken = SpokenLine(text, *speaker, "yowls");
  for (const world::Cell& cell : nearby) {
    world::TellArea(text, spoken, cell.x, cell.y);
    TellSpeechAt(cell.x, cell.y, "yowl", *speaker, text);
  }
}

void Whisper(Socket connection, const CommandLine& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  const world::Character* speaker = &Actor(connection);
  if (line.ArgCount() == 0) {
    return core::QueueMessage(connection, "format: whisper character message");
  }
  if (RefusedForMute(connection, *speaker)) return;
  if (RefusedForControlBytes(connection, line)) return;
  // The first character in play of that name is the listener, wherever it stands: a
  // save file may hold two characters of one name. An echo without a listener would
  // look as if it had been heard.
  Socket listener = net::kNoSocket;
  const world::Character* found = world::FindInPlayByName(line.Arg(0), &listener);
  if (found == nullptr) return core::QueueMessage(connection, kInvalidCharacter);
  if (!world::SameArea(*found, *speaker)) return core::QueueMessage(connection, kTooFarAway);
  const std::string text = SpeechLine(*speaker, line, 1);
  const world::Cell here[] = {{speaker->x, speaker->y}};
  if (SpeechRefused(connection, text.size(), here, 2)) return;  // the echo, and the listener
  const std::string spoken = SpokenLine(text, *speaker, "whispers");
  core::QueueMessage(connection, world::ScreenReaderOn(connection) ? spoken : text);
  core::QueueMessage(listener, world::ScreenReaderOn(listener) ? spoken : text);
  world::TellSpeech(connection, "whisper", *speaker, Words(text, *speaker));
  world::TellSpeech(listener, "whisper", *speaker, Words(text, *speaker));
}

}  // namespace commands
