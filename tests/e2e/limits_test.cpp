// The attacks one address can make on a server open to the internet, each tried at
// small scale from loopback addresses with no address trusted, and each held.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::Client;
using e2e::Count;
using e2e::Process;
using e2e::Server;
using namespace std::chrono_literals;
using namespace std::string_literals;

Process::Options Untrusted(std::map<std::string, std::string> more = {}) {
  Process::Options options;
  options.env = std::move(more);
  options.env["PELTHOLLOW_TRUSTED"] = "none";
  return options;
}

std::string SetupWarrior(const std::string& name) {
  return "setup " + name + " pw he 12 warrior ember \" a cat \" - -";
}

// The handle the server gave the latest connection from `address` (the log line may
// reach the test after the welcome reached the client).
std::string HandleOf(Server& server, const std::string& address) {
  const std::string mark = "New connection from " + address + " (";
  EXPECT_TRUE(server.WaitForLog(mark));
  const std::string log = server.Log();
  const std::size_t at = log.rfind(mark) + mark.size();
  return log.substr(at, log.find(')', at) - at);
}

// The third wrong password ends the connection even when its output is already being
// dropped: here the client resets while its lines wait for their pace, so the answers
// to them fail, as they would for a client whose output overflowed.
TEST(Limits, ThreeWrongPasswordsEndTheConnectionWhateverElseIsHappeningToIt) {
  Server server(Untrusted({{"PELTHOLLOW_MAX_LINES_PER_SECOND", "5"}}));
  ASSERT_TRUE(server.Ready());
  Client bystander(server.Port(), "127.0.0.3");
  ASSERT_TRUE(bystander.ReadWelcome());
  ASSERT_TRUE(bystander.Ask(SetupWarrior("Birch")));
  {
    Client owner(server.Port(), "127.0.0.3");
    ASSERT_TRUE(owner.ReadWelcome());
    ASSERT_TRUE(owner.Ask(SetupWarrior("Ash")));
  }
  ASSERT_TRUE(server.WaitForLog(" disconnected\n"));

  Client attacker(server.Port(), "127.0.0.2");
  ASSERT_TRUE(attacker.ReadWelcome());
  std::string burst;
  for (int i = 0; i < 10; ++i) burst += "help\0"s;  // the whole burst the pace allows
  for (int i = 0; i < 3; ++i) burst += "login Ash wrong" + std::to_string(i) + "\0"s;
  burst += "login Ash pw\0say pwned\0"s;
  ASSERT_TRUE(attacker.SendRaw(burst));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(attacker.NextFrame());
  const linger reset{1, 0};
  ::setsockopt(attacker.Fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  attacker.Close();

  const std::string handle = HandleOf(server, "127.0.0.2");
  EXPECT_TRUE(server.WaitForLog(" : login Ash ***\n" + handle +
                                " login as Ash refused: wrong password (3 of 3).\n" + handle +
                                " disconnected\n"));
  EXPECT_EQ(bystander.Ask("say still here"), "Birch: still here ");
  const std::string log = server.Log();
  EXPECT_EQ(Count(log, " : login Ash ***"), 3u) << log;
  EXPECT_EQ(log.find("pwned"), std::string::npos) << log;
}

TEST(Limits, FailedLoginsPerAddressAndTheirPace) {
  Server server(Untrusted({{"PELTHOLLOW_MAX_LINES_PER_SECOND", "5"}}));
  ASSERT_TRUE(server.Ready());
  {
    Client owner(server.Port(), "127.0.0.3");
    ASSERT_TRUE(owner.ReadWelcome());
    ASSERT_TRUE(owner.Ask(SetupWarrior("Ash")));
  }
  // Wrong names count as much as wrong passwords; lines beyond the pace wait, in order.
  Client guesser(server.Port(), "127.0.0.2");
  ASSERT_TRUE(guesser.ReadWelcome());
  std::string guesses;
  for (int i = 0; i < 20; ++i) guesses += "login Nobody" + std::to_string(i) + " pw\0"s;
  guesses += "login Ash pw\0"s;
  ASSERT_TRUE(guesser.SendRaw(guesses));
  for (int i = 0; i < 20; ++i) ASSERT_EQ(guesser.NextFrame(), "Invalid username.") << i;
  EXPECT_EQ(guesser.NextFrame(), "Too many failed logins. Try again later.");
  // Each failed login waits for its hash, which may be slower than the pace: lines
  // that cost nothing meet it for sure.
  std::string quick;
  for (int i = 0; i < 12; ++i) quick += "help\0"s;  // past the burst of 10
  ASSERT_TRUE(guesser.SendRaw(quick));
  for (int i = 0; i < 12; ++i) ASSERT_TRUE(guesser.NextFrame()) << i;
  Client again(server.Port(), "127.0.0.2");
  ASSERT_TRUE(again.ReadWelcome());
  EXPECT_EQ(again.Ask("login Ash pw"), "Too many failed logins. Try again later.");

  Client player(server.Port(), "127.0.0.4");
  ASSERT_TRUE(player.ReadWelcome());
  EXPECT_EQ(player.Ask("login Ash pw")->substr(0, 17), "Login successful.");
  const std::string log = server.Log();
  EXPECT_EQ(Count(log, "Limit reached by 127.0.0.2: PELTHOLLOW_MAX_FAILED_LOGINS=20\n"), 1u) << log;
  EXPECT_EQ(Count(log, "Limit reached by 127.0.0.2: PELTHOLLOW_MAX_LINES_PER_SECOND=5\n"), 1u) << log;
}

// The game holds to the limits the server was started with, not to their defaults.
TEST(Limits, TheGameKeepsTheLimitsItIsGiven) {
  Server server(Untrusted({{"PELTHOLLOW_MAX_FAILED_LOGINS", "2"}}));
  ASSERT_TRUE(server.Ready());
  Client guesser(server.Port(), "127.0.0.2");
  ASSERT_TRUE(guesser.ReadWelcome());
  EXPECT_EQ(guesser.Ask("login Nobody1 pw"), "Invalid username.");
  EXPECT_EQ(guesser.Ask("login Nobody2 pw"), "Invalid username.");
  EXPECT_EQ(guesser.Ask("login Nobody3 pw"), "Too many failed logins. Try again later.");
  EXPECT_TRUE(server.WaitForLog("Limit reached by 127.0.0.2: PELTHOLLOW_MAX_FAILED_LOGINS=2\n"));
}

TEST(Limits, ConnectionsPerAddress) {
  Server server(Untrusted());
  ASSERT_TRUE(server.Ready());
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < 64; ++i) {
    held.push_back(std::make_unique<Client>(server.Port(), "127.0.0.2"));
    ASSERT_TRUE(held.back()->ReadWelcome()) << i;
  }
  Client refused(server.Port(), "127.0.0.2");
  EXPECT_EQ(refused.NextFrame(), "Too many connections from your address.");
  EXPECT_TRUE(refused.WaitForClose());
  Client other(server.Port(), "127.0.0.3");
  EXPECT_TRUE(other.ReadWelcome());
  held.front().reset();  // one leaves: its place is free again
  EXPECT_TRUE(server.WaitForLog(" disconnected\n"));
  Client next(server.Port(), "127.0.0.2");
  EXPECT_TRUE(next.ReadWelcome());
  EXPECT_EQ(Count(server.Log(), "Limit reached by 127.0.0.2: PELTHOLLOW_MAX_CONNECTIONS=64\n"), 1u);
}

