#include "server/console.h"

#include <pwd.h>
#include <unistd.h>

#include "codecs/console_codec.h"
#include "core/connection_lock.h"
#include "core/log.h"

namespace server {

namespace {

// The name of user `uid`, or "uid <n>" when the system has none for it.
std::string UserName(int uid) {
  char buffer[4096];
  passwd entry{};
  passwd* found = nullptr;
  if (uid >= 0 &&
      ::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof buffer, &found) == 0 &&
      found != nullptr) {
    return found->pw_name;
  }
  return "uid " + std::to_string(uid);
}

// The answer's line in the log: its exit code and first line, and who asked. Refusals
// and format answers are warnings. Any thread.
void LogAnswer(const std::string& user, const ConsoleAnswer& answer) {
  const std::string_view text = answer.text;
  const std::string_view first =
      answer.logged.empty() ? text.substr(0, text.find('\n')) : answer.logged;
  core::Log("Admin by " + core::EscapeForLog(user) + ", exit " + std::to_string(answer.code) +
                ": " + core::EscapeForLog(first) + "\n",
            answer.code == 0 ? core::LogPriority::Info : core::LogPriority::Warning);
}

// Sends the answer's text and its exit code. REQUIRES: ConnectionLock held.
void Send(core::Outbox& outbox, core::Socket connection, const ConsoleAnswer& answer) {
  ASSERT_CONNECTION_LOCK_HELD();
  std::string_view text = answer.text;
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  outbox.Queue(connection, text);
  outbox.QueueData(connection,
                   std::string(codecs::kConsoleExit) + " " + std::to_string(answer.code));
  outbox.Flush();
}

}  // namespace

void Console::Admitted(core::Socket connection, const connection::Peer& peer) {
  users_[connection] = peer.uid;
}

void Console::Ended(core::Socket connection) {
  users_.erase(connection);
}

std::string Console::UserOf(core::Socket connection) const {
  const auto user = users_.find(connection);
  return UserName(user == users_.end() ? -1 : user->second);
}

void Console::Reply(core::Socket connection, const ConsoleAnswer& answer) {
  ASSERT_CONNECTION_LOCK_HELD();
  LogAnswer(UserOf(connection), answer);
  Send(layer_.Outbox(), connection, answer);
}

std::function<void(ConsoleAnswer)> Console::Later(core::Socket connection) {
  ASSERT_CONNECTION_LOCK_HELD();
  const std::uint64_t ticket = layer_.Hold(connection);
  return [&layer = layer_, connection, ticket, user = UserOf(connection)](ConsoleAnswer answer) {
    LogAnswer(user, answer);
    layer.Post([&layer, connection, ticket, answer = std::move(answer)] {
      layer.Answer(connection, ticket, [&] {
        Send(layer.Outbox(), connection, answer);
        return false;
      });
    });
  };
}

bool Console::Line(core::Socket connection, const std::string& line) {
  ASSERT_CONNECTION_LOCK_HELD();
  const auto user = users_.find(connection);
  if (user == users_.end() || user->second != static_cast<int>(::geteuid())) {
    core::Log("Console connection of another user refused\n", core::LogPriority::Warning);
    Reply(connection, {"Only the server's user may use its console; try: sudo -u " +
                           UserName(static_cast<int>(::geteuid())) + " pelthollow admin ...\n",
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
