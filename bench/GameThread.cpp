#include "GameThread.h"

#include <time.h>

#include <algorithm>
#include <thread>

#include "DevHost.h"

namespace veltrane::bench {

void GameThread::Summary::Add(const Held& held) {
  ++calls;
  total_ms += held.wall_ms;
  if (held.wall_ms > longest.wall_ms) longest = held;
  longest_cpu_ms = std::max(longest_cpu_ms, held.cpu_ms);
  if (held.wall_ms > 1.0) ++above_one_ms;
  if (held.cpu_ms > 1.0) ++above_one_ms_cpu;
}

void GameThread::Summary::Add(const Summary& other) {
  calls += other.calls;
  total_ms += other.total_ms;
  if (other.longest.wall_ms > longest.wall_ms) longest = other.longest;
  longest_cpu_ms = std::max(longest_cpu_ms, other.longest_cpu_ms);
  above_one_ms += other.above_one_ms;
  above_one_ms_cpu += other.above_one_ms_cpu;
}

GameThread::Held GameThread::Now() {
  timespec cpu{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu);
  return {std::chrono::duration<double, std::milli>(Clock::now().time_since_epoch()).count(),
          double(cpu.tv_sec) * 1e3 + double(cpu.tv_nsec) / 1e6};
}

void GameThread::Record(Callback kind, const Held& held) {
  summaries_[std::size_t(kind)].Add(held);
  held_ever_ms_ += held.wall_ms;
}

GameThread::Summary GameThread::All() const {
  Summary all;
  for (const Summary& summary : summaries_) all.Add(summary);
  return all;
}

bool GameThread::TickUntil(const std::function<bool()>& done, Clock::time_point deadline) {
  while (!done()) {
    if (next_tick_ >= deadline) {
      std::this_thread::sleep_until(deadline);
      return false;
    }
    std::this_thread::sleep_until(next_tick_);
    const Clock::time_point now = Clock::now();
    const float delta_seconds = std::chrono::duration<float>(now - last_tick_).count();
    last_tick_ = now;
    // A loop that fell behind (the benchmark's own work between waits) ticks again one interval
    // after this tick, as a game's loop does, rather than catching up with ticks in a row.
    next_tick_ += kTickInterval;
    if (next_tick_ <= now) next_tick_ = now + kTickInterval;
    Call(Callback::Tick, [delta_seconds] { devhost::DevHost::Get().commands.Tick(delta_seconds); });
  }
  return true;
}

}  // namespace veltrane::bench
