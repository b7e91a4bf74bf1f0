#include "bench_recorded.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

namespace bench {

namespace {

bool Blank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (Blank(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (Blank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

bool KeyChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
         c == '-' || c == '\'';
}

// One line of the file, trimmed and neither blank nor a comment. Empty when it was
// read into `out`, else what is wrong with it.
std::string ParseLine(std::string_view line, std::size_t number, RecordedFigures& out) {
  std::size_t keyEnd = 0;
  while (keyEnd < line.size() && KeyChar(line[keyEnd])) ++keyEnd;
  const std::string key(line.substr(0, keyEnd));
  if (key.empty()) return "a key is made of letters, digits and . _ - '";
  std::string_view rest = line.substr(keyEnd);
  if (rest.empty() || !Blank(rest.front())) {
    return rest.empty() ? "no figure after " + key : "a key is made of letters, digits and . _ - '";
  }
  while (!rest.empty() && Blank(rest.front())) rest.remove_prefix(1);
  double value = 0;
  const auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
  if (error != std::errc()) return "the figure of " + key + " is not a number";
  if (!std::isfinite(value) || value <= 0) return "the figure of " + key + " is not above 0";
  rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
  const std::size_t blanks = rest.find_first_not_of(" \t");
  rest.remove_prefix(blanks == std::string_view::npos ? rest.size() : blanks);
  if (!rest.empty() && (rest.front() != '#' || blanks == 0)) {
    return "after the figure of " + key + " comes text that is not a comment";
  }
  if (out.count(key) != 0) return key + " is recorded twice; its first figure is kept";
  if (!rest.empty()) rest = Trim(rest.substr(1));
  out[key] = RecordedFigure{value, std::string(rest), number};
  return {};
}

// A figure as the file holds it: four significant digits, which from_chars reads back.
std::string Plain(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.4g", value);
  return text;
}

// The scenario a report's rows belong to, as the comments and tables name it.
std::string ScenarioOf(const Report& r) {
  if (r.scenario == Scenario::Siege) return r.setting.substr(0, r.setting.find(':'));
  return std::string(ScenarioName(r.scenario));
}

}  // namespace

std::vector<std::string> ParseRecorded(std::string_view text, RecordedFigures& out) {
  std::vector<std::string> problems;
  std::size_t number = 0;
  while (!text.empty()) {
    const std::size_t newline = text.find('\n');
    const std::string_view line = Trim(text.substr(0, newline));
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    ++number;
    if (line.empty() || line.front() == '#') continue;
    const std::string problem = ParseLine(line, number, out);
    if (!problem.empty()) problems.push_back("line " + std::to_string(number) + ": " + problem);
  }
  return problems;
}

bool ReadRecorded(const std::string& path, RecordedFigures& out, std::vector<std::string>& problems) {
  std::ifstream in(path);
  if (!in) {
    problems = {"cannot be read"};
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  problems = ParseRecorded(text.str(), out);
  return true;
}

double Worse(double measured, double recorded, Better better) {
  const double by = better == Better::Lower ? measured - recorded : recorded - measured;
  return by / recorded;
}

std::string ShowFigure(const std::string& key, double value) {
  const std::string_view unit = std::string_view(key).substr(key.rfind('.') + 1);
  if (unit == "ratio") return Fixed(value, 2) + "x";
  if (unit == "ms") return Fixed(value, 3) + " ms";
  if (unit == "kib") return Fixed(value, 2) + " KiB";
  return Fixed(value, 3);
}

void Compare(Report& r, const RecordedFigures& figures) {
  for (Row& row : r.rows) {
    if (row.key.empty()) continue;
    const auto found = figures.find(row.key);
    if (found != figures.end()) row.recorded = found->second.value;
  }
}

void PrintComparison(const std::vector<Report>& reports, const std::string& path, std::size_t recorded) {
  std::vector<const Row*> compared;
  std::vector<const Row*> worse;
  for (const Report& r : reports) {
    for (const Row& row : r.rows) {
      if (row.recorded <= 0 || row.value < 0) continue;
      compared.push_back(&row);
      if (Worse(row.value, row.recorded, row.better) > kMarkedWorse) worse.push_back(&row);
    }
  }
  std::printf("\nrecorded figures (%s, %zu kept): %zu compared with this run, %zu more than a quarter worse%s\n",
              path.c_str(), recorded, compared.size(), worse.size(), worse.empty() ? "" : ":");
  for (const Row* row : worse) {
    std::printf("   %-34s %10s, recorded %s (%+.0f%%)\n", row->key.c_str(), ShowFigure(row->key, row->value).c_str(),
                ShowFigure(row->key, row->recorded).c_str(),
                100 * (row->value - row->recorded) / row->recorded);
  }
}

std::string RecordedText(const std::vector<Report>& reports, const RecordedFigures& old, const std::string& how,
                         const std::string& date) {
  std::string text =
      "# The figures pelthollow-bench prints beside its own, marking any more than a quarter worse.\n"
      "# One a line: key, figure, '#' and how it was measured. Written by `pelthollow-bench ... --record FILE`,\n"
      "# which keeps the lines of the figures its run did not measure.\n";
  std::set<std::string> written;
  for (const Report& r : reports) {
    for (const Row& row : r.rows) {
      if (row.key.empty() || row.value <= 0 || !written.insert(row.key).second) continue;
      text += row.key + " " + Plain(row.value) + "  # " + ScenarioOf(r) + ": " + row.figure + ", " + row.game +
              " against " + row.echo + " (" + BaseSide(r) + "); " + how + ", " + date + "\n";
    }
  }
  std::vector<std::pair<std::size_t, std::string>> kept;
  for (const auto& [key, figure] : old) {
    if (written.count(key) == 0) kept.emplace_back(figure.line, key);
  }
  std::sort(kept.begin(), kept.end());
  for (const auto& [line, key] : kept) {
    const RecordedFigure& figure = old.at(key);
    text += key + " " + Plain(figure.value) + (figure.comment.empty() ? "" : "  # " + figure.comment) + "\n";
  }
  return text;
}

}  // namespace bench
