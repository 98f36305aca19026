#pragma once
// The refusals of one bound as episodes, so that a flood is two lines in the log instead of one a
// refusal: the first refusal opens an episode, and the first time the bound is no longer hit
// closes it with its count. The total since load is kept for the status.

#include <cstdint>
#include <optional>
#include <utility>

class FloodEpisode {
 public:
  // One more refusal; true when it opens an episode.
  bool Refused() {
    ++total_;
    return in_episode_++ == 0;
  }
  // The bound is not hit now: the count of the episode that this ends, if one was open.
  std::optional<std::uint64_t> Ended() {
    if (in_episode_ == 0) return std::nullopt;
    return std::exchange(in_episode_, 0);
  }
  std::uint64_t Total() const { return total_; }

 private:
  std::uint64_t in_episode_ = 0;
  std::uint64_t total_ = 0;
};
