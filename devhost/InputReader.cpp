#include "InputReader.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace devhost {

namespace {

constexpr int kPollMs = 100;  // how soon Stop is noticed while no input comes

}  // namespace

InputReader::InputReader(int fd, GameLoop& loop) : fd_(fd), loop_(loop) {
  thread_ = std::thread(&InputReader::Run, this);
}

InputReader::~InputReader() {
  Stop();
  close(fd_);
}

void InputReader::Stop() {
  stopping_ = true;
  loop_.CloseInput();  // a reader waiting for room in the game loop gives up
  if (thread_.joinable()) thread_.join();
}

void InputReader::Run() {
  std::string pending;
  bool discarding = false;  // inside a line that grew past kMaxLine
  char chunk[4096];
  while (!stopping_) {
    pollfd polled{fd_, POLLIN, 0};
    const int ready = poll(&polled, 1, kPollMs);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    const ssize_t count = read(fd_, chunk, sizeof chunk);
    if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (count <= 0) break;
    for (ssize_t i = 0; i < count; ++i) {
      const char c = chunk[i];
      if (c == '\n') {
        if (!pending.empty() && pending.back() == '\r') pending.pop_back();
        // Waits while the game thread is behind: input is read ahead only so far.
        if (!loop_.PushLine(discarding ? std::string(kOverlongLine) : std::move(pending))) {
          loop_.EndInput();
          return;
        }
        pending.clear();
        discarding = false;
      } else if (!discarding) {
        pending.push_back(c);
        if (pending.size() > kMaxLine) {
          discarding = true;
          pending.clear();
        }
      }
    }
  }
  // The last line may lack its line break; an overlong one is reported like any other.
  if (!stopping_) {
    if (discarding) {
      loop_.PushLine(std::string(kOverlongLine));
    } else if (!pending.empty()) {
      if (pending.back() == '\r') pending.pop_back();
      loop_.PushLine(std::move(pending));
    }
  }
  loop_.EndInput();
}

}  // namespace devhost
