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

std::optional<std::string> GameLoop::NextLine() {
  std::unique_lock<std::mutex> lock(lock_);
  while (true) {
    if (stop_) return std::nullopt;
    if (RunOneTask(lock)) continue;
    if (!lines_.empty()) {
      std::string line = std::move(lines_.front());
      lines_.pop_front();
      read_ahead_ -= line.size() + kLineOverhead;
      room_.notify_all();
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

bool GameLoop::ServeUntil(std::chrono::steady_clock::time_point deadline,
                          const std::function<bool()>& done) {
  std::unique_lock<std::mutex> lock(lock_);
  while (!stop_) {
    if (RunOneTask(lock)) continue;
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    wake_.wait_until(lock, deadline);
  }
  return done();
}

void GameLoop::ServeUntilStop() {
  std::unique_lock<std::mutex> lock(lock_);
  while (!stop_) {
    if (!RunOneTask(lock)) wake_.wait(lock);
  }
}

}  // namespace devhost
