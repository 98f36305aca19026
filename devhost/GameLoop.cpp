#include "GameLoop.h"

#include <algorithm>

namespace devhost {

bool GameLoop::Post(Task task) {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    if (stop_ || tasks_.size() >= max_tasks_) return false;
    tasks_.push_back(std::move(task));
  }
  wake_.notify_all();
  return true;
}

bool GameLoop::PushLine(std::string line) {
  const std::size_t cost = line.size() + kLineOverhead;
  {
    std::unique_lock<std::mutex> lock(lock_);
    // One line always fits, however long: the reader bounds a line's length itself.
    room_.wait(lock, [&] {
      return stop_ || input_closed_ || lines_.empty() || read_ahead_ + cost <= kMaxReadAhead;
    });
    if (stop_ || input_closed_) return false;
    read_ahead_ += cost;
    lines_.push_back(std::move(line));
  }
  wake_.notify_all();
  return true;
}

void GameLoop::EndInput() {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    input_ended_ = true;
  }
  wake_.notify_all();
}

void GameLoop::CloseInput() {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    input_closed_ = true;
  }
  room_.notify_all();
}

void GameLoop::RequestStop() {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  wake_.notify_all();
  room_.notify_all();
}

bool GameLoop::StopRequested() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return stop_;
}

void GameLoop::Wake() {
  // Taking the lock orders this wake after a check of done() that is under way, so the game
  // thread cannot miss it between its check and its wait.
  { const std::lock_guard<std::mutex> guard(lock_); }
  wake_.notify_all();
}

bool GameLoop::RunOneTask(std::unique_lock<std::mutex>& lock) {
  if (tasks_.empty()) return false;
  Task task = std::move(tasks_.front());
  tasks_.pop_front();
  lock.unlock();
  task();
  lock.lock();
  return true;
}

void GameLoop::RunDueTick(std::unique_lock<std::mutex>& lock) {
  if (!tick_) return;
  const Clock::time_point now = Clock::now();
  if (now - last_tick_ < kTickInterval) return;
  const float delta_seconds = std::chrono::duration<float>(now - last_tick_).count();
  last_tick_ = now;
  lock.unlock();
  tick_(delta_seconds);
  lock.lock();
}

void GameLoop::WaitForWork(std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
  if (tick_) deadline = std::min(deadline, last_tick_ + kTickInterval);
  if (deadline == Clock::time_point::max())
    wake_.wait(lock);
  else
    wake_.wait_until(lock, deadline);
}

std::optional<std::string> GameLoop::NextLine() {
  std::unique_lock<std::mutex> lock(lock_);
  while (true) {
    if (stop_) return std::nullopt;
    // A tick that takes longer than the interval must not starve the lines and tasks: each turn
    // runs at most one tick before them.
    RunDueTick(lock);
    if (RunOneTask(lock)) continue;
    if (!lines_.empty()) {
      std::string line = std::move(lines_.front());
      lines_.pop_front();
      read_ahead_ -= line.size() + kLineOverhead;
      room_.notify_all();
      return line;
    }
    if (input_ended_) return std::nullopt;
    WaitForWork(lock, Clock::time_point::max());
  }
}

void GameLoop::ServeUntil(Clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(lock_);
  while (!stop_) {
    RunDueTick(lock);
    if (Clock::now() >= deadline) return;
    if (!RunOneTask(lock)) WaitForWork(lock, deadline);
  }
}

bool GameLoop::ServeUntil(Clock::time_point deadline, const std::function<bool()>& done) {
  std::unique_lock<std::mutex> lock(lock_);
  while (!stop_) {
    RunDueTick(lock);
    if (RunOneTask(lock)) continue;
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    WaitForWork(lock, deadline);
  }
  return done();
}

void GameLoop::ServeUntilStop() {
  std::unique_lock<std::mutex> lock(lock_);
  while (!stop_) {
    RunDueTick(lock);
    if (!RunOneTask(lock)) WaitForWork(lock, Clock::time_point::max());
  }
}

}  // namespace devhost
