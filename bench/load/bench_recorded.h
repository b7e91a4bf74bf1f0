// The recorded figures: what a past run measured (bench/recorded_figures.txt), which
// every run prints beside its own rows, marking those more than a quarter worse, and
// which a run can write afresh. The figures are for reading: nothing here decides the
// load generator's exit status. Called on the load generator's main thread.
//
// The file holds one figure a line: a key (a row's Row::key), blanks, the figure (a
// decimal number above 0), and, after blanks, an optional comment from '#' on, saying
// how it was measured:
//
//   chat.round_trip_median.ratio 1.40  # all --markdown, one run: 0.085 against 0.061 ms
//
// Lines that are blank or start with '#' say nothing. A key's last part is the unit of
// its figure: "ratio" (the game's figure over its baseline's), "ms", "kib".
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "bench_report.h"

namespace bench {

struct RecordedFigure {
  double value = 0;
  std::string comment;  // without its '#'; empty when the line has none
  std::size_t line = 0;  // where the file has it, so that a rewrite keeps the order
};
using RecordedFigures = std::map<std::string, RecordedFigure>;

// A figure this much worse than its recorded one is marked: a quarter.
inline constexpr double kMarkedWorse = 0.25;

// Reads the lines of `text` into `out`. Returns one problem per damaged line ("line 4:
// ..."), which is left out; every other line is read. A key given twice keeps its first
// figure. Lines already in `out` are left as they are.
std::vector<std::string> ParseRecorded(std::string_view text, RecordedFigures& out);

// Reads the file at `path` into `out` as ParseRecorded does. False, with `out` left
// untouched, when the file cannot be read; `problems` then holds why.
bool ReadRecorded(const std::string& path, RecordedFigures& out, std::vector<std::string>& problems);

// How much worse `measured` is than `recorded`, as a share of `recorded`: 0.3 for 30%
// worse, below 0 when it is better. REQUIRES: recorded > 0.
double Worse(double measured, double recorded, Better better);

// A figure as the file's key says to show it: "1.40x", "0.91 KiB", "0.212 ms".
std::string ShowFigure(const std::string& key, double value);

// Sets the recorded figure of each of `r`'s kept rows that `figures` holds.
void Compare(Report& r, const RecordedFigures& figures);

// Prints what the comparison found over `reports`: how many figures were compared and
// each one more than a quarter worse.
void PrintComparison(const std::vector<Report>& reports, const std::string& path, std::size_t recorded);

// The text of a recorded-figures file: the figures `reports` measured (their kept rows
// with a figure above 0), each with a comment naming `how` and `date`, then those of
// `old` that these reports did not measure, as they were and in their order.
std::string RecordedText(const std::vector<Report>& reports, const RecordedFigures& old, const std::string& how,
                         const std::string& date);

}  // namespace bench
