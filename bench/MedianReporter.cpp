#include "MedianReporter.h"

#include <algorithm>

#include "SideBySide.h"

namespace veltrane::bench {

MedianReporter::MedianReporter(std::ostream& console)
    : console_(benchmark::ConsoleReporter::OO_Tabular) {
  console_.SetOutputStream(&console);
  console_.SetErrorStream(&console);
}

bool MedianReporter::ReportContext(const Context& context) {
  return console_.ReportContext(context);
}

void MedianReporter::ReportRuns(const std::vector<Run>& runs) {
  std::vector<Run> shown;
  for (const Run& run : runs) {
    const std::string& name = run.run_name.function_name;
    if (run.error_occurred) {
      failures_[name] = run.error_message;
      shown.push_back(run);
    } else if (run.run_type == Run::RT_Aggregate) {
      shown.push_back(run);
    } else if (run.iterations > 0) {
      const auto plugin = run.counters.find(kPluginCounter);
      const auto raw = run.counters.find(kRawCounter);
      if (plugin != run.counters.end() && raw != run.counters.end()) {
        series_[name + ":plugin"].push_back(plugin->second.value * 1e-6);
        series_[name + ":raw"].push_back(raw->second.value * 1e-6);
        series_[name + ":ratio"].push_back(plugin->second.value / raw->second.value);
      } else {
        series_[name].push_back(run.real_accumulated_time / double(run.iterations));
      }
    }
  }
  if (!shown.empty()) console_.ReportRuns(shown);
}

void MedianReporter::Finalize() { console_.Finalize(); }

std::optional<double> MedianReporter::Median(const std::string& series) const {
  const std::string name = series.substr(0, series.find(':'));
  const auto found = series_.find(series);
  if (failures_.count(name) != 0 || found == series_.end() || found->second.empty())
    return std::nullopt;
  std::vector<double> values = found->second;
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

}  // namespace veltrane::bench
