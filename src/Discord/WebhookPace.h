#pragma once
// How often the plugin posts to one webhook address. Discord answers a faster series with 429 Too
// Many Requests, which the game server's POST never shows the plugin, and may ban an address that
// keeps trying: the announcement would be lost without a trace. Its limits are observed, not
// documented (about 5 requests per 2 s per webhook, about 30 a minute per channel), so the plugin
// keeps under both for each address it posts to. The caller passes the time, from a steady clock,
// so that a change of the wall clock moves no post.

#include <array>
#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <string>

class WebhookPace {
 public:
  using Clock = std::chrono::steady_clock;

  // At most posts in any window.
  struct Limit {
    std::size_t posts;
    Clock::duration window;
  };
  static constexpr std::array<Limit, 2> kLimits{
      {{5, std::chrono::seconds(2)}, {30, std::chrono::seconds(60)}}};

  // True when a post to address at now keeps within every limit. A post counts in a window
  // until a whole window has passed after it.
  bool MayPost(const std::string& address, Clock::time_point now) const;
  // A post to address at now; posts older than the longest window are forgotten.
  void Posted(const std::string& address, Clock::time_point now);

 private:
  // The times of the posts within the longest window, oldest first, per address.
  std::map<std::string, std::deque<Clock::time_point>> posts_;
};
