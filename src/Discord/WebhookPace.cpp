#include "Discord/WebhookPace.h"

#include <algorithm>
#include <iterator>

WebhookPace::AddressKey WebhookPace::KeyOf(std::string_view address) {
  AddressKey key = 14695981039346656037ULL;
  for (const char byte : address) {
    key ^= static_cast<unsigned char>(byte);
    key *= 1099511628211ULL;
  }
  return key;
}

bool WebhookPace::MayPost(std::string_view address, Clock::time_point now) const {
  const auto found = posts_.find(KeyOf(address));
  if (found == posts_.end()) return true;
  const std::deque<Clock::time_point>& times = found->second;
  return std::all_of(kLimits.begin(), kLimits.end(), [&](const Limit& limit) {
    const auto in_window = std::count_if(times.begin(), times.end(), [&](Clock::time_point time) {
      return now - time < limit.window + kMargin;
    });
    return std::size_t(in_window) < limit.posts;
  });
}

void WebhookPace::Posted(std::string_view address, Clock::time_point now) {
  posts_[KeyOf(address)].push_back(now);
  for (auto entry = posts_.begin(); entry != posts_.end();) {
    std::deque<Clock::time_point>& times = entry->second;
    while (!times.empty() && now - times.front() >= kLongestCount) times.pop_front();
    entry = times.empty() ? posts_.erase(entry) : std::next(entry);
  }
}
