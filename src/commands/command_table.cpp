// The command words in the order they are tried, the one dispatcher that scans them,
// and beside them the help texts that describe them.
#include <string_view>

#include "commands/handlers.h"
#include "core/connection_lock.h"

namespace commands {

namespace {

// Every command word, in the order they are tried; the first match wins.
constexpr Command kCommands[] = {
    {"help", Needs::Anything, Help},      {"setup", Needs::NotInPlay, Setup},
    {"look", Needs::InPlay, Look},        {"say", Needs::InPlay, Say},
    {"yowl", Needs::InPlay, Yowl},        {"whisper", Needs::InPlay, Whisper},
    {"n", Needs::InPlay, North},          {"north", Needs::InPlay, North},
    {"s", Needs::InPlay, South},          {"south", Needs::InPlay, South},
    {"e", Needs::InPlay, East},           {"east", Needs::InPlay, East},
    {"w", Needs::InPlay, West},           {"west", Needs::InPlay, West},
    {"follow", Needs::InPlay, Follow},    {"status", Needs::InPlay, Status},
    {"navigate", Needs::InPlay, Navigate}, {"login", Needs::NotInPlay, Login},
    {"time", Needs::InPlay, Time},        {"stop", Needs::InPlay, Stop},
    {"password", Needs::InPlay, Password},
    // quit, and what players of other MUDs type to leave.
    {"quit", Needs::Anything, Quit},      {"logout", Needs::Anything, Quit},
    {"exit", Needs::Anything, Quit},
    {"screenreader", Needs::Anything, ScreenReader},
};


struct HelpLine {
  const char* command;
  const char* text;
};

constexpr HelpLine kNotInPlay[] = {
    {"setup", "creates a character"},
    {"login", "takes control of an existing character on the server"},
};

constexpr HelpLine kGeneral[] = {
    {"help", "displays this message"},
    {"say", "sends a message to those within the area"},
    {"yowl", "sends a message to those within the area and others nearby"},
    {"whisper", "sends a message to a specific cat"},
    {"status", "shows vitals and... other things"},
    {"time", "displays the time"},
    {"look", "shows what's around you, or the description of someone"},
    {"quit", "leaves the game"},
    {"screenreader", "turns screen reader mode on or off"},
    {"password", "changes your password"},
};

constexpr HelpLine kMovement[] = {
    {"north", "moves one area north"},
    {"south", "moves one area south"},
    {"east", "moves one area east"},
    {"west", "moves one area west"},
    {"follow", "copies movements of another cat"},
    {"navigate", "displays direction to important landmarks"},
    {"stop", "forgets the movements you queued"},
};

constexpr HelpLine kCombat[] = {
    {"swat", "strikes foe with front paw"},
    {"kick", "strikes foe with back paw"},
    {"bite", "bites foe"},
    {"pounce", "jumps on foe's back"},
    {"repel", "gets a foe off your back"},
};

constexpr HelpLine kMating[] = {
    {"grab", "grabs someone, useful in many situations ;3"},
    {"hump", "an instinctual thrusting action that is known to produce pleasure and kits"},
    {"mount", "gets on someone's back but in a hot way this time"},
    {"safeword", "summons the force of skyfold to get you out of an uncomfy situation"},
};

template <std::size_t N>
void Send(const Context& context, const HelpLine (&lines)[N]) {
  for (const HelpLine& line : lines) {
    std::string text(line.command);
    text += '\t';
    text += line.text;
    context.Answer(text);
  }
}

}  // namespace

void Help(const Context& context, const CommandLine& line) {
  if (line.ArgCount() == 0) {
    context.Answer("help\tdisplays this message");
    if (context.world.characters.CharacterOf(context.connection) == nullptr) {
      Send(context, kNotInPlay);
    } else {
      for (const char* text : {"categories:", "general", "movement", "hunting (NOT IMPLEMENTED)",
                               "combat (NOT IMPLEMENTED)", "mating (NOT IMPLEMENTED)"}) {
        context.Answer(text);
      }
    }
    return;
  }
  const std::string_view category = line.Arg(0);
  if (category == "general") {
    Send(context, kGeneral);
  } else if (category == "movement") {
    Send(context, kMovement);
  } else if (category == "combat") {
    Send(context, kCombat);
  } else if (category == "mating") {
    Send(context, kMating);
  }  // any other word gets no answer
}

void Dispatch(const Context& context, const CommandLine& split) {
  ASSERT_CONNECTION_LOCK_HELD();
  for (const Command& command : kCommands) {
    if (split.command != command.word) continue;
    const bool inPlay = context.world.characters.CharacterOf(context.connection) != nullptr;
    if ((command.needs == Needs::InPlay && !inPlay) ||
        (command.needs == Needs::NotInPlay && inPlay)) {
      context.Answer(kNotValidNow);
    } else {
      command.handler(context, split);
    }
    return;
  }
  context.Answer(kUnknownCommand);
}

}  // namespace commands
