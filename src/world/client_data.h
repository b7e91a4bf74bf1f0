// What a client that asked for structured data (GMCP) is told beside the game's text:
// its character, its cell and who is on it, its queue of steps, and the speech it
// hears. Each function builds its message only for connections whose client takes its
// package (Outbox::DataWanted), so clients of the game port cost nothing. Requires
// ConnectionLock; messages go out with the Outbox's next Flush.
#pragma once

#include <string_view>

#include "core/outbox.h"
#include "world/character.h"

namespace world {

// What a client is told of its own character once, as it enters play: Char.Name,
// Char.Status, Char.Vitals, Room.Info and Char.Queue (Room.Players goes to the whole
// cell, this client among them).
void TellClientEverything(const CharacterTable& characters, core::Outbox& outbox,
                          core::Socket connection);

// Room.Info of the connection's cell, after a step.
void TellRoomInfo(const CharacterTable& characters, core::Outbox& outbox, core::Socket connection);

// Room.Players to every connection in play on `cell`, after someone came or went.
void TellRoomPlayers(const CharacterTable& characters, core::Outbox& outbox, const Cell& cell);

// Char.Queue: the steps the connection's character has queued.
void TellQueue(const CharacterTable& characters, core::Outbox& outbox, core::Socket connection);

// Comm.Channel.Text: `listener` heard `talker` on `channel` ("say", "yowl",
// "whisper") say `text`.
void TellSpeech(core::Outbox& outbox, core::Socket listener, std::string_view channel,
                const Character& talker, std::string_view text);

}  // namespace world
