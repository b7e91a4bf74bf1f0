// A storm of TLS handshakes from one address, with no address trusted: past the
// address's rate its connections are closed before the handshake begins, the log says
// so once, and a player from another address still comes in over TLS and plays.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

#include "e2e_support.h"
#include "harness/tls_certs.h"
#include "peers.h"
#include "tls/tls_client.h"

namespace {

using e2e::Client;
using e2e::Count;

// The first bytes the server answers `hello` with on a new connection from `from`, or
// nothing when it closes first.
std::string FirstAnswer(int port, const std::string& from, const std::string& hello) {
  Client client(port, from);
  if (!client.SendRaw(hello)) return {};
  pollfd p{client.Fd(), POLLIN, 0};
  char buffer[4096];
  if (::poll(&p, 1, static_cast<int>(e2e::kTimeout.count())) <= 0) return {};
  const ssize_t n = ::recv(client.Fd(), buffer, sizeof buffer, 0);
  return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

TEST(TlsStorm, HandshakesPastTheAddressRateAreRefusedBeforeTheyBeginWhileAnotherAddressPlays) {
  const std::string python = e2e::Python();
  SKIP_WITHOUT(python, "python3", "PELTHOLLOW_REQUIRE_PYTHON");
  e2e::TempDir dir;
  harness::TestAuthority authority(dir.Path());
  const harness::IssuedCertificate certificate = authority.Issue("server");
  const int tlsPort = e2e::FreePort();
  e2e::Process::Options options;
  options.env = {{"PELTHOLLOW_TRUSTED", "none"},
                 {"PELTHOLLOW_MAX_HANDSHAKES_PER_SECOND", "1"},
                 {"PELTHOLLOW_TLS_PORT", std::to_string(tlsPort)},
                 {"PELTHOLLOW_TLS_CERT", certificate.certificateFile},
                 {"PELTHOLLOW_TLS_KEY", certificate.keyFile}};
  e2e::Server server(&dir, options);
  ASSERT_TRUE(server.Ready() && server.WaitForLog("Game port over TLS on port ")) << server.Log();
  std::unique_ptr<tls::ClientSession> session;
  ASSERT_TRUE(tls::ClientSession::Make({"localhost", authority.CaFile()}, session).ok());
  std::string hello;
  session->TakeOutput(hello);

  // One at a time, as fast as they are answered: a burst of two, then one a second.
  const auto start = e2e::Clock::now();
  int answered = 0;
  int refused = 0;
  for (int i = 0; i < 12; ++i) ++(FirstAnswer(tlsPort, "127.0.0.2", hello).empty() ? refused : answered);
  const double seconds = std::chrono::duration<double>(e2e::Clock::now() - start).count();
  EXPECT_LE(answered, 3 + static_cast<int>(std::ceil(seconds))) << seconds << " s";
  EXPECT_GE(refused, 1);

  e2e::TlsTunnel tunnel(python, authority.CaFile(), tlsPort);  // from 127.0.0.1
  ASSERT_TRUE(tunnel.Port()) << tunnel.Output();
  Client player(tunnel.Port());
  ASSERT_TRUE(player.ReadWelcome()) << tunnel.Output() << server.Log();
  const auto created = player.Ask("setup Ash pw she 12 warrior emberfold \" a grey cat \" x y");
  EXPECT_TRUE(created && created->starts_with("Character created.")) << created.value_or("no answer");

  ASSERT_TRUE(server.WaitForLog("Refused a connection from 127.0.0.2 on game-tls: too many TLS handshakes.\n"));
  const std::string log = server.Log();
  EXPECT_EQ(Count(log, "Limit reached by 127.0.0.2: PELTHOLLOW_MAX_HANDSHAKES_PER_SECOND=1\n"), 1u) << log;
  EXPECT_EQ(Count(log, "too many TLS handshakes"), 1u) << log;  // once a minute, not once a connection
  EXPECT_EQ(Count(log, "New connection from 127.0.0.2"), 0u) << log;
}

}  // namespace
