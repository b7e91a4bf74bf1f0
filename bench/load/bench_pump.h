// The players' connections on the load generator's one epoll loop: connecting,
// sending a command, and taking in frames, each frame told to its player as the
// answer it waits for or as something unasked. Called from the phases in
// bench_client.cpp on the load generator's only thread.
#pragma once

#include <cstdint>
#include <string>

#include "bench_client.h"

namespace bench {

// Keeps `what` as the fleet's problem unless an earlier one is kept already.
void Note(Fleet& fleet, const std::string& what);

// Starts connecting player `index` to the fleet's port; a failure marks it Failed.
void StartConnect(Fleet& fleet, std::uint32_t index);

// Sends one command of player `index` and starts its clock.
void Send(Fleet& fleet, std::uint32_t index, Expectation expected);

// Waits for events until `untilNs` at the latest and handles one batch of them.
// Players that greeted or were answered go to fleet.finished.
void PumpOnce(Fleet& fleet, std::int64_t untilNs);

}  // namespace bench