// Reads what `fd` is sent at `bytesPerSecond` at most, as a player's slow link would, and
// drops it, until `stop` or the connection's end.
void ReadSteadily(int fd, std::size_t bytesPerSecond, const std::atomic<bool>& stop) {
  char buffer[4096];
  const std::size_t chunk = std::min(sizeof buffer, bytesPerSecond / 20);
  while (!stop) {
    const ssize_t n = ::recv(fd, buffer, chunk, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) return;
    std::this_thread::sleep_for(50ms);
  }
}

// 150 speakers from five addresses fill the limit on new characters, then each says a
// long line at once: a player who reads hears every line and stays; one who stopped
// reading is ended within the grace time, and one who reads too slowly for what it is
// sent is ended too, the log telling the two apart. (The bounds on speech, which would
// slow the crowd, are lifted: this is about the output caps.)
TEST(Limits, ACrowdsBurstReachesReadersAndEndsOnlyThoseWhoFallBehind) {
  Process::Options options;
  options.env["PELTHOLLOW_TRUSTED"] = "127.0.0.1";
  options.env["PELTHOLLOW_MAX_CELL_SPEECH"] = "0";
  options.env["PELTHOLLOW_MAX_SPEECH_HEARD"] = "0";
  Server server(options);
  ASSERT_TRUE(server.Ready());
  Client reader(server.Port(), "127.0.0.7");
  ASSERT_TRUE(reader.ReadWelcome());
  ASSERT_EQ(reader.Ask(SetupWarrior("Reader")).value_or("").substr(0, 17), "Character created");
  Client stalled(server.Port(), "127.0.0.8", 1024);
  ASSERT_TRUE(stalled.ReadWelcome());
  ASSERT_EQ(stalled.Ask(SetupWarrior("Stalled")).value_or("").substr(0, 17), "Character created");
  const std::string stalledHandle = HandleOf(server, "127.0.0.8");
  Client slow(server.Port(), "127.0.0.9", 4096);
  ASSERT_TRUE(slow.ReadWelcome());
  ASSERT_EQ(slow.Ask(SetupWarrior("Slow")).value_or("").substr(0, 17), "Character created");
  const std::string slowHandle = HandleOf(server, "127.0.0.9");
  std::atomic<bool> stop{false};
  std::thread slowReading([&] { ReadSteadily(slow.Fd(), 4096, stop); });

  std::vector<std::unique_ptr<Client>> speakers;
  for (int a = 0; a < 5; ++a) {
    const std::string address = "127.0.1." + std::to_string(a + 1);
    for (int i = 0; i < 30; ++i) {
      speakers.push_back(std::make_unique<Client>(server.Port(), address));
      Client& s = *speakers.back();
      ASSERT_TRUE(s.ReadWelcome());
      ASSERT_EQ(s.Ask(SetupWarrior("S" + std::to_string(a) + "x" + std::to_string(i)))->substr(0, 17),
                "Character created");
    }
  }
  Client late(server.Port(), "127.0.1.1");
  ASSERT_TRUE(late.ReadWelcome());
  EXPECT_EQ(late.Ask(SetupWarrior("OneMore")), "Too many new characters. Try again later.");

  const std::string words(3990, 'w');
  for (auto& s : speakers) ASSERT_TRUE(s->Send("say " + words));
  std::size_t heard = 0;
  while (heard < speakers.size()) {
    const auto frame = reader.NextFrame(30s);
    if (!frame) {
      stop = true;
      slowReading.join();
      FAIL() << "the reader heard " << heard << " lines, then nothing\n" << server.Log();
    }
    for (std::size_t at = frame->find(": " + words + " "); at != std::string::npos;
         at = frame->find(": " + words + " ", at + 1)) {
      ++heard;
    }
  }
  // The two who fall behind hold more than the soft cap beyond what their kernels take,
  // and stay over it until they are ended; the log tells them apart.
  speakers.clear();
  const std::string over = " its output stayed over 256 KiB for 10 s; in the ";
  EXPECT_TRUE(server.WaitForLog("\n" + stalledHandle + " ended: it stopped reading:" + over, 30s))
      << server.Log();
  EXPECT_TRUE(server.WaitForLog(
      "\n" + slowHandle + " ended: it could not keep up with what it was sent:" + over, 30s))
      << server.Log();
  EXPECT_TRUE(server.WaitForLog("\n" + stalledHandle + " disconnected\n"));
  stop = true;
  slowReading.join();
  EXPECT_EQ(reader.Ask("say done"), "Reader: done ");
}

