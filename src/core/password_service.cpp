#include "core/password_service.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/password.h"
#include "core/password_frames.h"
#include "core/password_hasher.h"

namespace core {

namespace {

// As the server's worker: a hash takes its time from whatever core the threads that
// answer players leave free.
constexpr int kHelperNice = 10;

// The answer to `request`; nullopt when it is no request.
std::optional<PasswordMessage> AnswerTo(const PasswordMessage& request) {
  PasswordMessage answer;
  answer.id = request.id;
  switch (request.kind) {
    case PasswordKind::Hash:
      answer.kind = PasswordKind::Hashed;
      answer.first = base::HashPassword(request.first).value_or("");
      return answer;
    case PasswordKind::Check:
      answer.kind = base::PasswordMatches(request.first, request.second) ? PasswordKind::Matches
                                                                          : PasswordKind::Differs;
      return answer;
    case PasswordKind::CheckDummy:
      answer.kind = base::PasswordMatches(base::DummyPasswordHash(), request.first) ? PasswordKind::Matches
                                                                                     : PasswordKind::Differs;
      return answer;
    case PasswordKind::Hashed:
    case PasswordKind::Matches:
    case PasswordKind::Differs:
      break;
  }
  return std::nullopt;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

int ServePasswords(int argc, const char* const* argv) {
  if (argc != 3) return 1;
  const std::string_view parentText(argv[2]);
  pid_t parent = 0;
  const auto [end, error] = std::from_chars(parentText.data(), parentText.data() + parentText.size(), parent);
  if (error != std::errc() || end != parentText.data() + parentText.size()) return 1;
  // Dies with the server even should a copy of the server's end outlive it (in a
  // process the server forked); a server gone before this line shows in the parent.
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) return 1;
  struct stat descriptor {};
  if (::fstat(kHelperDescriptor, &descriptor) != 0 || !S_ISSOCK(descriptor.st_mode)) return 1;
  [[maybe_unused]] const int niced = ::setpriority(PRIO_PROCESS, 0, kHelperNice);

  PasswordFrameReader reader;
  std::vector<PasswordMessage> requests;
  char buffer[16 * 1024];
  for (;;) {
    const ssize_t n = ::read(kHelperDescriptor, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) return 0;  // the server closed its end: it ended, or execs its next build
    if (n < 0) return 1;
    requests.clear();
    const bool whole = reader.Feed(std::string_view(buffer, static_cast<std::size_t>(n)), requests);
    for (const PasswordMessage& request : requests) {
      const std::optional<PasswordMessage> answer = AnswerTo(request);
      if (!answer) return 1;
      std::string bytes;
      AppendPasswordMessage(bytes, *answer);
      if (!WriteAll(kHelperDescriptor, bytes)) return 1;
    }
    if (!whole) return 1;
  }
}

}  // namespace core
