// veltrane_bench: the plugin's cost on the game thread, beside the same database work done raw,
// at several table sizes (scripts/bench runs it and writes docs/performance.md).
//
//   veltrane_bench [--sizes=1000,100000,1000000] [--quick] [--root=DIR] [benchmark flags]
//
// Needs VELTRANE_DB_HOST/PORT/USER/PASS of a sandbox server. Prints the Markdown table on standard
// output and the progress on standard error. Exits 1 when a benchmark failed, 2 when the run could
// not start, 3 when a target was missed.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "BenchContext.h"
#include "MedianReporter.h"
#include "PerformanceTable.h"

namespace veltrane::bench {

BenchContext& Context() {
  static BenchContext context;
  return context;
}

namespace {

struct Options {
  std::vector<int> sizes = {1000, 100000, 1000000};
  bool quick = false;
  std::filesystem::path root = std::filesystem::temp_directory_path() / "veltrane-bench";
};

std::vector<int> ParseSizes(const std::string& text) {
  std::vector<int> sizes;
  std::stringstream stream(text);
  for (std::string size; std::getline(stream, size, ',');) sizes.push_back(std::stoi(size));
  std::sort(sizes.begin(), sizes.end());
  if (sizes.empty()) throw std::invalid_argument("--sizes needs at least one size");
  return sizes;
}

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--sizes=", 0) == 0) {
      options.sizes = ParseSizes(argument.substr(8));
    } else if (argument == "--quick") {
      options.quick = true;
    } else if (argument.rfind("--root=", 0) == 0) {
      options.root = argument.substr(7);
    } else {
      throw std::invalid_argument("unknown argument " + argument);
    }
  }
  return options;
}

// Interleaved repetitions spread a busy moment of the machine over every row instead of one.
std::vector<char*> WithInterleaving(int argc, char** argv) {
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  std::vector<char*> arguments(argv, argv + argc);
  arguments.insert(arguments.begin() + 1, interleave);
  arguments.push_back(nullptr);
  return arguments;
}

int Run(int argc, char** argv) {
  std::vector<char*> arguments = WithInterleaving(argc, argv);
  int count = argc + 1;
  benchmark::Initialize(&count, arguments.data());
  const Options options = ParseOptions(count, arguments.data());

  BenchContext& context = Context();
  if (options.quick) context.workload = {30, 8, 2000, 5, 3};
  context.server = ServerAddress::FromEnvironment();
  for (const int rows : options.sizes) {
    std::cerr << "table of " << rows << " rows: " << std::flush;
    auto table = std::make_unique<SeededTable>(context.server, rows);
    if (table->SeedingSeconds() > 0) {
      std::cerr << fmt::format("seeded in {:.1f} s\n", table->SeedingSeconds());
    } else {
      std::cerr << "kept from an earlier run\n";
    }
    context.raw[rows] = std::make_unique<RawConnection>(context.server, table->Database());
    context.tables[rows] = std::move(table);
  }

  RawConnection& any = *context.raw.begin()->second;
  const std::string server =
      fmt::format("MariaDB {}, InnoDB buffer pool {} MiB", any.Text("SELECT VERSION()"),
                  any.Run("SELECT @@innodb_buffer_pool_size") >> 20);

  std::filesystem::create_directories(options.root);
  context.output = std::make_unique<HostOutput>();
  context.plugin = std::make_unique<InProcessPlugin>(
      options.root, std::filesystem::path(VELTRANE_SOURCE_DIR) / "config" / "config.json",
      context.server, VELTRANE_PLUGIN_MODULE);

  RegisterLinkBenchmarks(options.sizes);
  RegisterLogoutBenchmarks(options.sizes);
  RegisterAnnouncementBenchmarks();
  MedianReporter reporter(std::cerr);
  benchmark::RunSpecifiedBenchmarks(&reporter);

  const bool targets_met = WritePerformanceTable(context.output->Report(), reporter, options.sizes,
                                                 context.workload, server);
  context.output->Report().flush();
  const bool failed = !reporter.Failures().empty();
  context.plugin.reset();
  benchmark::Shutdown();
  if (failed) return 1;
  return targets_met ? 0 : 3;
}

}  // namespace

}  // namespace veltrane::bench

int main(int argc, char** argv) {
  try {
    return veltrane::bench::Run(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "veltrane_bench: " << error.what() << "\n";
    return 2;
  }
}