// The crowd of the siege at small scale: 16 talkers from 8 addresses say 100 long lines
// each into one den as fast as their limits let them, and a player there reads 32 KiB a
// second. The crowd is slowed where it speaks: the player is never ended for what others
// say, however little it reads beyond that.
TEST(Limits, ACrowdIsSlowedAtItsSourceAndAReaderWhoKeepsUpStays) {
  Server server(Untrusted());
  ASSERT_TRUE(server.Ready());
  Client reader(server.Port(), "127.0.0.9", 16 * 1024);
  ASSERT_TRUE(reader.ReadWelcome());
  ASSERT_TRUE(reader.Ask(SetupWarrior("Reader")));
  const std::string readerHandle = HandleOf(server, "127.0.0.9");
  std::vector<std::unique_ptr<Client>> talkers;
  for (int i = 0; i < 16; ++i) {
    talkers.push_back(
        std::make_unique<Client>(server.Port(), "127.0.1." + std::to_string(i / 2 + 1)));
    ASSERT_TRUE(talkers.back()->ReadWelcome());
    ASSERT_EQ(talkers.back()->Ask(SetupWarrior("Talker" + std::to_string(i)))->substr(0, 17),
              "Character created");
  }
  std::atomic<bool> stop{false};
  std::thread reading([&] { ReadSteadily(reader.Fd(), 32 * 1024, stop); });
  constexpr int kLines = 100;  // 6 MiB said in all: well past the cap on one reader's output
  std::string lines;
  for (int n = 0; n < kLines; ++n) lines += "say " + std::string(3990, 'w') + "\0"s;
  std::vector<std::thread> saying;
  for (auto& talker : talkers) saying.emplace_back([&lines, &talker] { talker->SendRaw(lines); });
  // Each line is answered on its own: the talker's own line, or the refusal.
  std::size_t refused = 0;
  for (std::size_t i = 0; i < talkers.size(); ++i) {
    const std::string own = "Talker" + std::to_string(i) + ": ";
    for (int answered = 0; answered < kLines;) {
      const auto frame = talkers[i]->NextFrame(30s);
      ASSERT_TRUE(frame) << i << " " << answered << "\n" << server.Log();
      if (*frame == "You cannot speak right now.") ++refused;
      if (*frame == "You cannot speak right now." || frame->starts_with(own)) ++answered;
    }
  }
  for (std::thread& t : saying) t.join();
  stop = true;
  reading.join();
  EXPECT_GT(refused, 0u);
  ASSERT_TRUE(reader.Send("time"));
  EXPECT_TRUE(reader.WaitForFrame("It is ", 30s)) << server.Log();
  const std::string log = server.Log();
  EXPECT_EQ(log.find("\n" + readerHandle + " ended: "), std::string::npos) << log;
  EXPECT_EQ(Count(log, ": PELTHOLLOW_MAX_CELL_SPEECH=8\n"), 1u) << log;
}

TEST(Limits, SettingsThatDoNotParseStopTheServer) {
  e2e::TempDir dir;
  const std::pair<const char*, const char*> cases[] = {
      {"PELTHOLLOW_TRUSTED", "10.0.0.0/33"},
      {"PELTHOLLOW_MAX_CONNECTIONS", "-1"},
      {"PELTHOLLOW_MAX_LINES_PER_SECOND", "20/s"},
  };
  for (const auto& [name, value] : cases) {
    Process::Options options;
    options.env[name] = value;
    Process p(dir.Path(), e2e::FreePort(), options);
    EXPECT_EQ(Process::ExitCode(p.Wait()), 1);
    EXPECT_EQ(p.Output(), std::string("Invalid ") + name + ": " + value + "\n");
  }
}

}  // namespace
