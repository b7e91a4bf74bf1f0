// The metrics door: one HTTP request a connection, GET /metrics answered with what
// `render` gives (the OpenMetrics text format), anything else with 404 or 400; then
// the connection ends. Its peers never play. No I/O, like every codec; `render` runs
// where the codec does, with ConnectionLock held.
#pragma once

#include <functional>
#include <string>

#include "connection/codec.h"

namespace web {

connection::CodecMaker MetricsCodecMaker(std::function<std::string()> render);

}  // namespace web
