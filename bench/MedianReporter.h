#pragma once
// Keeps the time per call of every repetition, so that the table can quote medians, and passes
// the aggregates (mean, median, spread) on to the console as the run goes. A side-by-side
// benchmark (SideBySide.h) gives three series: "NAME:plugin" and "NAME:raw" in seconds per call,
// and "NAME:ratio", plugin over raw within each repetition.

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace veltrane::bench {

class MedianReporter : public benchmark::BenchmarkReporter {
 public:
  explicit MedianReporter(std::ostream& console);

  // BenchmarkReporter
  bool ReportContext(const Context& context) override;
  void ReportRuns(const std::vector<Run>& runs) override;
  void Finalize() override;

  // Median over the repetitions of a series; none when its benchmark did not run or failed.
  std::optional<double> Median(const std::string& series) const;
  // How each failed benchmark failed.
  const std::map<std::string, std::string>& Failures() const { return failures_; }

 private:
  benchmark::ConsoleReporter console_;
  std::map<std::string, std::vector<double>> series_;
  std::map<std::string, std::string> failures_;
};

}  // namespace veltrane::bench
