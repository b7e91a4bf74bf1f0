// What the load generator prints: each scenario's figures beside the baseline's (the
// echo's; for web, telnet and idle-doors, the same players' over TCP) with their ratios, the targets met or
// missed, the same as Markdown tables, and the machine they were measured on. Called
// on the load generator's only thread.
#pragma once

#include <string>
#include <vector>

#include "bench_options.h"
#include "bench_scenario.h"

namespace bench {

// Which way a figure is better, for its comparison with the recorded one.
enum class Better { Lower, Higher };

struct Row {
  std::string figure;
  std::string game;
  std::string echo;
  std::string ratio;
  // The name the figure is recorded under (bench_recorded.h), empty when it is not
  // kept: "chat.round_trip_median.ratio". The name's last part is the unit of `value`.
  std::string key = {};
  double value = -1;  // the figure compared with the recorded one; -1 when this run has none
  Better better = Better::Lower;
  double recorded = -1;  // the recorded figure; -1 when none is recorded
};

struct Target {
  std::string what;
  bool met = false;
  std::string measured;
};

struct Report {
  Scenario scenario = Scenario::Idle;
  std::string setting;
  Door door = Door::Tcp;  // the door of the game side; any other than Tcp has TCP as baseline
  Figures game;
  Figures echo;  // the baseline: the echo server, or the game over TCP
  std::vector<Row> rows;
  std::vector<Target> targets;
  // Chat, web and telnet with several runs: each run's latency median over its
  // baseline's, in run order. The two sides of one run share the machine's mood; runs
  // differ widely.
  std::vector<double> medianRatios;
  // The columns' headings when they are not the door's (siege: "under attack" and "no
  // attack"); empty: the door's.
  std::string gameSide;
  std::string baseSide;
};

// A report of `s` with its setting, door and figures, no rows or targets yet.
Report NewReport(Scenario s, std::string setting, Door door, Figures game = {}, Figures echo = {});

// The names of the report's two sides, as its columns are headed.
std::string GameSide(const Report& r);
std::string BaseSide(const Report& r);

// Figures as the rows show them: "0.123 ms", "12.3 MiB", "1.23x" ("-" without a baseline).
std::string Fixed(double v, int decimals);
std::string Ms(double ns);
std::string Ratio(double game, double echo);

// `row` kept under `key`, its figure taken as the key's last part says: "ratio" game /
// base, "ms" the game side's nanoseconds in milliseconds, "kib" the game side's KiB. A
// figure this run could not measure (a side below 0, a ratio over 0, no round trips)
// stays -1.
Row Kept(Row row, std::string key, double game, double base, Better better = Better::Lower);


// What the scenario ran, in words.
std::string Describe(Scenario s, const Options& o);

// Fills the report's rows from its figures, then its targets (AddTargets).
void BuildRows(Report& r, const Options& o);
// The targets of the report's scenario, met or missed by its figures.
void AddTargets(Report& r, const Options& o);

void PrintReport(const Report& r, const Options& o);
void PrintMarkdown(const std::vector<Report>& reports);
// The CPUs, their model, the kernel and the load average.
void PrintMachine();
// The load average, since other work on the machine shifts every figure.
std::string LoadAverage();

}  // namespace bench
