#include "PrintedLines.h"

#include <algorithm>

namespace devhost {

void PrintedLines::Mark() {
  first_number_ += lines_.size();
  lines_.clear();
  bytes_ = 0;
}

void PrintedLines::Add(std::string_view line) {
  lines_.emplace_back(line);
  bytes_ += line.size();
  // The newest line stays, however long.
  while (bytes_ > max_bytes_ && lines_.size() > 1) {
    bytes_ -= lines_.front().size();
    lines_.pop_front();
    ++first_number_;
  }
}

bool PrintedLines::Contains(std::string_view text, std::uint64_t& searched) const {
  const std::uint64_t end = first_number_ + lines_.size();
  const std::uint64_t from = std::max(searched, first_number_);
  searched = end;
  for (std::uint64_t number = from; number < end; ++number)
    if (lines_[number - first_number_].find(text) != std::string::npos) return true;
  return false;
}

}  // namespace devhost
