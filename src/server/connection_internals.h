// What the two halves of the connection layer share: connections.cpp (records,
// reading, sweeping, ending, the input thread) and output.cpp (writing frames and
// backlogs). Not for other modules. Everything here requires ConnectionLock.
#pragma once

#include "server/connections.h"

namespace server::internal {

// connections.cpp
Connection* Find(Socket s);  // the live connection of a handle, or nullptr
bool OutputWanted(const Connection& c);
bool IsPaused(const Connection& c);
void UpdateInterest(Connection& c);
void NoteBacklogSize(Connection& c);  // after the backlog grew or shrank
void BeginEnding(Connection& c, ConnectionState why);
void Wake();  // the input thread has work
bool OnInputThread();
void MarkInputThread();

// output.cpp
void SendBacklog(Connection& c);  // as much as the socket takes
void WriteSome();                 // the backlogs of the first connections waiting
bool OutputWaiting();             // backlogs wait for WriteSome

}  // namespace server::internal
