#pragma once
// The refusals of one bound as episodes, so that a flood is two lines in the log instead of one a
// refusal: the first refusal opens an episode, and it closes with its count only once the queue is
// well below its bound (three quarters of it, or fewer). Steady traffic at the bound, one in as
// one goes out, stays one episode. The total since load is kept for the status.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <utility>

class FloodEpisode {
 public:
  explicit FloodEpisode(std::size_t bound) : bound_(bound) {}

  // One more refusal; true when it opens an episode.
  bool Refused() {
    ++total_;
    return in_episode_++ == 0;
  }
  // waiting is how many wait now: the count of the episode that this ends, if one was open and
  // few enough wait.
  std::optional<std::uint64_t> EndedAt(std::size_t waiting) {
    if (in_episode_ == 0 || waiting > bound_ / 4 * 3) return std::nullopt;
    return std::exchange(in_episode_, 0);
  }
  std::size_t Bound() const { return bound_; }
  std::uint64_t Total() const { return total_; }

 private:
  std::size_t bound_;
  std::uint64_t in_episode_ = 0;
  std::uint64_t total_ = 0;
};
