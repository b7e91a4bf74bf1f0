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

struct Row {
  std::string figure;
  std::string game;
  std::string echo;
  std::string ratio;
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
