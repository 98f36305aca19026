#include "Linking/LinkReminders.h"

#include <algorithm>

#include "Plugin/PluginLog.h"

void LinkReminders::Add(const std::u16string& eos_id, Clock::time_point due) {
  // A scan at each login only; the tick looks at the first entry alone.
  const auto earlier = std::find_if(
      due_.begin(), due_.end(), [&eos_id](const auto& entry) { return entry.second == eos_id; });
  if (earlier != due_.end()) {
    due_.erase(earlier);
  } else if (due_.size() >= kMostWaiting) {
    due_.erase(due_.begin());
    if (given_up_.Refused()) {
      PluginLog::Get()->warn(
          "{} link reminders wait for their time; the first due are given up until fewer wait.",
          kMostWaiting);
    }
  }
  due_.emplace(due, eos_id);
}

std::vector<std::u16string> LinkReminders::TakeDue(Clock::time_point now) {
  std::vector<std::u16string> taken;
  while (!due_.empty() && due_.begin()->first <= now && taken.size() < kDuePerTick) {
    taken.push_back(std::move(due_.begin()->second));
    due_.erase(due_.begin());
  }
  if (const std::optional<std::uint64_t> given_up = given_up_.EndedAt(due_.size())) {
    PluginLog::Get()->warn("{} link reminders were given up while {} waited for their time.",
                           *given_up, kMostWaiting);
  }
  return taken;
}

std::size_t LinkReminders::DropAll() {
  const std::size_t dropped = due_.size();
  due_.clear();
  return dropped;
}
