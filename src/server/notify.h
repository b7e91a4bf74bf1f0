// The service manager's notify protocol, spoken directly (no libsystemd): each state is
// one datagram of "NAME=value" lines to the Unix socket that $NOTIFY_SOCKET names, a
// path or, after an "@", an abstract name. Without NOTIFY_SOCKET every call does
// nothing. OpenNotify runs on the main thread before any other thread exists; Notify
// may then be called from any thread.
#pragma once

#include <string_view>

#include "base/status.h"

namespace server {

// Reads NOTIFY_SOCKET and makes the socket Notify sends from. Ok when it is ready, and
// when the variable is unset or empty (Notify then does nothing). A Failure when the
// value names no Unix socket (not "/" or "@" first, or too long), a SystemError when
// no socket can be made; Notify then does nothing either.
base::Status OpenNotify();

// Sends `state` ("READY=1", "WATCHDOG=1", "STOPPING=1") in one datagram, never waiting
// (a manager that does not read cannot stall the caller). Ok when it is sent or there is
// nowhere to send it; a SystemError when sendto fails (EAGAIN too), which changes
// nothing: the next call tries again.
base::Status Notify(std::string_view state);

}  // namespace server
