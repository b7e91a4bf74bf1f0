#include "server/console.h"

#include <pwd.h>
#include <unistd.h>

#include "codecs/console_codec.h"
#include "core/connection_lock.h"
#include "core/log.h"
#include "core/outbox.h"

namespace server {

namespace {

// The name of the server's own user, for the words to another user.
std::string OwnUserName() {
  char buffer[4096];
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    return found->pw_name;
  }
  return std::to_string(::geteuid());
}

}  // namespace

void Console::Admitted(connection::Socket connection, const connection::Peer& peer) {
  users_[connection] = peer.uid;
}

void Console::Ended(connection::Socket connection) { users_.erase(connection); }

void Console::Reply(connection::Socket connection, const ConsoleAnswer& answer) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::string_view text = answer.text;
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  core::QueueMessage(connection, text);
  core::QueueData(connection, std::string(codecs::kConsoleExit) + " " + std::to_string(answer.code));
  core::FlushOutbox();
}

std::function<void(ConsoleAnswer)> Console::Later(connection::Socket connection) {
  const std::uint64_t ticket = layer_.Hold(connection);
  return [&layer = layer_, connection, ticket](ConsoleAnswer answer) {
    layer.Post([&layer, connection, ticket, answer = std::move(answer)] {
      layer.Answer(connection, ticket, [&] {
        Reply(connection, answer);
        return false;
      });
    });
  };
}

bool Console::Line(connection::Socket connection, const std::string& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto user = users_.find(connection);
  if (user == users_.end() || user->second != static_cast<int>(::geteuid())) {
    core::Log("Console connection of another user refused\n");
    Reply(connection, {"Only the server's user may use its console; try: sudo -u " + OwnUserName() +
                           " pelthollow admin ...\n",
                       1});
    return false;
  }
  core::Log("Admin: " + core::EscapeForLog(line) + "\n");
  if (std::optional<ConsoleAnswer> answer = RunConsoleCommand(*this, connection, line)) {
    Reply(connection, *answer);
  }
  return false;
}

}  // namespace server
