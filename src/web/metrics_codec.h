// The metrics door: one HTTP request a connection, read and answered by the web door's
// HTTP code (web/http_answer.h). GET /metrics is answered with what `render` gives in
// the format the Accept header chooses (web_rules.h), anything else with 404, 405,
// 501 or 400; then the connection ends. Its peers never play. No I/O, like every codec;
// `render` runs where the codec does, with ConnectionLock held.
#pragma once

#include <functional>
#include <string>

#include "connection/codec.h"
#include "web/web_rules.h"

namespace web {

// The metrics in `format`, whole.
using RenderMetrics = std::function<std::string(MetricsFormat format)>;

connection::CodecMaker MetricsCodecMaker(RenderMetrics render);

}  // namespace web
