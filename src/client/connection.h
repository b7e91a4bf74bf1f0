// The client's side of the connection: the receive thread turns the server's frames
// into texts in IncomingTexts and wakes the main thread through a pipe, which the main
// thread waits on instead of polling. IncomingLock guards IncomingTexts and
// IncomingEnd; the receive thread appends, the main thread takes.
#pragma once

#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

#include "base/status.h"
#include "client/link.h"

namespace client {

// The longest text kept whole, in bytes. Server texts have no set maximum; this only
// bounds what a misbehaving server can make the client hold.
inline constexpr std::size_t kMaxTextBytes = std::size_t{16} << 20;

// Shown in place of a text longer than kMaxTextBytes.
inline constexpr char kTextTooLong[] = "(a text too long to show was left out)";

// State below is protected by IncomingLock.
extern std::mutex IncomingLock;
extern std::deque<std::string> IncomingTexts;  // one entry per frame, oldest first
extern ReceiveEnd IncomingEnd;

// A pipe the main thread sleeps on; any thread, or a signal handler, writes a byte to
// wake it. Both ends are non-blocking and close on exec.
struct WakePipe {
  int readFd = -1;
  int writeFd = -1;
};

// Opens the pipe; fails with the errno of pipe2 when it cannot.
base::Status OpenWakePipe(WakePipe& pipe);
void CloseWakePipe(WakePipe& pipe);

// Writes one byte to a wake pipe's write end. Async-signal-safe; keeps errno. A full
// pipe already holds a wake-up, so a byte that does not fit is not needed.
void Wake(int writeFd);

// Reads every byte waiting in a wake pipe's read end, without blocking.
void DrainWake(int readFd);

// Thread body: receives from `server` until the connection ends, splits the text at NUL
// bytes (a frame cut over several reads is one text, several frames in one read are
// several texts, in order) and appends each text to IncomingTexts. At the end it sets
// IncomingEnd. Writes a byte to `wakeFd` after every read that added texts and once at
// the end. Link::Stop from another thread ends it.
void ReceiveLoop(Link& server, int wakeFd);

// Moves every queued text, oldest first, to the back of `texts`, and copies
// IncomingEnd to `end`, under IncomingLock.
void TakeIncoming(std::deque<std::string>& texts, ReceiveEnd& end);

// Empties IncomingTexts and clears IncomingEnd (tests, and before a new connection).
void ResetIncoming();

}  // namespace client
