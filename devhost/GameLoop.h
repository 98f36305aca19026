#pragma once
// The game thread's loop. Script lines and work from other threads (RCON requests) arrive here;
// only the game thread takes them out, so every plugin callback runs on it. Like a game's frame,
// the loop ticks about every kTickInterval while it runs lines or waits, and never inside a line or
// a task.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace devhost {

class GameLoop {
 public:
  using Task = std::function<void()>;
  // Game thread: the seconds since the previous tick (at the first, since the loop was made).
  using Tick = std::function<void(float)>;
  static constexpr std::chrono::milliseconds kTickInterval{16};
  // Script lines read ahead and not yet run: the input reader waits while they hold more. Each
  // line counts its text and its place in the queue, so a flood of empty lines is bounded too.
  static constexpr std::size_t kMaxReadAhead = 1 << 20;
  static constexpr std::size_t kLineOverhead = sizeof(std::string);

  explicit GameLoop(Tick tick = {}, std::size_t max_tasks = 64)
      : tick_(std::move(tick)), max_tasks_(max_tasks) {}

  // Any thread. False when the queue is full or the loop stops; the task is dropped then.
  bool Post(Task task);
  // The input reader's side. PushLine waits while the lines read ahead are at their bound; false
  // when the loop stops or the input was closed meanwhile, and the line is dropped then.
  bool PushLine(std::string line);
  void EndInput();
  // Game thread: no more lines are wanted; a waiting PushLine returns.
  void CloseInput();
  // Any thread, also the signal watcher.
  void RequestStop();
  bool StopRequested() const;
  // Any thread: the game thread looks again at what it waits for (see ServeUntil).
  void Wake();

  // The game thread's waits; each serves ticks and tasks meanwhile.
  // The next script line, after the tick that is due; none when input has ended or a stop was
  // requested.
  std::optional<std::string> NextLine();
  // Until the deadline passes (a tick that came due by then still runs) or a stop is requested.
  void ServeUntil(std::chrono::steady_clock::time_point deadline);
  // Until done() answers true (asked after each tick, each task and each Wake), the deadline
  // passes or a stop is requested; answers done(). done() runs under the loop's lock: it may
  // take other locks, but whoever holds those must not wait for this loop.
  bool ServeUntil(std::chrono::steady_clock::time_point deadline,
                  const std::function<bool()>& done);
  // Until a stop is requested.
  void ServeUntilStop();

 private:
  using Clock = std::chrono::steady_clock;

  // Runs one task with the lock released; answers false when there was none.
  bool RunOneTask(std::unique_lock<std::mutex>& lock);
  // Runs the tick with the lock released when kTickInterval has passed since the last one.
  void RunDueTick(std::unique_lock<std::mutex>& lock);
  // Waits for a wake, the deadline or the next tick, whichever comes first.
  void WaitForWork(std::unique_lock<std::mutex>& lock, Clock::time_point deadline);

  const Tick tick_;
  Clock::time_point last_tick_ = Clock::now();  // game thread only
  const std::size_t max_tasks_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable room_;  // the reader's: lines were taken out
  std::deque<Task> tasks_;
  std::deque<std::string> lines_;
  std::size_t read_ahead_ = 0;  // what lines_ counts against kMaxReadAhead
  bool input_ended_ = false;
  bool input_closed_ = false;
  bool stop_ = false;
};

}  // namespace devhost
