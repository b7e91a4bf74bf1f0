// What the interpreter keeps of each connection between lines: its address for the
// limits, and what the handling of failed logins and of passwords needs. The game itself
// keeps nothing per connection. Guarded by ConnectionLock, as the interpreter that owns
// them (commands/interpreter.h) is.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "base/address.h"
#include "core/socket_handle.h"

namespace commands {

struct Session {
  base::Address key;     // the limit key of the connection's address
  bool limited = false;  // held to the address limits
  int failedLogins = 0;
  bool endRequested = false;  // the server should end this connection now
  bool secretNext = false;    // its last line was a setup or login without a password:
                              // the next one is logged as "***" (commands/logged_line.h)
};

class Sessions {
 public:
  // A connection was admitted from an address counted under `key`.
  void Begin(core::Socket connection, const base::Address& key, bool limited);
  // The session of `connection`, made on first use. REQUIRES: connection >= 0.
  Session& Of(core::Socket connection);
  // The session of `connection`, or nullptr when it has none.
  const Session* Find(core::Socket connection) const;
  // True when the interpreter asked for `connection` to be ended.
  bool EndRequested(core::Socket connection) const;
  // Forgets the session of an ended connection.
  void Forget(core::Socket connection);

  // Every session, ascending by connection, for an upgrade; and the sessions made again
  // from them in the new process, each replacing any the connection has.
  std::vector<std::pair<core::Socket, Session>> Carry() const;
  void Adopt(const std::vector<std::pair<core::Socket, Session>>& sessions);

 private:
  // Indexed by connection: a session costs its few bytes and no search.
  std::vector<std::optional<Session>> sessions_;
};

}  // namespace commands
