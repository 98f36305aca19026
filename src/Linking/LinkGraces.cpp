#include "Linking/LinkGraces.h"

#include <algorithm>

#include "Plugin/PluginLog.h"

LinkGraces::Clock::duration LinkGraces::WarningLead(Clock::duration grace) {
  constexpr Clock::duration kMinute = std::chrono::minutes(1);
  return grace < 2 * kMinute ? grace / 2 : kMinute;
}

void LinkGraces::Login(const std::u16string& eos_id, Clock::time_point now, Clock::duration grace) {
  const auto found = graces_.find(eos_id);
  if (found == graces_.end()) {
    if (graces_.size() >= kMostRemembered) ForgetEarliest();
    Grace& started = graces_[eos_id];
    started.first_login = now;
    started.ends_at = now + grace;
    started.lead = WarningLead(grace);
    started.warn_at = started.ends_at - started.lead;
    started.serial = next_serial_++;
    Schedule(eos_id, started, Step::Warning, started.warn_at);
    return;
  }
  Grace& known = found->second;
  if (known.ended) {
    // Back after his grace: no new one, but the time to type the code he may have come with.
    known.warn_at = now;
    known.ends_at = now + known.lead;
    known.serial = next_serial_++;
    known.warned = known.ended = known.unanswered = false;
    Schedule(eos_id, known, Step::Warning, now);
  } else if (!known.warned && known.next == Step::End && known.warn_at <= now &&
             now < known.ends_at) {
    Unschedule(eos_id);
    Schedule(eos_id, known, Step::Warning, now);
  }
}

std::vector<LinkGraces::Due> LinkGraces::TakeDue(Clock::time_point now) {
  std::vector<Due> taken;
  while (!due_.empty() && due_.begin()->first <= now && taken.size() < kDuePerTick) {
    const std::u16string eos_id = std::move(due_.extract(due_.begin()).mapped());
    Grace& grace = graces_.at(eos_id);
    taken.push_back({eos_id, grace.next, grace.serial});
    // An end stays due until it is decided: a question given up or unanswered is asked again.
    if (grace.next == Step::Warning) {
      Schedule(eos_id, grace, Step::End, grace.ends_at);
    } else {
      Schedule(eos_id, grace, Step::End, now + grace.lead);
    }
  }
  EndForgetting();
  return taken;
}

const LinkGraces::Grace* LinkGraces::Find(const Due& due) const {
  const auto found = graces_.find(due.eos_id);
  if (found == graces_.end() || found->second.serial != due.serial || found->second.ended)
    return nullptr;
  return &found->second;
}

void LinkGraces::Linked(const std::u16string& eos_id) {
  if (graces_.erase(eos_id) != 0) Unschedule(eos_id);
}

bool LinkGraces::Current(const Due& due) const { return Find(due) != nullptr; }

void LinkGraces::Warned(const Due& due) {
  if (Grace* grace = Find(due)) grace->warned = true;
}

void LinkGraces::Forget(const Due& due) {
  if (Find(due) == nullptr) return;
  Unschedule(due.eos_id);
  graces_.erase(due.eos_id);
}

void LinkGraces::EndedAway(const Due& due) {
  Grace* grace = Find(due);
  if (grace == nullptr) return;
  grace->ended = true;
  Unschedule(due.eos_id);
}

void LinkGraces::Decided(const Due& due) {
  Grace* grace = Find(due);
  if (grace == nullptr) return;
  grace->ended = true;
  Unschedule(due.eos_id);
  to_send_away_.push_back(due.eos_id);
}

bool LinkGraces::Unanswered(const Due& due) {
  Grace* grace = Find(due);
  if (grace == nullptr || grace->unanswered) return false;
  grace->unanswered = true;
  ++unanswered_;
  return true;
}

std::vector<std::u16string> LinkGraces::TakeToSendAway() {
  return std::exchange(to_send_away_, {});
}

void LinkGraces::Clear() {
  graces_.clear();
  due_.clear();
  to_send_away_.clear();
  EndForgetting();
}

std::size_t LinkGraces::InGrace() const {
  return static_cast<std::size_t>(std::count_if(
      graces_.begin(), graces_.end(), [](const auto& entry) { return !entry.second.ended; }));
}

void LinkGraces::Schedule(const std::u16string& eos_id, Grace& grace, Step step,
                          Clock::time_point at) {
  grace.next = step;
  due_.emplace(at, eos_id);
}

// A scan, at a login or a decision only; the tick looks at the first entry alone.
void LinkGraces::Unschedule(const std::u16string& eos_id) {
  const auto found = std::find_if(due_.begin(), due_.end(),
                                  [&eos_id](const auto& entry) { return entry.second == eos_id; });
  if (found != due_.end()) due_.erase(found);
}

void LinkGraces::ForgetEarliest() {
  const auto earliest = std::min_element(
      graces_.begin(), graces_.end(),
      [](const auto& a, const auto& b) { return a.second.first_login < b.second.first_login; });
  Unschedule(earliest->first);
  graces_.erase(earliest);
  if (forgotten_.Refused()) {
    PluginLog::Get()->warn(
        "{} players are remembered for their grace to link; those who logged in first are "
        "forgotten until fewer are.",
        kMostRemembered);
  }
}

void LinkGraces::EndForgetting() {
  if (const std::optional<std::uint64_t> forgotten = forgotten_.EndedAt(graces_.size())) {
    PluginLog::Get()->warn(
        "{} players were forgotten while {} were remembered for their grace to link.", *forgotten,
        kMostRemembered);
  }
}
