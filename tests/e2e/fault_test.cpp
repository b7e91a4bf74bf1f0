// The server under abuse: bursts of connections, random bytes, descriptor exhaustion.
// Every loop here is bounded in count and time, and talks to loopback only.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "connection/caps.h"
#include "e2e_support.h"

namespace {

using e2e::Client;
using e2e::Server;
using namespace std::chrono_literals;

constexpr const char* kHelpNotInPlay =
    "help\tdisplays this message\nsetup\tcreates a character\n"
    "login\ttakes control of an existing character on the server";

std::string SetupLine(const std::string& name) {
  return "setup " + name + " pw they 12 warrior moss \" a test cat \" x y";
}

TEST(Faults, ABurstOfConnectionsDoesNotDisturbTwoPlayersTalking) {
  Server server;
  ASSERT_TRUE(server.Ready());
  Client ash(server.Port());
  Client bay(server.Port());
  ASSERT_TRUE(ash.ReadWelcome() && bay.ReadWelcome());
  ASSERT_TRUE(ash.Ask(SetupLine("Ash")).has_value());
  ASSERT_TRUE(bay.Ask(SetupLine("Bay")).has_value());
  ash.WaitForFrame("Bay", 2s);  // nothing more is guaranteed; drain what may be there

  std::atomic<bool> done{false};
  std::thread burst([&] {
    for (int round = 0; round < 10 && !done; ++round) {
      std::vector<std::unique_ptr<Client>> wave;
      for (int i = 0; i < 100; ++i) wave.push_back(std::make_unique<Client>(server.Port()));
      for (std::size_t i = 0; i < wave.size(); i += 2) wave[i]->SendRaw("hel");  // half a frame
    }  // each wave is dropped at once
  });
  for (int i = 0; i < 100; ++i) {
    const std::string word = "line" + std::to_string(i);
    ASSERT_TRUE(ash.Send("say " + word));
    ASSERT_TRUE(ash.WaitForFrame("Ash: " + word + " ").has_value()) << i;
    ASSERT_TRUE(bay.WaitForFrame("Ash: " + word + " ").has_value()) << i;
  }
  done = true;
  burst.join();
  EXPECT_EQ(bay.Ask("help"), "help\tdisplays this message\ncategories:\ngeneral\nmovement\n"
                             "hunting (NOT IMPLEMENTED)\ncombat (NOT IMPLEMENTED)\n"
                             "mating (NOT IMPLEMENTED)");
}

TEST(Faults, ClientsSendingRandomBytesCannotStopTheServer) {
  Server server;
  ASSERT_TRUE(server.Ready());
  std::atomic<bool> stop{false};
  std::vector<std::thread> noisy;
  for (int t = 0; t < 50; ++t) {
    noisy.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      Client c(server.Port());
      const auto end = e2e::Clock::now() + 20s;
      while (!stop && e2e::Clock::now() < end) {
        std::string bytes(1 + random() % 300, '\0');
        for (char& b : bytes) {
          // Mostly command-like text, now and then a frame end or any byte.
          const unsigned r = random() % 100;
          b = r < 5 ? '\0' : r < 10 ? static_cast<char>(random()) : "setup login n s e w follow say  \""[random() % 33];
        }
        if (!c.SendRaw(bytes)) break;
        while (c.Drain() > 0) c.NextFrame();  // reads its answers, as a live client does
      }
    });
  }
  Client polite(server.Port());
  ASSERT_TRUE(polite.ReadWelcome());
  const auto end = e2e::Clock::now() + 20s;
  int answered = 0;
  while (e2e::Clock::now() < end) {
    ASSERT_EQ(polite.Ask("help"), kHelpNotInPlay);
    ++answered;
  }
  stop = true;
  for (auto& t : noisy) t.join();
  EXPECT_GT(answered, 10);
  EXPECT_EQ(polite.Ask("help"), kHelpNotInPlay);
}

// At the cap the console still comes in, to the few connections of its own it is kept.
TEST(Faults, ConnectionsStopShortOfTheDescriptorLimitAndNoneHangs) {
  e2e::Process::Options options;
  options.fileLimit = 64;  // connections are held to half of it
  e2e::TempDir dir;
  Server server(&dir, options);
  ASSERT_TRUE(server.Ready()) << server.Log();
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 60; ++i) clients.push_back(std::make_unique<Client>(server.Port()));
  // Each is greeted or turned away at once; none waits in the listen queue.
  int greeted = 0;
  for (auto& client : clients) {
    if (client->ReadWelcome()) {
      ++greeted;
    } else {
      EXPECT_TRUE(client->WaitForClose());
    }
  }
  EXPECT_GT(greeted, 20);
  EXPECT_LE(greeted, 32);
  EXPECT_TRUE(server.WaitForLog("the server holds as many connections as it can")) << server.Log();
  auto admin = [&](const std::vector<std::string>& words) {
    e2e::Process::Options command;
    command.args = {"admin"};
    command.args.insert(command.args.end(), words.begin(), words.end());
    e2e::Process p(dir.Path(), server.Port(), command);
    const int code = e2e::Process::ExitCode(p.Wait());
    p.WaitForEndOfOutput();
    return std::to_string(code) + " " + p.Output();
  };
  EXPECT_EQ(admin({"ban", "203.0.113.9"}), "0 Banned 203.0.113.9 until lifted.\n") << server.Log();
  std::vector<int> silent;  // console connections that say nothing, past the console's own cap
  const std::string path = dir.File("pelthollow.sock");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  path.copy(address.sun_path, std::min(path.size(), sizeof address.sun_path - 1));
  for (std::size_t i = 0; i < connection::kConsoleConnections; ++i) {
    silent.push_back(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ASSERT_EQ(::connect(silent.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  }
  EXPECT_EQ(admin({"who"}), "1 Too many console connections are open (16); try again in a moment.\n");
  for (const int fd : silent) ::close(fd);
  EXPECT_EQ(server.Log().find("Error accepting"), std::string::npos) << server.Log();
  clients.clear();  // every connection closes; once they have ended the server takes new ones again
  std::size_t from = 0;
  for (int i = 0; i < greeted; ++i) {
    ASSERT_TRUE(server.Proc().WaitForOutput(" ended: ", e2e::kTimeout, from)) << server.Log();
    from = server.Log().find(" ended: ", from) + 1;
  }
  // The last of them may still be closing as its line is logged: until it is closed a
  // new connection is turned away at once, and after that it is greeted.
  std::unique_ptr<Client> late;
  bool welcomed = false;
  for (const auto until = e2e::Clock::now() + e2e::kTimeout; !welcomed && e2e::Clock::now() < until;) {
    late = std::make_unique<Client>(server.Port());
    welcomed = late->ReadWelcome();
  }
  ASSERT_TRUE(welcomed) << server.Log();
  EXPECT_EQ(late->Ask("help"), kHelpNotInPlay);
}

}  // namespace
