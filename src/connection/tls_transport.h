// TLS beneath any codec: a transport over a sans-I/O tls::ServerSession. The record
// crypto runs on the input thread without ConnectionLock, as every transport's I/O
// does; the handshake's costly steps (up to the server's signature) run on a handshake
// thread once the owner has given a wake (Transport::SetWake), and the codec starts
// once the handshake is done.
#pragma once

#include <memory>

#include "connection/transport.h"
#include "tls/handshake_threads.h"
#include "tls/tls_server.h"

namespace connection {

// A TLS transport for one accepted connection, over `context` (kept alive as long as
// the connection lives, so a reloaded certificate leaves it be). Its costly handshake
// steps run on `threads` once it has a wake; with null threads, or no wake, in its own
// calls. It tells `threads` when its handshake begins and ends; they outlive it.
std::unique_ptr<Transport> MakeTlsTransport(std::shared_ptr<const tls::ServerContext> context,
                                            tls::HandshakeThreads* threads = &tls::HandshakeThreads::Process());

}  // namespace connection
