// A connection's descriptor, by which the server keys its tables and which it prints
// in log lines as an unsigned decimal number. The one name every layer uses for it.
#pragma once

namespace core {

using Socket = int;
inline constexpr Socket kNoSocket = -1;

}  // namespace core
