// What the connection layer hands to the next build of the server at an upgrade: every
// connection it can carry, as plain values, and the counts that outlive connections.
// Made by ConnectionLayer::Carry in the old process, written and read by the upgrade's
// state format (server/upgrade_state.h), taken in by ConnectionLayer::Adopt in the new
// one. The socket of each connection is the same descriptor in both processes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/address.h"
#include "connection/address_limits.h"
#include "connection/connection.h"
#include "connection/transport.h"

namespace connection {

struct CarriedConnection {
  Socket socket = kNoSocket;
  std::uint64_t order = 0;
  std::string door;  // the door's name: the new process's door of that name takes it
  Peer peer;
  Endpoints endpoints;  // what its codec was made from
  bool started = false;
  bool admitted = false;
  ConnectionState state = ConnectionState::Open;
  int recvError = 0;
  std::string why;
  std::string codec;    // the codec's own record (Codec::SaveState)
  std::string waiting;  // complete input frames, as Connection::waiting holds them
  std::string backlog;  // output not yet handed to the socket, in order after `sending`
  std::string sending;  // output handed to the socket and not yet taken by it
  std::string goodbye;
  std::string received;  // plaintext read and not yet given to the codec
  // Before its transport: a connection of a proxied door still reading its PROXY
  // header keeps the bytes it has fed the header reader, read again by the new one.
  Connection::ProxyStep proxyStep = Connection::ProxyStep::None;
  std::string proxyBytes;
  bool forwarded = false;
  bool readEnded = false;
  IoResult readEnd;
  int writeError = 0;
  // Times on the monotonic clock (CarriedTime).
  std::int64_t pace = 0;
  std::int64_t pausedUntil = 0;
  std::int64_t overSince = 0;
  std::int64_t deadline = 0;
  std::int64_t connected = 0;
  std::int64_t lastLine = 0;
  std::int64_t budget = 0;
  std::int64_t readPausedUntil = 0;
};

// A socket closed for writing whose peer's last bytes are being read and dropped.
struct CarriedDrain {
  Socket socket = kNoSocket;
  std::int64_t until = 0;
  std::uint64_t dropped = 0;
};

struct CarriedLayer {
  std::vector<CarriedConnection> connections;  // in handle order
  std::vector<CarriedDrain> drains;
  std::uint64_t nextOrder = 1;
  std::uint64_t linesHandled = 0;
  std::uint64_t bannedRefusals = 0;
  CarriedBook book;
  std::vector<std::pair<base::Address, std::int64_t>> keyBudgets;  // each limited key's byte budget
};

}  // namespace connection
