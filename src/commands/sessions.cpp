#include "commands/sessions.h"

#include <cassert>

#include "core/connection_lock.h"

namespace commands {

void Sessions::Begin(core::Socket connection, const base::Address& key, bool limited) {
  ASSERT_CONNECTION_LOCK_HELD();
  Of(connection) = Session{key, limited};
}

Session& Sessions::Of(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  assert(connection >= 0);
  const auto at = static_cast<std::size_t>(connection);
  if (at >= sessions_.size()) sessions_.resize(at + 1);
  std::optional<Session>& session = sessions_[at];
  if (!session) session.emplace();
  return *session;
}

const Session* Sessions::Find(core::Socket connection) const {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto at = static_cast<std::size_t>(connection);
  if (connection < 0 || at >= sessions_.size() || !sessions_[at]) return nullptr;
  return &*sessions_[at];
}

bool Sessions::EndRequested(core::Socket connection) const {
  const Session* session = Find(connection);
  return session != nullptr && session->endRequested;
}

void Sessions::Forget(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto at = static_cast<std::size_t>(connection);
  if (connection >= 0 && at < sessions_.size()) sessions_[at].reset();
}

std::vector<std::pair<core::Socket, Session>> Sessions::Carry() const {
  ASSERT_CONNECTION_LOCK_HELD();
  std::vector<std::pair<core::Socket, Session>> all;
  for (std::size_t at = 0; at < sessions_.size(); ++at) {
    if (sessions_[at]) all.emplace_back(static_cast<core::Socket>(at), *sessions_[at]);
  }
  return all;
}

void Sessions::Adopt(const std::vector<std::pair<core::Socket, Session>>& sessions) {
  ASSERT_CONNECTION_LOCK_HELD();
  for (const auto& [connection, session] : sessions) Of(connection) = session;
}

}  // namespace commands
