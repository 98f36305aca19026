// code_attempt_flood: the wrong-code records under a flood of distinct guessing players. Every
// player types MaxCodeAttempts (its default) wrong codes and is locked out; the heap that the
// records hold afterwards is measured with the allocator's own count, beside the time per wrong
// code.
//
//   code_attempt_flood [benchmark flags]
//
// No database: the limiter is the game thread's bookkeeping before any statement.

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "Configuration/SettingsTable.h"
#include "Linking/CodeAttemptLimiter.h"
#include "Linking/LinkFlow.h"

namespace {

const CodeAttemptLimiter::Limits kDefaults = LimitsOf(DefaultSettings());

std::size_t HeapInUse() { return mallinfo2().uordblks; }

// EOS ids as the host gives them: 32 lowercase hex digits.
const std::vector<std::string>& EosIds() {
  static const std::vector<std::string> ids = [] {
    std::vector<std::string> made;
    made.reserve(100000);
    for (std::uint64_t i = 0; i < 100000; ++i)
      made.push_back(fmt::format("{:016x}{:016x}", i * 0x9E3779B97F4A7C15u, ~i));
    return made;
  }();
  return ids;
}

void Flood(benchmark::State& state) {
  const std::size_t players = std::size_t(state.range(0));
  const std::vector<std::string>& ids = EosIds();
  std::size_t held_bytes = 0;
  std::size_t records = 0;
  std::size_t lockouts = 0;
  for (auto _ : state) {
    const std::size_t before = HeapInUse();
    {
      CodeAttemptLimiter limiter;
      auto now = CodeAttemptLimiter::Clock::time_point(std::chrono::hours(1000));
      lockouts = 0;
      for (std::size_t player = 0; player < players; ++player) {
        for (int attempt = 0; attempt < kDefaults.max_attempts; ++attempt) {
          if (limiter.CountWrongCode(ids[player], kDefaults, now).lockout) ++lockouts;
        }
        now += std::chrono::milliseconds(10);
      }
      state.PauseTiming();
      held_bytes = HeapInUse() - before;
      records = limiter.Size();
      state.ResumeTiming();
    }
  }
  state.counters["players_remembered"] = double(records);
  state.counters["heap_KiB"] = double(held_bytes) / 1024.0;
  state.counters["lockouts"] = double(lockouts);
  state.counters["per_wrong_code"] = benchmark::Counter(
      double(players) * kDefaults.max_attempts,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(Flood)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(50000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
