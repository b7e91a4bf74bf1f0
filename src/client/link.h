// Link: the client's connection to the server, plain TCP or TLS over it, and the only way
// its threads reach the socket: the receive thread receives; the main thread and line
// mode's reader send; the main thread stops it. sessionMutex_ gives a TLS session to one
// thread at a time; sendMutex_ keeps records in the order the session made them.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "base/status.h"
#include "net/socket.h"
#include "tls/tls_client.h"

namespace client {

// How receiving ended.
struct ReceiveEnd {
  bool ended = false;   // the receive thread has stopped
  int error = 0;        // errno of the failed read; 0 when the server closed or TLS failed
  std::string failure;  // over TLS, why the session failed ("the connection was cut
                        // without close_notify"); empty otherwise
};

// The longest a TLS handshake may take before the client gives up on the server.
inline constexpr std::chrono::seconds kHandshakeTimeout{10};

// Makes a TLS session that trusts the authorities of `options` and will check the
// server's certificate against options.host. On success sets `session`; on failure
// leaves it untouched, sets `words` and returns the session's failure (a CA file that
// does not load: "Error reading TLS CA file PATH: " with errno).
base::Status MakeTlsSession(const tls::ClientOptions& options,
                            std::unique_ptr<tls::ClientSession>& session, std::string& words);

class Link {
 public:
  // A plain TCP connection over `socket` (connected and blocking), which the link owns.
  explicit Link(core::Socket socket);
  ~Link();  // closes the socket
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Starts TLS over `socket` (connected and blocking, now the callee's) with `session`
  // (from MakeTlsSession with `options`): runs the handshake, at most kHandshakeTimeout.
  // On success sets `link` and returns ok; the plaintext that came with the handshake's
  // end is the first Receive's. On failure closes the socket, leaves `link` untouched,
  // sets `words` to what happened in words and returns the failure: "Error verifying
  // the server: " and the reason when the certificate does not verify ("certificate
  // verify failed: hostname mismatch"), "Error connecting over TLS: " and the reason
  // when the handshake fails otherwise (a server that speaks no TLS: "wrong version
  // number"), or "Error sending data: " or "Error getting data: " with errno.
  static base::Status StartTls(core::Socket socket, std::unique_ptr<tls::ClientSession> session,
                               const tls::ClientOptions& options, std::unique_ptr<Link>& link,
                               std::string& words);

  // Receive thread: waits for the server's next bytes and appends the text they carry to
  // `plain` (over TLS maybe none: a record not yet whole). Returns a ReceiveEnd that has
  // not ended, or how receiving ended: the server's close (a read of 0; over TLS its
  // close_notify, or a read of 0 after our own), a failed read (errno), a failed TLS
  // session (`failure`). REQUIRES: the last call did not end.
  ReceiveEnd Receive(std::string& plain);

  // Sends all of `bytes` (over TLS, encrypted). A send that fails loses them; the
  // receive thread then hears of the end.
  void Send(std::string_view bytes);

  // Ends the sending side and keeps the receiving one: over TLS a close_notify, then the
  // socket shut down for writing. Later Sends are lost.
  void EndSending();

  // Ends the connection from the client's side: over TLS a close_notify (unless one went,
  // another thread is in a write, or the socket cannot take it at once), then the socket
  // shut down both ways, which ends a Receive or a write waiting on another thread. Never
  // waits for the server. The socket stays open until the link goes.
  void Stop();

 private:
  Link(core::Socket socket, std::unique_ptr<tls::ClientSession> session, std::string early);

  // Writes every record waiting in pending_ to the socket; with `wait` false, only what
  // the socket takes at once. REQUIRES: sendMutex_ held, sessionMutex_ not held.
  void WritePending(bool wait);

  const core::Socket socket_;
  // Null for plain TCP; set once, before any thread but the maker's sees the link.
  const std::unique_ptr<tls::ClientSession> session_;
  // Held while records are written to the socket (and while plain TCP bytes are), from
  // the moment they are taken from pending_ until the write is done. Taken before
  // sessionMutex_, never after it.
  std::mutex sendMutex_;
  std::mutex sessionMutex_;
  // State below is protected by sessionMutex_, as is every call on *session_.
  std::string pending_;  // records the session made that nobody has written yet
  std::string early_;    // plaintext that came with the handshake's end, for the first Receive
};

}  // namespace client
