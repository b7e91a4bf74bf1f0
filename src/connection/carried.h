// What the connection layer hands to the next build of the server at an upgrade: its
// record (connection/connection_record.h), written by ConnectionLayer::Carry in the old
// process and taken in by ConnectionLayer::Adopt in the new one, and the descriptors it
// names, which stay open across the exec (each the same descriptor in both processes).
// The upgrade's state (server/upgrade_state.h) frames the record and looks no further.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/socket_handle.h"

namespace connection {

struct CarriedLayer {
  std::string record;
  std::vector<core::Socket> connections;  // the carried connections' sockets, in handle order
  std::vector<core::Socket> drains;       // sockets closed for writing, still read and dropped
};

// Takes in the layer's record of an upgrade's state, of this build or another: `layer`
// gets the record and the descriptors it names. False when the record makes no sense
// (a damaged record, a connection's that does not add up); `layer` is then unspecified.
bool ReadCarriedLayer(std::string_view record, CarriedLayer& layer);

}  // namespace connection
