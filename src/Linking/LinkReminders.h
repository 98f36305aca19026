#pragma once
// The reminders to link that wait for their time: one per player, keyed by his EOS id, never by
// his controller, which may be gone when the time comes. The tick takes those that are due, a few
// at a time. Pure: the time is handed in.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Plugin/FloodEpisode.h"

class LinkReminders {
 public:
  using Clock = std::chrono::steady_clock;

  // Beyond this many reminders waiting, the one due first is given up.
  static constexpr std::size_t kMostWaiting = 1024;
  // At most this many are taken at one tick: each asks the store and shows a message.
  static constexpr std::size_t kDuePerTick = 8;

  // The player's reminder, due at due; one he had waiting (from an earlier login) is replaced. A
  // flood of reminders given up at the bound is one warning when it begins and one when it ends.
  void Add(const std::u16string& eos_id, Clock::time_point due);
  // Takes up to kDuePerTick reminders due at now, the earliest first.
  std::vector<std::u16string> TakeDue(Clock::time_point now);
  // Drops every reminder waiting and answers how many.
  std::size_t DropAll();

  std::size_t Waiting() const { return due_.size(); }
  std::uint64_t GivenUp() const { return given_up_.Total(); }

 private:
  std::multimap<Clock::time_point, std::u16string> due_;
  FloodEpisode given_up_{kMostWaiting};
};
