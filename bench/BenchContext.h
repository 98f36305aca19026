#pragma once
// What every benchmark of one run shares: the server, the seeded tables with a baseline
// connection each, the plugin loaded in this process, and the host's output.

#include <map>
#include <memory>
#include <random>
#include <vector>

#include "HostOutput.h"
#include "InProcessPlugin.h"
#include "RawConnection.h"
#include "SeededTable.h"

namespace veltrane::bench {

// Calls per repetition and repetitions per measurement. Many short repetitions, interleaved at
// random, spread the load of a shared machine evenly over every row.
struct Workload {
  int database_calls = 60;
  int database_repetitions = 120;
  int cpu_calls = 20000;
  int cpu_repetitions = 25;
  // Untimed calls before each repetition, so that it starts on warm connections and pages.
  int warm_up_calls = 5;
};

struct BenchContext {
  ServerAddress server;
  Workload workload;
  std::map<int, std::unique_ptr<SeededTable>> tables;
  // The baseline: one bare connection per table, used for nothing else.
  std::map<int, std::unique_ptr<RawConnection>> raw;
  std::unique_ptr<HostOutput> output;
  std::unique_ptr<InProcessPlugin> plugin;
  std::mt19937_64 random{std::random_device{}()};
  // Makes every value a benchmark writes differ from what a row held before, also from what an
  // earlier run wrote into the kept tables.
  int generation = int(std::random_device{}() % 100000000);
};

BenchContext& Context();

void RegisterLinkBenchmarks(const std::vector<int>& sizes);
void RegisterLogoutBenchmarks(const std::vector<int>& sizes);
void RegisterAnnouncementBenchmarks();

}  // namespace veltrane::bench
