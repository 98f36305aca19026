#pragma once
// The game thread's loop. Script lines and work from other threads (RCON requests) arrive here;
// only the game thread takes them out, so every plugin callback runs on it.

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
  // Script lines read ahead and not yet run: the input reader waits while they hold more. Each
  // line counts its text and its place in the queue, so a flood of empty lines is bounded too.
  static constexpr std::size_t kMaxReadAhead = 1 << 20;
  static constexpr std::size_t kLineOverhead = sizeof(std::string);

  explicit GameLoop(std::size_t max_tasks = 64) : max_tasks_(max_tasks) {}

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

  // Game thread. The next script line, serving tasks while waiting; none when input has ended
  // or a stop was requested.
  std::optional<std::string> NextLine();
  // Game thread. Serves tasks until the deadline passes or a stop is requested.
  void ServeUntil(std::chrono::steady_clock::time_point deadline);
  // Game thread. Serves tasks until done() answers true (asked after each task and after each
  // Wake), the deadline passes or a stop is requested; answers done(). done() runs under the
  // loop's lock: it may take other locks, but whoever holds those must not wait for this loop.
  bool ServeUntil(std::chrono::steady_clock::time_point deadline,
                  const std::function<bool()>& done);
  void ServeUntilStop();

 private:
  // Runs one task with the lock released; answers false when there was none.
  bool RunOneTask(std::unique_lock<std::mutex>& lock);

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
