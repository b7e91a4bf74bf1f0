// What the server measures of itself, for the console's status and the metrics door
// (PELTHOLLOW_METRICS_PORT). Every function here requires ConnectionLock.
#pragma once

#include <cstddef>
#include <string>

namespace app {

// A save now, as at shutdown, timed: true when it worked.
bool TimedSave();
// The tick's save: its snapshot handed to the background saver, timed.
void TimedSaveInBackground();

// Passwords waiting to be hashed: none until logins hash them.
std::size_t HashQueueLength();

// Everything measured, in the OpenMetrics text format, "# EOF" last.
std::string RenderMetrics();

}  // namespace app
