#pragma once
// The run's results as Markdown: medians per call, the ratios plugin / raw and largest / smallest
// table, and the targets with whether each was met.

#include <ostream>
#include <string>
#include <vector>

#include "BenchContext.h"
#include "MedianReporter.h"

namespace veltrane::bench {

// Answers whether every target was met.
// server names the database server the run measured.
bool WritePerformanceTable(std::ostream& out, const MedianReporter& medians,
                           const std::vector<int>& sizes, const Workload& workload,
                           const std::string& server);

}  // namespace veltrane::bench
