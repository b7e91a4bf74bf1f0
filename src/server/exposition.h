// The two text formats of the metrics door: Prometheus' 0.0.4 and OpenMetrics 1.0.0,
// written family by family. Pure values; any thread.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "web/web_rules.h"

namespace server {

// A histogram as both formats write it.
struct HistogramReading {
  std::vector<double> bounds;
  std::vector<std::uint64_t> counts;  // cumulative, one a bound
  double sum = 0;
  std::uint64_t count = 0;  // the +Inf bucket
};

// The kinds of metric families the two text formats write.
enum class MetricKind { Gauge, Counter, Histogram, Info };

// Writes metric families in one of the two text formats. They differ in the names of
// counter and info families (OpenMetrics names the family without the "_total" or
// "_info" of its sample, Prometheus' format names it as its sample) and in "# EOF".
class Exposition {
 public:
  explicit Exposition(web::MetricsFormat format)
      : openMetrics_(format == web::MetricsFormat::OpenMetrics) {}

  // Begins the family `name`: a counter's without "_total", an info's without "_info".
  void Family(std::string_view name, MetricKind kind, std::string_view help) {
    family_ = name;
    std::string_view type = "gauge";
    if (kind == MetricKind::Counter) type = "counter";
    if (kind == MetricKind::Histogram) type = "histogram";
    if (kind == MetricKind::Info && openMetrics_) type = "info";
    std::string shown(name);
    if (!openMetrics_ && kind == MetricKind::Counter) shown += "_total";
    if (!openMetrics_ && kind == MetricKind::Info) shown += "_info";
    out_.append("# HELP ").append(shown).append(" ").append(help).append("\n");
    out_.append("# TYPE ").append(shown).append(" ").append(type).append("\n");
  }

  // A sample of the family begun last, named as the family and `suffix`; `labels` is
  // empty or `{name="value",...}`.
  void Sample(std::string_view suffix, std::string_view labels, double value) {
    out_.append(family_).append(suffix).append(labels).append(" ");
    AppendNumber(value);
    out_.push_back('\n');
  }

  void Gauge(std::string_view name, std::string_view help, double value) {
    Family(name, MetricKind::Gauge, help);
    Sample("", "", value);
  }
  void Counter(std::string_view name, std::string_view help, double value) {
    Family(name, MetricKind::Counter, help);
    Sample("_total", "", value);
  }
  void Histogram(std::string_view name, std::string_view help,
                 const HistogramReading& reading) {
    Family(name, MetricKind::Histogram, help);
    for (std::size_t i = 0; i < reading.bounds.size(); ++i) {
      std::string labels = "{le=\"";
      labels += Number(reading.bounds[i], true);
      Sample("_bucket", labels + "\"}", static_cast<double>(reading.counts[i]));
    }
    Sample("_bucket", "{le=\"+Inf\"}", static_cast<double>(reading.count));
    Sample("_sum", "", reading.sum);
    Sample("_count", "", static_cast<double>(reading.count));
  }

  std::string Finish() {
    if (openMetrics_) out_ += "# EOF\n";
    return std::move(out_);
  }

  // The shortest decimal that reads back as `value`, fixed when that is no longer
  // ("1234", "0.25", "1e-05"), or always fixed ("0.00001").
  static std::string Number(double value, bool fixed = false) {
    char text[400];
    const auto [end, error] =
        fixed ? std::to_chars(text, text + sizeof text, value, std::chars_format::fixed)
              : std::to_chars(text, text + sizeof text, value);
    return error == std::errc() ? std::string(text, end) : "0";
  }

 private:
  void AppendNumber(double value) { out_ += Number(value); }

  bool openMetrics_;
  std::string family_;
  std::string out_;
};

// A label value as both formats quote it.
std::string LabelValue(std::string_view value);

}  // namespace server
