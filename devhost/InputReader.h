#pragma once
// Reads script lines from a file descriptor on its own thread and hands them to the game loop,
// so that the game thread serves RCON requests while no line is there. It reads ahead only a
// bounded amount (GameLoop::kMaxReadAhead) and then waits for the game thread.

#include <atomic>
#include <thread>

#include "GameLoop.h"

namespace devhost {

class InputReader {
 public:
  static constexpr std::size_t kMaxLine = 1 << 20;
  // What a longer line arrives as: no line read from the input can hold a line break.
  static constexpr const char* kOverlongLine = "\n";

  // Takes ownership of fd.
  InputReader(int fd, GameLoop& loop);
  InputReader(const InputReader&) = delete;
  InputReader& operator=(const InputReader&) = delete;
  ~InputReader();

  // Stops reading, also in the middle of a line.
  void Stop();

 private:
  void Run();

  int fd_;
  GameLoop& loop_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

}  // namespace devhost
