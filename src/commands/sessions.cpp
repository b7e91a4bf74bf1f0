#include "commands/sessions.h"

#include <algorithm>

#include "core/connection_lock.h"

namespace commands {

void Sessions::Begin(core::Socket connection, const base::Address& key, bool limited) {
  ASSERT_CONNECTION_LOCK_HELD();
  sessions_[connection] = Session{key, limited};
}

Session& Sessions::Of(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  return sessions_[connection];
}

const Session* Sessions::Find(core::Socket connection) const {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto it = sessions_.find(connection);
  return it == sessions_.end() ? nullptr : &it->second;
}

bool Sessions::EndRequested(core::Socket connection) const {
  const Session* session = Find(connection);
  return session != nullptr && session->endRequested;
}

void Sessions::Forget(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  sessions_.erase(connection);
}

std::vector<std::pair<core::Socket, Session>> Sessions::Carry() const {
  ASSERT_CONNECTION_LOCK_HELD();
  std::vector<std::pair<core::Socket, Session>> all(sessions_.begin(), sessions_.end());
  std::sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  return all;
}

void Sessions::Adopt(const std::vector<std::pair<core::Socket, Session>>& sessions) {
  ASSERT_CONNECTION_LOCK_HELD();
  for (const auto& [connection, session] : sessions) sessions_[connection] = session;
}

}  // namespace commands
