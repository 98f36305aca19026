#pragma once
// The game thread as the outage benchmark plays it. Every call into the plugin that the game would
// make (a player's chat command, the hooked logout, the host's tick) is made here and timed, in
// wall time and in this thread's CPU time: a long wall time with a short CPU time is the machine
// taking the core away, not the plugin working. While the benchmark waits for something, it ticks
// every 16 ms of wall time through the development host's command registry, as the game's loop
// calls its tick callbacks.

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>

namespace veltrane::bench {

class GameThread {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kTickInterval{16};

  enum class Callback { Command, Hook, Tick };

  struct Held {
    double wall_ms = 0;
    double cpu_ms = 0;
  };

  // What the callbacks of one kind, or of all kinds, held since the last Forget.
  struct Summary {
    std::size_t calls = 0;
    double total_ms = 0;
    Held longest;                      // the callback of the longest wall time
    double longest_cpu_ms = 0;         // the longest CPU time of a callback, maybe another one
    std::size_t above_one_ms = 0;      // in wall time
    std::size_t above_one_ms_cpu = 0;  // in CPU time

    void Add(const Held& held);
    void Add(const Summary& other);
  };

  // Runs work as one callback of kind.
  template <typename Work>
  Held Call(Callback kind, Work&& work) {
    const Held start = Now();
    work();
    const Held end = Now();
    const Held held{end.wall_ms - start.wall_ms, end.cpu_ms - start.cpu_ms};
    Record(kind, held);
    return held;
  }

  // Ticks on schedule until done() holds (asked before the first tick and after each) or deadline
  // has passed; whether it held.
  bool TickUntil(const std::function<bool()>& done, Clock::time_point deadline);
  // Ticks on schedule until time.
  void TickUntil(Clock::time_point time) {
    TickUntil([] { return false; }, time);
  }

  Summary Of(Callback kind) const { return summaries_[std::size_t(kind)]; }
  Summary All() const;
  // Starts the summaries anew.
  void Forget() { summaries_ = {}; }
  // The wall time of every callback since this object was made: what an action cost the game
  // thread is the difference over it.
  double HeldEver() const { return held_ever_ms_; }

 private:
  static Held Now();
  void Record(Callback kind, const Held& held);

  std::array<Summary, 3> summaries_{};
  double held_ever_ms_ = 0;
  Clock::time_point last_tick_ = Clock::now();
  Clock::time_point next_tick_ = last_tick_ + kTickInterval;
};

}  // namespace veltrane::bench
