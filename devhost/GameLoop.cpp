#include "GameLoop.h"

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

void GameLoop::PushLine(std::string line) {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    lines_.push_back(std::move(line));
  }
  wake_.notify_all();
}

void GameLoop::EndInput() {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    input_ended_ = true;
  }
  wake_.notify_all();
}

void GameLoop::RequestStop() {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    stop_ = true;
  }
  wake_.notify_all();
}

bool GameLoop::StopRequested() const {
  const std::lock_guard<std::mutex> guard(lock_);
  return stop_;
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

std::optional<std::string> GameLoop::NextLine() {
  std::unique_lock<std::mutex> lock(lock_);
  while (true) {
    if (stop_) return std::nullopt;
    if (RunOneTask(lock)) continue;
    if (!lines_.empty()) {
      std::string line = std::move(lines_.front());
      lines_.pop_front();
      return line;
    }
    if (input_ended_) return std::nullopt;
    wake_.wait(lock);
  }
}

void GameLoop::ServeUntil(std::chrono::steady_clock::time_point deadline) {
  std::unique_lock<std::mutex> lock(lock_);
  while (!stop_ && std::chrono::steady_clock::now() < deadline) {
    if (!RunOneTask(lock)) wake_.wait_until(lock, deadline);
  }
}

void GameLoop::ServeUntilStop() {
  std::unique_lock<std::mutex> lock(lock_);
  while (!stop_) {
    if (!RunOneTask(lock)) wake_.wait(lock);
  }
}

}  // namespace devhost
