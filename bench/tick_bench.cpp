// The world tick and speech at scale: a tick with 10,000 characters in play, all moving,
// a say whose cost must not depend on how many characters are elsewhere, and the
// snapshot a save takes under the lock.
//
//   build-tick/pelthollow_benchmarks --benchmark_filter='WorldTick|Say|Snapshot' --benchmark_repetitions=5
//
// Frames go to a sink that only counts them, so the figures are the tick's own work up
// to the finished frames, without the socket sends.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "commands/handlers.h"
#include "commands/interpreter.h"
#include "commands/words.h"
#include "core/connection_lock.h"
#include "core/outbox.h"
#include "persist/save.h"
#include "world/tick.h"
#include "world/world.h"

namespace {

std::int64_t SentFrames = 0;
std::int64_t SentBytes = 0;

// Counts what a flush hands over instead of sending it.
class Counter final : public core::OutboxSink {
 public:
  void SendText(core::Socket, std::string_view text) override {
    ++SentFrames;
    SentBytes += static_cast<std::int64_t>(text.size()) + 1;
  }
  void SendData(core::Socket, std::string_view) override {}
  bool WantsData(core::Socket, std::string_view) const override { return false; }
};
Counter CountFrame;

// Handles from 10 up, as a real server's descriptors would be.
constexpr core::Socket kFirstHandle = 10;

// A world of its own for each benchmark, whose flushes the counter takes.
struct Game {
  world::World world;
  core::Outbox outbox{&CountFrame};
  core::Worker worker;
  connection::BanList bans;
  commands::Interpreter interpreter{world, outbox, worker, bans};
};

void PutInPlay(Game& game, core::Socket connection, int x, int y) {
  auto c = std::make_unique<world::Character>();
  c->name = "Cat" + std::to_string(connection);
  c->role = world::Role::Warrior;
  c->x = x;
  c->y = y;
  game.world.characters.EnterPlay(connection, std::move(c));
}

// Characters in play on every cell in turn, so each cell holds count / 900 or one more.
void SpreadOverTheMap(Game& game, int count) {
  constexpr int kCells = world::kMapSize * world::kMapSize;
  for (int i = 0; i < count; ++i) {
    const int cell = i % kCells;
    PutInPlay(game, kFirstHandle + i, cell % world::kMapSize, cell / world::kMapSize);
  }
}

// Every character in play queues one step: east from an even column, west from an odd
// one, so the crowd swaps between neighbouring columns and stays spread out.
void QueueOneStepEach(world::CharacterTable& characters) {
  for (const auto& [connection, c] : characters.InPlay()) {
    characters.MoveQueueOf(*c)->Push(c->x % 2 == 0 ? 'e' : 'w');
  }
}

void BM_WorldTickAllMoving(benchmark::State& state) {
  std::lock_guard<core::FairLock> lock(core::ConnectionLock);
  Game game;
  SpreadOverTheMap(game, static_cast<int>(state.range(0)));
  game.outbox.Flush();
  SentFrames = 0;
  SentBytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    QueueOneStepEach(game.world.characters);
    state.ResumeTiming();
    world::WorldTick(game.world, game.outbox);
  }
  const double ticks = static_cast<double>(state.iterations());
  state.counters["frames/tick"] = static_cast<double>(SentFrames) / ticks;
  state.counters["bytes/tick"] = static_cast<double>(SentBytes) / ticks;
}
BENCHMARK(BM_WorldTickAllMoving)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// A say on a cell of ten listeners (the speaker among them) while `range(0)` other
// characters are in play elsewhere, up to the finished frames.
void BM_Say(benchmark::State& state) {
  std::lock_guard<core::FairLock> lock(core::ConnectionLock);
  Game game;
  // Without the bound on what a cell is told, which would refuse all but the first few
  // hundred lines: the figure is the cost of a line said.
  connection::Caps caps;
  caps.cellSpeechBytesPerSecond = 0;
  game.interpreter.allowances.SetLimits({}, caps);
  constexpr int kListeners = 10;
  const core::Socket speaker = kFirstHandle;
  for (int i = 0; i < kListeners; ++i) PutInPlay(game, speaker + i, 0, 0);
  const int others = static_cast<int>(state.range(0));
  constexpr int kOtherCells = world::kMapSize * world::kMapSize - 1;  // all but (0, 0)
  for (int i = 0; i < others; ++i) {
    const int cell = 1 + i % kOtherCells;
    PutInPlay(game, speaker + kListeners + i, cell % world::kMapSize, cell / world::kMapSize);
  }
  game.outbox.Flush();
  SentFrames = 0;
  const std::string line = "say hello there, is anyone about?";
  const commands::CommandLine split = commands::SplitWords(line);
  const commands::Context context = game.interpreter.ContextOf(speaker);
  for (auto _ : state) {
    commands::Say(context, split);
    game.outbox.Flush();
  }
  state.counters["frames/say"] =
      static_cast<double>(SentFrames) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_Say)->Arg(10)->Arg(10000)->Unit(benchmark::kMicrosecond);

// The part of a save that holds the lock: the file's bytes for `range(0)` characters in
// play, with descriptions of a usual length. The target is under 3 ms for 10,000.
void BM_SaveSnapshot(benchmark::State& state) {
  std::lock_guard<core::FairLock> lock(core::ConnectionLock);
  Game game;
  SpreadOverTheMap(game, static_cast<int>(state.range(0)));
  for (const auto& [connection, c] : game.world.characters.InPlay()) {
    c->password = "moonstone";
    c->pronouns = "she/her";
    c->description = "small grey cat with a torn ear and a white-tipped tail ";
  }
  std::size_t bytes = 0;
  persist::SaveFile file;  // never written: a snapshot only takes the bytes
  for (auto _ : state) {
    std::string snapshot;
    bytes = file.Snapshot(game.world, snapshot).ok() ? snapshot.size() : 0;
    benchmark::DoNotOptimize(bytes);
  }
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_SaveSnapshot)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
