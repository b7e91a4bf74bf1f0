// Transport: how a connection's bytes cross between its socket and its codec, in the
// manner of Redis' ConnectionType: read, write, wants-write, close. Plain TCP (and
// Unix sockets) is one; TLS on memory BIOs sits here too, under any codec, without the
// connection layer's rules knowing which it has. A transport is used by the input
// thread alone, outside ConnectionLock: a TLS handshake or its record crypto never
// holds up the game. Work of a transport's own may run on another thread (a TLS
// handshake's steps on a handshake thread): it wakes the input thread when it is done.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "core/socket_handle.h"

namespace connection {


// What one read or write of a transport came to.
enum class IoState {
  Done,        // bytes moved (maybe none the caller sees: a TLS record in progress)
  WouldBlock,  // nothing now: wait for the socket
  Closed,      // the peer closed its sending side (a read of 0, a TLS close_notify)
  Reset,       // the peer reset the connection
  Failed,      // any other failure; `error` tells it
};

struct IoResult {
  IoState state = IoState::Done;
  int error = 0;          // errno for Failed on a socket; 0 for a protocol failure
  std::size_t bytes = 0;  // plaintext bytes taken (Send) or appended (Receive)
  std::string why;        // a protocol failure in words ("TLS handshake: ..."), for the log

  // Its record at an upgrade (base/field_list.h).
  template <class Io, class Self>
  static void Fields(Io& io, Self& r) {
    io.Unsigned(1, r.state, IoState::Failed);
    io.Signed(2, r.error);
    io.Unsigned(3, r.bytes);
    io.Bytes(4, r.why);
  }
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Reads what has arrived on `s` (at most scratch.size() bytes from the socket, read
  // into `scratch`, the caller's buffer) and appends the plaintext it carried to `out`.
  // WouldBlock when nothing came; Closed, Reset or Failed end the reading.
  IoResult Receive(core::Socket s, std::span<char> scratch, std::string& out);

  // Takes bytes that were read from `s` by someone else (those after a PROXY header)
  // as if Receive had read them.
  virtual IoResult Take(core::Socket s, std::string_view bytes, std::string& out) = 0;

  // The peer closed its sending side: Closed, or a failure of the transport's own (a
  // TLS connection cut without its close_notify).
  virtual IoResult TakeEnd(core::Socket s) {
    (void)s;
    return {IoState::Closed, 0, 0, {}};
  }

  // Sends as much of `plain` as the socket takes now; `bytes` says how much of it
  // was taken (the rest is the caller's to offer again). Failed or Reset when the peer
  // can take no more.
  virtual IoResult Send(core::Socket s, std::string_view plain) = 0;

  // True while the transport holds bytes of its own to send before the socket is idle
  // (handshake records, encrypted records the socket did not take): the caller asks
  // for writability and calls Send with nothing new.
  virtual bool WantsWrite() const { return false; }

  // False until the transport can carry the codec's bytes (a TLS handshake in
  // progress); the codec starts when it turns true.
  virtual bool Ready() const { return true; }

  // For a transport whose work may go on elsewhere: `wake` (callable from any thread)
  // tells the owner that the work is done, and the owner then calls Resume on its own
  // thread. Meanwhile the owner reads, writes and closes as ever; the transport holds
  // what it cannot yet use. Given once, before the first byte; a transport without it
  // does all its work in its own calls.
  virtual void SetWake(std::function<void()> wake) { (void)wake; }

  // Takes up what the work elsewhere left, as Take would have: the plaintext after it
  // appended to `out`, its records sent, and its end (Closed, Failed). WouldBlock when
  // no work was out.
  virtual IoResult Resume(core::Socket s, std::string& out) {
    (void)s;
    (void)out;
    return {IoState::WouldBlock, 0, 0, {}};
  }

  // Begins the polite end of the connection from our side: a TLS close_notify, sent
  // as far as the socket takes it now. Nothing for plain TCP.
  virtual void Close(core::Socket s) { (void)s; }

  // What the log says of the transport once it is ready ("TLSv1.3
  // TLS_AES_128_GCM_SHA256"); empty for plain TCP.
  virtual std::string Description() const { return {}; }
};

// Plain TCP, or a Unix socket: recv and send, nothing of its own.
std::unique_ptr<Transport> MakePlainTransport();

// Reads once from `s` into `scratch`: the bytes read (Done), WouldBlock, Closed (0
// bytes), Reset or Failed.
IoResult ReadSocket(core::Socket s, std::span<char> scratch, std::string_view& bytes);

// Sends as much of `bytes` as the socket takes now, never raising SIGPIPE.
IoResult WriteSocket(core::Socket s, std::string_view bytes);

}  // namespace connection
