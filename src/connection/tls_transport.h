// TLS beneath any codec: a transport over a sans-I/O tls::ServerSession. The
// handshake and the record crypto run on the input thread without ConnectionLock, as
// every transport's I/O does; the codec starts once the handshake is done.
#pragma once

#include <memory>

#include "connection/transport.h"
#include "tls/tls_server.h"

namespace connection {

// A TLS transport for one accepted connection, over `context` (kept alive as long as
// the connection lives, so a reloaded certificate leaves it be).
std::unique_ptr<Transport> MakeTlsTransport(std::shared_ptr<const tls::ServerContext> context);

}  // namespace connection
