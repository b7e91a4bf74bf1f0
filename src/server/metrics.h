// What the server measures of itself, for the console's status and the metrics door
// (PELTHOLLOW_METRICS_PORT). Every function here requires ConnectionLock unless it says
// otherwise.
#pragma once

#include <chrono>
#include <string>

#include "connection/connection_layer.h"
#include "persist/saver.h"

namespace server {

// The tick's save: its snapshot handed to the background saver, timed; `done` as
// persist::SaveInBackground's.
void SaveInBackgroundTimed(persist::SaveDone done = nullptr);

// Notes how long one world tick took. Any thread.
void NoteTick(std::chrono::nanoseconds took);
std::chrono::nanoseconds LastTickDuration();

// When the server started (the monotonic clock). Any thread.
std::chrono::steady_clock::time_point ServerStartTime();

// Everything measured, in the OpenMetrics text format, "# EOF" last.
std::string RenderMetrics(const connection::ConnectionLayer& layer);

}  // namespace server
