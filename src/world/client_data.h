// What a client that asked for structured data (GMCP) is told beside the game's text:
// its character, its cell and who is on it, its queue of steps, and the speech it
// hears. Each function builds its message only for connections whose client takes its
// package (core::DataWanted), so clients of the game port cost nothing. Requires
// ConnectionLock; messages go out with the next FlushOutbox.
#pragma once

#include <cstdint>
#include <string_view>

#include "world/character.h"

namespace world {

// What a client is told of its own character once, as it enters play: Char.Name,
// Char.Status, Char.Vitals, Room.Info and Char.Queue (Room.Players goes to the whole
// cell, this client among them).
void TellClientEverything(Socket connection);

// Room.Info of the connection's cell, after a step.
void TellRoomInfo(Socket connection);

// Room.Players to every connection in play on (x, y), after someone came or went.
void TellRoomPlayers(std::int32_t x, std::int32_t y);

// Char.Queue: the steps the connection's character has queued.
void TellQueue(Socket connection);

// Comm.Channel.Text: `listener` heard `talker` on `channel` ("say", "yowl",
// "whisper") say `text`.
void TellSpeech(Socket listener, std::string_view channel, const Character& talker,
                std::string_view text);

}  // namespace world
