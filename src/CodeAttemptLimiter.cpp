#include "CodeAttemptLimiter.h"

#include <algorithm>

namespace {

// The n-th lockout (1 for the first) of a player: the first one's length doubled n - 1 times,
// capped at the longest one.
std::chrono::seconds LockoutLength(int lockout, std::chrono::seconds first) {
  const std::chrono::seconds longest = CodeAttemptLimiter::kLongestLockout;
  std::chrono::seconds length = std::clamp(first, std::chrono::seconds(1), longest);
  for (int doubled = 1; doubled < lockout && length < longest; ++doubled) length *= 2;
  return std::min(length, longest);
}

}  // namespace

bool CodeAttemptLimiter::IsLockedOut(const std::string& eos_id, const Limits& limits,
                                     Clock::time_point now) {
  if (limits.max_attempts <= 0) return false;
  const Records::iterator record = Find(eos_id, now);
  return record != records_.end() && now < record->locked_until;
}

std::optional<CodeAttemptLimiter::Lockout> CodeAttemptLimiter::CountWrongCode(
    const std::string& eos_id, const Limits& limits, Clock::time_point now) {
  if (limits.max_attempts <= 0) return std::nullopt;
  Records::iterator record = Find(eos_id, now);
  // Callers refuse a locked out player before any code is looked at; a wrong code that still
  // comes must not stack lockouts.
  if (record != records_.end() && now < record->locked_until) return std::nullopt;
  if (record == records_.end()) {
    Prune(now);
    record = records_.insert(records_.end(), Record{.eos_id = eos_id});
    by_eos_id_.emplace(record->eos_id, record);
  } else {
    // Most recent wrong code last, so that the front is the first to forget or to give up.
    records_.splice(records_.end(), records_, record);
  }

  record->last_wrong_code = now;
  ++record->wrong_codes;
  if (++record->wrong_since_lockout < limits.max_attempts) return std::nullopt;

  record->wrong_since_lockout = 0;
  ++record->lockouts;
  const std::chrono::seconds length = LockoutLength(record->lockouts, limits.first_lockout);
  record->locked_until = now + length;
  return Lockout{record->wrong_codes, length};
}

void CodeAttemptLimiter::Clear(const std::string& eos_id) {
  const auto found = by_eos_id_.find(eos_id);
  if (found != by_eos_id_.end()) Erase(found->second);
}

CodeAttemptLimiter::Clock::time_point CodeAttemptLimiter::ForgetAt(const Record& record) {
  return std::max(record.last_wrong_code, record.locked_until) + kForgetAfter;
}

CodeAttemptLimiter::Records::iterator CodeAttemptLimiter::Find(const std::string& eos_id,
                                                               Clock::time_point now) {
  const auto found = by_eos_id_.find(eos_id);
  if (found == by_eos_id_.end()) return records_.end();
  if (now < ForgetAt(*found->second)) return found->second;
  Erase(found->second);
  return records_.end();
}

void CodeAttemptLimiter::Erase(Records::iterator record) {
  by_eos_id_.erase(record->eos_id);
  records_.erase(record);
}

void CodeAttemptLimiter::Prune(Clock::time_point now) {
  // The list is in the order of the last wrong code; a lockout that outlasts a later player's
  // wrong code can hold the pruning up for a while, never make it forget too early.
  while (!records_.empty() && ForgetAt(records_.front()) <= now) Erase(records_.begin());
  if (records_.size() >= capacity_ && !records_.empty()) Erase(records_.begin());
}
