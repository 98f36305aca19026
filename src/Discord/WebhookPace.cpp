#include "Discord/WebhookPace.h"

#include <algorithm>
#include <iterator>

namespace {

constexpr WebhookPace::Clock::duration kLongestWindow =
    std::max_element(WebhookPace::kLimits.begin(), WebhookPace::kLimits.end(),
                     [](const auto& a, const auto& b) { return a.window < b.window; }) -> window;

}  // namespace

bool WebhookPace::MayPost(const std::string& address, Clock::time_point now) const {
  const auto found = posts_.find(address);
  if (found == posts_.end()) return true;
  const std::deque<Clock::time_point>& times = found->second;
  return std::all_of(kLimits.begin(), kLimits.end(), [&](const Limit& limit) {
    const auto in_window = std::count_if(times.begin(), times.end(), [&](Clock::time_point time) {
      return now - time < limit.window;
    });
    return std::size_t(in_window) < limit.posts;
  });
}

void WebhookPace::Posted(const std::string& address, Clock::time_point now) {
  posts_[address].push_back(now);
  for (auto entry = posts_.begin(); entry != posts_.end();) {
    std::deque<Clock::time_point>& times = entry->second;
    while (!times.empty() && now - times.front() >= kLongestWindow) times.pop_front();
    entry = times.empty() ? posts_.erase(entry) : std::next(entry);
  }
}
