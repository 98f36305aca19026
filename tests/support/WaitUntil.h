#pragma once
// The one wait of the tests and benchmarks for something another thread, process or server brings
// about and does not announce: asks again at an interval, up to a deadline.

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace veltrane::test {

// True as soon as done() is; false when it still is not at the deadline. done() is asked once
// more at the deadline, so that what came during the last interval counts.
template <typename Predicate>
bool WaitUntil(std::chrono::steady_clock::time_point deadline, Predicate&& done,
               std::chrono::steady_clock::duration interval = std::chrono::milliseconds(10)) {
  while (!done()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    std::this_thread::sleep_for(
        std::min<std::chrono::steady_clock::duration>(interval, deadline - now));
  }
  return true;
}

template <typename Predicate>
bool WaitUntil(std::chrono::steady_clock::duration timeout, Predicate&& done,
               std::chrono::steady_clock::duration interval = std::chrono::milliseconds(10)) {
  return WaitUntil(std::chrono::steady_clock::now() + timeout, std::forward<Predicate>(done),
                   interval);
}

}  // namespace veltrane::test
