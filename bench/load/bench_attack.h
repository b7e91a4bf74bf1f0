// Hostile clients for the siege and the handshake storm: connections from chosen
// loopback addresses, each group flooding one door with one kind of input as fast as the
// server takes it, and coming back when the server ends them, as an attacker would. They
// run on a thread of their own, so that the players measured beside them are never held
// up by the load generator. Start, WaitReady and Stop are called from one thread; the
// attack's thread owns every connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "bench_tls_client.h"

namespace bench {

// How deep the GMCP attacks nest their arrays.
inline constexpr std::size_t kAttackNesting = 2000;
// The game's answer when its password worker has no room for a job.
inline constexpr std::string_view kBusyAnswer = "The server is busy. Try again in a moment.";

enum class Hostility : std::uint8_t {
  TelnetGmcp,     // telnet: agrees to GMCP, then sends Core.Supports.Set nested kAttackNesting deep
  WebSocketGmcp,  // web port: a WebSocket with the GMCP subprotocol, the same message in text frames
  PipelinedHttp,  // web port: GET /mudlet/pelthollow.mpackage pipelined, 64 KiB a send; reads the answers
  NonReader,      // game port: sets up (later: logs in again), then never reads; at most 2 at a time per address
  Talker,         // game port: sets up, then, once the attack is ready, says long lines without end
  WrongPassword,  // game port: logins with a wrong password, the next as soon as one is answered
  SameSetup,      // game port: the group's connections all send setup of one new name at once, round after round
  Welcome,        // new connections at a rate, each closed once its welcome came (through TLS when `tls` is set)
  HalfHandshake,  // a TLS port: sends its ClientHello, then nothing: the server, having answered, waits
                  // on it until it ends it (and it comes back)
};

struct AttackGroup {
  Hostility kind = Hostility::TelnetGmcp;
  int port = 0;
  std::uint32_t firstSource = 0;  // the group's first loopback address, host order (0x7f000002: 127.0.0.2)
  std::size_t sources = 1;        // consecutive addresses from firstSource
  std::size_t perSource = 1;      // connections from each address (Welcome: none at first)
  // NonReader, Talker: the characters' names begin with it; SameSetup: each round's name
  // does; WrongPassword: the character whose password is guessed.
  std::string name;
  std::size_t origin = 0;          // NonReader, Talker, SameSetup: index into Origins(), the den
  // Welcome: new connections a second over all addresses; 0: a new one as soon as one
  // ends, `inFlight` at a time.
  double perSecond = 0;
  std::size_t inFlight = 1000;     // Welcome: connections whose welcome has not come, at most
  const TlsContext* tls = nullptr;  // Welcome, HalfHandshake: the client's TLS; null for Welcome: plain TCP
};

// What the attackers did, summed over every group.
struct AttackCounts {
  std::uint64_t connections = 0;    // connections opened
  std::uint64_t endedByServer = 0;  // closed or reset by the server, or refused at connect
  std::uint64_t bytesSent = 0;
  std::uint64_t bytesRead = 0;
  std::uint64_t created = 0;     // "Character created." answers
  std::uint64_t loggedIn = 0;    // "Login successful." answers
  std::uint64_t busy = 0;        // "The server is busy. Try again in a moment." answers
  std::uint64_t rounds = 0;      // SameSetup: rounds every connection of the group had answered
  std::uint64_t welcomes = 0;    // Welcome: welcomes read (through a finished handshake over TLS)
  std::uint64_t tlsFailed = 0;   // Welcome: sessions that failed or ended before the welcome
  std::uint64_t halfDone = 0;    // HalfHandshake: handshakes the server answered and was left waiting on
};

class Attack {
 public:
  Attack();
  ~Attack();  // stops the attack when it runs
  Attack(const Attack&) = delete;
  Attack& operator=(const Attack&) = delete;

  // Opens the groups' connections on the attack's thread and sets them going.
  // REQUIRES: not started yet.
  void Start(std::vector<AttackGroup> groups);

  // Waits until every connection of the groups has begun its attack once (the
  // non-readers in play and silent, the talkers set up, the floods started, or ended by
  // the server first); talkers begin to talk then. False when that did not happen
  // within `timeoutNs`.
  bool WaitReady(std::int64_t timeoutNs);

  // Resets every connection, ends the thread and returns the counts. Harmless when not
  // started or already stopped (the counts are then those of the last run).
  AttackCounts Stop();

  struct Engine;

 private:
  std::unique_ptr<Engine> engine_;  // touched only by the attack's thread while it runs
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable readyChanged_;
  bool ready_ = false;  // guarded by mutex_
  AttackCounts counts_;  // written by the thread before it ends, read after the join
};

}  // namespace bench
