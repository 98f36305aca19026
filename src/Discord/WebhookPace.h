#pragma once
// How often the plugin posts to one webhook address. Discord answers a faster series with 429 Too
// Many Requests, which the game server's POST never shows the plugin, and may ban an address that
// keeps trying: the announcement would be lost without a trace. Its limits are observed, not
// documented (about 5 requests per 2 s per webhook, about 30 a minute per channel), so the plugin
// keeps under both for each address it posts to, with a margin for the posts' way there. The
// caller passes the time, from a steady clock, so that a change of the wall clock moves no post.
//
// Addresses are known by a stable hash only: an address holds the webhook's token, and what the
// pace holds is written to a file for the next load (Discord/PaceFile.h).

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <string_view>
#include <utility>

class WebhookPace {
 public:
  using Clock = std::chrono::steady_clock;
  using AddressKey = std::uint64_t;
  // The times of the posts that still count, oldest first, per address.
  using Posts = std::map<AddressKey, std::deque<Clock::time_point>>;

  // At most posts in any window.
  struct Limit {
    std::size_t posts;
    Clock::duration window;
  };
  static constexpr std::array<Limit, 2> kLimits{
      {{5, std::chrono::seconds(2)}, {30, std::chrono::seconds(60)}}};
  // Added to each window as the plugin counts it: post i and post i+5 leave at least 2.5 s apart,
  // so that a post held up on its way by less than this still reaches Discord outside the window
  // of the one five before it.
  static constexpr Clock::duration kMargin = std::chrono::milliseconds(500);
  // How long a post counts at all: the longest window with the margin.
  static constexpr Clock::duration kLongestCount = [] {
    Clock::duration longest{};
    for (const Limit& limit : kLimits) longest = std::max(longest, limit.window);
    return longest + kMargin;
  }();

  WebhookPace() = default;
  // The posts of an earlier load, read back.
  explicit WebhookPace(Posts posts) : posts_(std::move(posts)) {}

  // The stable key of an address: the same in every build and on every platform (64-bit FNV-1a
  // of its bytes), unlike std::hash.
  static AddressKey KeyOf(std::string_view address);

  // True when a post to address at now keeps within every limit. A post counts in a window until
  // the window and the margin have passed after it.
  bool MayPost(std::string_view address, Clock::time_point now) const;
  // A post to address at now; posts that no longer count are forgotten.
  void Posted(std::string_view address, Clock::time_point now);

  // What the pace holds; it may still hold posts that stopped counting since the last post.
  const Posts& Recent() const { return posts_; }

 private:
  Posts posts_;
};
