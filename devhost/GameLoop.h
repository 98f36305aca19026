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

  explicit GameLoop(std::size_t max_tasks = 64) : max_tasks_(max_tasks) {}

  // Any thread. False when the queue is full or the loop stops; the task is dropped then.
  bool Post(Task task);
  // The input reader's side.
  void PushLine(std::string line);
  void EndInput();
  // Any thread, also the signal watcher.
  void RequestStop();
  bool StopRequested() const;

  // Game thread. The next script line, serving tasks while waiting; none when input has ended
  // or a stop was requested.
  std::optional<std::string> NextLine();
  // Game thread. Serves tasks until the deadline passes or a stop is requested.
  void ServeUntil(std::chrono::steady_clock::time_point deadline);
  void ServeUntilStop();

 private:
  // Runs one task with the lock released; answers false when there was none.
  bool RunOneTask(std::unique_lock<std::mutex>& lock);

  const std::size_t max_tasks_;
  mutable std::mutex lock_;
  std::condition_variable wake_;
  std::deque<Task> tasks_;
  std::deque<std::string> lines_;
  bool input_ended_ = false;
  bool stop_ = false;
};

}  // namespace devhost
