// Hands a connection layer to a fresh one as an upgrade does between two processes:
// the fresh layer takes in the old one's record over the same descriptors, which copies
// keep open here while the old layer closes its own. For the tests and fuzzers that
// drive a layer themselves.
#pragma once

#include <unistd.h>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "connection/connection_layer.h"
#include "core/connection_lock.h"
#include "core/outbox.h"

// `layer` becomes `next` (made and given the same doors while the old one still held
// its descriptors), which the Outbox delivers to from then on; returns what was carried
// and, in `adopted`, what `next` took in. A TLS connection is ended rather than carried.
// REQUIRES: ConnectionLock not held, and no turn of `layer` running.
inline connection::CarriedLayer HandOver(std::unique_ptr<connection::ConnectionLayer>& layer,
                                         std::unique_ptr<connection::ConnectionLayer> next,
                                         std::vector<core::Socket>& adopted) {
  connection::CarriedLayer carried;
  {
    std::lock_guard<core::FairLock> guard(core::ConnectionLock);
    std::vector<core::Socket> left;
    carried = layer->Carry(left);
    if (!left.empty()) {  // as an upgrade does: those told and let go, the rest carried
      layer->EndUncarried(left, "The server was upgraded.");
      left.clear();
      carried = layer->Carry(left);
    }
  }
  std::vector<std::pair<int, int>> copies;
  for (const auto* sockets : {&carried.connections, &carried.drains}) {
    for (const int fd : *sockets) copies.emplace_back(fd, ::dup(fd));
  }
  layer = std::move(next);
  for (const auto& [fd, copy] : copies) {
    ::dup2(copy, fd);
    ::close(copy);
  }
  std::lock_guard<core::FairLock> guard(core::ConnectionLock);
  adopted = layer->Adopt(carried);
  return carried;
}
