// The simulated players: one epoll loop on the load generator's only thread drives
// every connection (thousands of them, no thread per connection). The same code talks
// to the game server and to the echo baseline; only the expected answers differ. Web
// players wrap the same lines in WebSocket frames; telnet players send them as telnet
// lines and take every line they get as a frame; TLS players send the game port's frames
// through a TLS session.
#pragma once

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "bench_telnet.h"
#include "bench_tls_client.h"
#include "bench_websocket.h"
#include "bench_world.h"
#include "net/frame.h"

namespace bench {

// The longest frame a player takes in; a look in a crowded den runs to some KiB.
inline constexpr std::size_t kMaxFrameBytes = 64u << 20;
// The event that says the lead set (Fleet::leadSet) has a player to read.
inline constexpr std::uint32_t kLeadSetEvent = 0xFFFFFFFFu;

// The door of the game the players come through.
enum class Door : std::uint8_t {
  Tcp,     // the game port: NUL-framed lines
  Web,     // the web client's port: WebSocket text messages
  Telnet,  // the telnet port: lines ending in CR LF; one game frame may give several
  Tls,     // the game port's TLS twin: NUL-framed lines inside TLS records
};

// Where a player's connection stands.
enum class Phase : std::uint8_t {
  Connecting,  // connect() issued, not yet established
  Greeting,    // established; the welcome frame has not arrived
  Ready,       // greeted (and in play once set up); no command outstanding
  Waiting,     // one command sent; its answer has not arrived
  Failed,      // the connection failed or ended; it takes no further part
};

struct Player {
  int fd = -1;
  Phase phase = Phase::Connecting;
  std::string name;
  int origin = 0;       // index into Origins()
  bool inPlay = false;  // setup answered "Character created."
  Cell at;              // where the character stands, as far as its own notices tell
  Cell planned;         // where it will stand once the accepted moves are carried out
  std::string queued;   // move letters the server accepted and has not carried out yet
  std::string toQueue;  // spread moves not sent yet
  net::FrameSplitter frames{kMaxFrameBytes};  // incoming bytes into frames
  std::string unsent;   // bytes of the last line that send did not take
  bool upgraded = false;  // web players: the WebSocket handshake is done
  std::string wsBytes;    // web players: incoming bytes not taken as frames yet
  WsFragments wsFragments;  // web players: a message that came in fragments so far
  TelnetLines telnet;     // telnet players: incoming bytes into lines
  SslPtr tls;             // TLS players: the session, made once the connection stands
  Expectation expected;     // the outstanding command, while Waiting
  std::int64_t sentNs = 0;  // when it was sent (monotonic nanoseconds)
  bool measured = false;    // sent inside the measuring window
  std::int64_t nextNs = 0;  // paced players: when to send the next command
};

// Counters and samples of one measured stretch.
struct Tally {
  std::vector<std::int64_t> all;  // round trips in nanoseconds
  std::vector<std::int64_t> sentNs;  // when each of `all` was sent (monotonic)
  std::array<std::vector<std::int64_t>, kCommandKinds> byKind;
  std::uint64_t answered = 0;
  std::uint64_t unanswered = 0;  // not answered within the answer timeout
  std::uint64_t unasked = 0;     // frames that answered nothing (tick notices, speech)
  std::uint64_t refusedMoves = 0;
};

// How the measured stretch drives the players.
enum class Drive : std::uint8_t {
  Quiet,  // nobody types
  Paced,  // each active player sends one command per period, at its own phase
  Flood,  // each active player sends its next command as soon as the last is answered
};

struct DrivePlan {
  Drive drive = Drive::Quiet;
  std::size_t active = 0;          // the first `active` players type
  bool sayOnly = false;            // only `say`, else the chat mix
  std::int64_t periodNs = 1'000'000'000;
  std::int64_t durationNs = 0;
  std::int64_t answerTimeoutNs = 5'000'000'000;
};

struct Fleet {
  bool echo = false;  // the peer is the echo baseline
  Door door = Door::Tcp;  // the port's protocol; the echo speaks Tcp
  bool gmcp = false;      // web: the players ask for the GMCP subprotocol
  const TlsContext* tls = nullptr;  // Tls: what every session trusts
  int port = 0;
  int waitSet = -1;
  // The first `leaders` players (the crowd's speakers) wait in a set of their own, read
  // before the others: an answer to a speaker is timed when it comes, not after the
  // hundreds of lines its den heard and the load generator reads (LeadFirst).
  int leadSet = -1;
  std::size_t leaders = 0;
  std::vector<Player> players;
  // The bench's own view of who stands where: player indices per cell.
  std::vector<std::vector<std::uint32_t>> occupants;
  std::mt19937_64 random;
  std::uint64_t nextToken = 1;
  Tally tally;
  bool counting = false;        // answers are being recorded
  std::int64_t windowEndNs = 0;  // commands sent before this are measured
  std::string problem;           // the first thing that went wrong, for the report
  std::uint64_t failedConnections = 0;
  // Players whose present step ended during the last pump (greeted or answered), for
  // the phase loops to act on, and how many connections failed in it.
  std::vector<std::uint32_t> finished;
  std::size_t failedNow = 0;
};

// Makes a fleet of `count` players named `prefix` and a number, dealt out over the
// origins in turn. Nothing is connected yet.
void MakeFleet(Fleet& fleet, bool echo, int port, std::size_t count, const std::string& prefix,
               std::uint64_t seed);

// Puts the first `count` players in a wait set read first (Fleet::leadSet). Before
// ConnectAll.
void LeadFirst(Fleet& fleet, std::size_t count);

// Connects every player to 127.0.0.1:port, at most `inflight` not yet greeted at a
// time, and waits for every welcome frame. Returns the nanoseconds from the first
// connect to the last welcome, or -1 when not all were greeted within `timeoutNs`
// (fleet.problem says why).
std::int64_t ConnectAll(Fleet& fleet, std::size_t inflight, std::int64_t timeoutNs);

// Sends every player's setup line, at most `inflight` outstanding at a time, and waits
// for the answers. True when every character was created (or echoed).
bool SetUpAll(Fleet& fleet, std::size_t inflight, std::int64_t timeoutNs);

// Queues each player's spread moves one command at a time and waits until every
// player has seen its own arrival notices (the world tick takes one step per tick).
// The echo baseline only answers the lines. True when all arrived within `timeoutNs`.
bool Spread(Fleet& fleet, const std::vector<Placement>& plan, std::int64_t timeoutNs);

// Runs one measured stretch as planned and leaves its figures in fleet.tally.
// Commands still outstanding at the end get `answerTimeoutNs` to be answered.
void RunDrive(Fleet& fleet, const DrivePlan& plan);

// Asks one command of the chat mix at a time, of the next player of each fleet in turn,
// and waits for its answer (at most `answerTimeoutNs`), for `durationNs`: the fleets'
// players meet the server in the same state, whatever else the machine does meanwhile.
// Each fleet's round trips are left in its tally.
void AskInTurn(const std::vector<Fleet*>& fleets, std::int64_t durationNs, std::int64_t answerTimeoutNs);

// Closes every connection at once, with a reset so no port lingers in TIME_WAIT.
void CloseFleet(Fleet& fleet);

}  // namespace bench
