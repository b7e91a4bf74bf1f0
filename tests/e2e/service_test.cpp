// The program as an operator and a service manager see it: what --version and --help
// print, the notify protocol's messages, and a restart from the console.
#include <gtest/gtest.h>
#include <sys/un.h>

#include <cstring>
#include <regex>
#include <string>

#include "e2e_support.h"

namespace {

using e2e::Client;
using e2e::Process;
using e2e::Server;
using e2e::TempDir;

// `pelthollow <args>` with nothing on its standard input: its exit code and output.
std::pair<int, std::string> RunProgram(std::vector<std::string> args,
                                       std::map<std::string, std::string> env = {}) {
  TempDir dir;
  Process::Options options;
  options.args = std::move(args);
  options.env = std::move(env);
  Process p(dir.Path(), e2e::FreePort(), options);
  const int code = Process::ExitCode(p.Wait());
  p.WaitForEndOfOutput();
  return {code, p.Output()};
}

TEST(Service, VersionAndHelpEndWithZeroAndAnythingElseAsks) {
  // Even with a port that would stop the server.
  const auto [versionCode, version] = RunProgram({"--version"}, {{"PELTHOLLOW_PORT", "0"}});
  EXPECT_EQ(versionCode, 0);
  EXPECT_TRUE(std::regex_match(version,
                               std::regex(R"(pelthollow [0-9]+\.[0-9]+\.[0-9]+(\+[0-9a-z.]+)?\n)")))
      << version;

  const auto [helpCode, help] = RunProgram({"--help"});
  EXPECT_EQ(helpCode, 0);
  EXPECT_EQ(
      help.rfind(
          "Usage: pelthollow server | client [--plain] | admin WORDS... | --version | --help\n", 0),
      0u)
      << help;
  EXPECT_NE(help.find("PELTHOLLOW_PORT "), std::string::npos) << help;

  const auto [otherCode, other] = RunProgram({"nonsense"});
  EXPECT_EQ(otherCode, 0);  // the end of standard input at the prompt
  EXPECT_EQ(other, "(S)erver or (C)lient mode? ");
}

// A Unix datagram socket of the test's, as a service manager listens on, bound to
// `name` (a path, or an abstract name after "@").
class NotifyListener {
 public:
  explicit NotifyListener(const std::string& name) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bound_ = ::bind(fd_, reinterpret_cast<const sockaddr*>(&address),
                    static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size())) == 0;
  }
  ~NotifyListener() { ::close(fd_); }
  bool Bound() const { return bound_; }

  // The next datagram's text, or "" when none comes in time.
  std::string Next(std::chrono::milliseconds timeout = e2e::kTimeout) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return "";
    char buffer[4096];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : "";
  }

 private:
  int fd_ = -1;
  bool bound_ = false;
};

TEST(Service, TellsTheServiceManagerItIsReadyAliveAndStopping) {
  TempDir dir;
  const std::string path = dir.Path() + "/notify";
  NotifyListener manager(path);
  ASSERT_TRUE(manager.Bound()) << path;
  Process::Options options;
  options.env = {{"NOTIFY_SOCKET", path}};
  Server server(&dir, options);
  ASSERT_TRUE(server.Ready());
  EXPECT_EQ(manager.Next(), "READY=1");
  EXPECT_EQ(manager.Next(), "WATCHDOG=1");  // the first tick comes at once
  server.Proc().Signal(SIGTERM);
  EXPECT_EQ(manager.Next(), "STOPPING=1");
  EXPECT_EQ(Process::ExitCode(server.Proc().Wait()), 0);

  // An abstract name, as a container's manager may give.
  const std::string abstract = "@pelthollow-notify-" + std::to_string(::getpid());
  NotifyListener other(abstract);
  ASSERT_TRUE(other.Bound());
  options.env = {{"NOTIFY_SOCKET", abstract}};
  Server again(options);
  ASSERT_TRUE(again.Ready());
  EXPECT_EQ(other.Next(), "READY=1");
}

// `pelthollow admin <words>` beside `server`: its output, or "exit N: output".
std::string Admin(Server& server, std::vector<std::string> words) {
  Process::Options options;
  options.args = {"admin"};
  options.args.insert(options.args.end(), words.begin(), words.end());
  Process admin(server.Dir().Path(), server.Port(), options);
  const int code = Process::ExitCode(admin.Wait());
  admin.WaitForEndOfOutput();
  return code == 0 ? admin.Output() : "exit " + std::to_string(code) + ": " + admin.Output();
}

TEST(Service, RestartCountsDownSavesAndEndsWithTheCodeTheUnitRestartsOn) {
  TempDir dir;
  Server server(&dir);
  ASSERT_TRUE(server.Ready());
  Client ash(server.Port());
  ASSERT_TRUE(ash.ReadWelcome());
  ash.Send("setup Ash pw she 12 warrior moss \" a cat \" - -");
  ASSERT_TRUE(ash.WaitForFrame("Character created"));
  ash.Discard();

  EXPECT_EQ(Admin(server, {"restart", "60"}), "Restarting in 1 minute.\n");
  EXPECT_EQ(ash.NextFrame(), "The server is restarting in 1 minute.");
  EXPECT_EQ(Admin(server, {"shutdown", "cancel"}), "Restart cancelled.\n");
  EXPECT_EQ(ash.NextFrame(), "The restart is called off.");

  EXPECT_EQ(Admin(server, {"restart", "0"}), "Restarting now.\n");
  EXPECT_EQ(ash.NextFrame(), "The server is restarting now.");
  EXPECT_EQ(Process::ExitCode(server.Proc().Wait()), 75);
  EXPECT_NE(e2e::ReadFile(dir.Path() + "/savedata.phl").find("Ash"), std::string::npos);
}

}  // namespace
