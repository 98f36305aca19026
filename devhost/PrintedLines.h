#pragma once
// The output lines that wait-for looks at: those printed since the last mark. The script marks at
// the start of every command but wait-for, so a wait also finds a line that the command before it
// caused before the wait began (printed by the command itself, or by a tick in between). Bounded:
// beyond max_bytes of text the oldest lines are forgotten. Not thread-safe; Output.cpp holds it
// under its lock.

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>

namespace devhost {

class PrintedLines {
 public:
  static constexpr std::size_t kMaxBytes = 8 << 20;

  explicit PrintedLines(std::size_t max_bytes = kMaxBytes) : max_bytes_(max_bytes) {}

  // Forgets the lines kept so far.
  void Mark();
  void Add(std::string_view line);
  // Whether a line kept since the mark, and numbered searched or later, contains text; searched
  // then numbers the next line to be added, so a wait that asks again reads each line once. A
  // wait starts with searched 0.
  bool Contains(std::string_view text, std::uint64_t& searched) const;

 private:
  const std::size_t max_bytes_;
  std::deque<std::string> lines_;
  std::uint64_t first_number_ = 0;  // of lines_.front()
  std::size_t bytes_ = 0;
};

}  // namespace devhost
