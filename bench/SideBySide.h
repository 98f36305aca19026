#pragma once
// Times the plugin and the raw statements call by call within one benchmark, alternating which
// of the two goes first, so that whatever else the machine does at that moment weighs on both
// alike. Each repetition reports the mean of both sides as the counters kPluginCounter and
// kRawCounter, in microseconds per call.

#include <benchmark/benchmark.h>

#include <chrono>

namespace veltrane::bench {

inline constexpr char kPluginCounter[] = "plugin_us";
inline constexpr char kRawCounter[] = "raw_us";

class SideBySide {
 public:
  template <typename PluginCall, typename RawCall>
  void Call(int index, PluginCall&& plugin, RawCall&& raw) {
    if (index % 2 == 0) {
      plugin_seconds_ += SecondsOf(plugin);
      raw_seconds_ += SecondsOf(raw);
    } else {
      raw_seconds_ += SecondsOf(raw);
      plugin_seconds_ += SecondsOf(plugin);
    }
  }

  void Report(benchmark::State& state) const {
    state.counters[kPluginCounter] =
        benchmark::Counter(plugin_seconds_ * 1e6, benchmark::Counter::kAvgIterations);
    state.counters[kRawCounter] =
        benchmark::Counter(raw_seconds_ * 1e6, benchmark::Counter::kAvgIterations);
  }

 private:
  template <typename Work>
  static double SecondsOf(Work& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }

  double plugin_seconds_ = 0;
  double raw_seconds_ = 0;
};

}  // namespace veltrane::bench
