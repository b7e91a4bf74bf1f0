// TLS: what a handshake costs the server on one core, and what an idle session holds.
//
//   build/pelthollow_benchmarks --benchmark_filter='Tls' --benchmark_repetitions=3
//
// The server has an EC P-256 certificate from harness/tls_certs, the client verifies it
// against the test authority; the sessions talk in memory, so no socket is counted.
// TlsServerHandshake times only the server's calls (its session made, the ClientHello
// and the client's Finished taken in, its flight taken out); TlsHandshakePair both ends.
// TlsIdleSessionMemory reports the heap held per server session once 1,000 of them have
// finished their handshake and passed a line each way (glibc's mallinfo2).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "harness/folder.h"
#include "harness/tls_certs.h"
#include "tls/tls_client.h"
#include "tls/tls_server.h"

namespace {

struct Certificates {
  harness::TempDir dir{"pelthollow-tls-bench"};
  harness::TestAuthority authority{dir.Path()};
  harness::IssuedCertificate issued = authority.Issue("server");
  std::shared_ptr<const tls::ServerContext> context;

  Certificates() {
    if (!tls::ServerContext::Load({issued.certificateFile, issued.keyFile, {}}, context).ok()) {
      context = nullptr;
    }
  }
};

std::unique_ptr<tls::ClientSession> NewClient(const Certificates& certificates) {
  std::unique_ptr<tls::ClientSession> client;
  (void)tls::ClientSession::Make({"localhost", certificates.authority.CaFile()}, client);
  return client;
}

using Clock = std::chrono::steady_clock;

// Runs one handshake and a line each way; `serverTime` gathers the time spent in the
// server's calls.
bool Connect(tls::ClientSession& client, tls::ServerSession& server, Clock::duration& serverTime) {
  std::string read;
  client.Send("look");
  for (int round = 0; round < 4; ++round) {
    std::string toServer, toClient;
    client.TakeOutput(toServer);
    const auto start = Clock::now();
    if (!toServer.empty()) server.Receive(toServer, read);
    if (server.HandshakeDone() && round == 1) server.Send("You see a hollow.");
    server.TakeOutput(toClient);
    serverTime += Clock::now() - start;
    if (!toClient.empty()) client.Receive(toClient, read);
  }
  return server.state() == tls::Session::State::kOpen &&
         client.state() == tls::Session::State::kOpen;
}

void TlsServerHandshake(benchmark::State& state) {
  Certificates certificates;
  if (certificates.context == nullptr) return state.SkipWithError("no certificate");
  for (auto _ : state) {
    auto client = NewClient(certificates);
    Clock::duration serverTime{};
    const auto start = Clock::now();
    auto server = std::make_unique<tls::ServerSession>(certificates.context);
    serverTime += Clock::now() - start;
    if (!Connect(*client, *server, serverTime)) return state.SkipWithError("handshake failed");
    state.SetIterationTime(std::chrono::duration<double>(serverTime).count());
  }
  state.counters["handshakes"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(TlsServerHandshake)->UseManualTime()->Unit(benchmark::kMicrosecond);

void TlsHandshakePair(benchmark::State& state) {
  Certificates certificates;
  if (certificates.context == nullptr) return state.SkipWithError("no certificate");
  for (auto _ : state) {
    auto client = NewClient(certificates);
    tls::ServerSession server(certificates.context);
    Clock::duration ignored{};
    if (!Connect(*client, server, ignored)) return state.SkipWithError("handshake failed");
  }
  state.counters["handshakes"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(TlsHandshakePair)->Unit(benchmark::kMicrosecond);

void TlsIdleSessionMemory(benchmark::State& state) {
  Certificates certificates;
  if (certificates.context == nullptr) return state.SkipWithError("no certificate");
  constexpr std::size_t kSessions = 1000;
  double perSession = 0;
  for (auto _ : state) {
    std::vector<std::unique_ptr<tls::ServerSession>> servers;
    servers.reserve(kSessions);
    const std::size_t before = mallinfo2().uordblks;
    for (std::size_t i = 0; i < kSessions; ++i) {
      auto client = NewClient(certificates);
      servers.push_back(std::make_unique<tls::ServerSession>(certificates.context));
      Clock::duration ignored{};
      if (!Connect(*client, *servers.back(), ignored))
        return state.SkipWithError("handshake failed");
    }
    perSession = static_cast<double>(mallinfo2().uordblks - before) / kSessions;
  }
  state.counters["bytes_per_idle_session"] = perSession;
}
BENCHMARK(TlsIdleSessionMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
