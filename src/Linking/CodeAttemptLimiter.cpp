#include "Linking/CodeAttemptLimiter.h"

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
  const Record* record = Find(eos_id, now);
  return record != nullptr && now < record->locked_until;
}

CodeAttemptLimiter::Counted CodeAttemptLimiter::CountWrongCode(const std::string& eos_id,
                                                               const Limits& limits,
                                                               Clock::time_point now) {
  if (limits.max_attempts <= 0) return {};
  Record* record = Find(eos_id, now);
  // Callers refuse a locked out player before any code is looked at; a wrong code that still
  // comes must not stack lockouts.
  if (record != nullptr && now < record->locked_until) return {};
  Counted counted;
  const bool new_record = record == nullptr;
  if (new_record) {
    counted.given_up = MakeRoom(now);
    const auto inserted = records_.try_emplace(eos_id).first;
    record = &inserted->second;
    record->eos_id = &inserted->first;
  }

  record->last_wrong_code = now;
  ++record->wrong_codes;
  if (++record->wrong_since_lockout >= limits.max_attempts) {
    record->wrong_since_lockout = 0;
    ++record->lockouts;
    const std::chrono::seconds length = LockoutLength(record->lockouts, limits.first_lockout);
    record->locked_until = now + length;
    counted.lockout = Lockout{record->wrong_codes, length};
  }
  if (new_record) {
    AddToIndex(*record, now);
  } else {
    MoveInIndex(*record, now);
  }
  return counted;
}

void CodeAttemptLimiter::Clear(const std::string& eos_id) {
  const auto found = records_.find(eos_id);
  if (found != records_.end()) Erase(found->second);
}

CodeAttemptLimiter::Clock::time_point CodeAttemptLimiter::LastMattered(const Record& record) {
  return std::max(record.last_wrong_code, record.locked_until);
}

CodeAttemptLimiter::Record* CodeAttemptLimiter::Find(const std::string& eos_id,
                                                     Clock::time_point now) {
  const auto found = records_.find(eos_id);
  if (found == records_.end()) return nullptr;
  if (now < LastMattered(found->second) + kForgetAfter) return &found->second;
  Erase(found->second);
  return nullptr;
}

void CodeAttemptLimiter::AddToIndex(Record& record, Clock::time_point now) {
  record.in_locked = now < record.locked_until;
  record.position = record.in_locked ? locked_.emplace(record.locked_until, &record)
                                     : clear_.emplace(LastMattered(record), &record);
}

// The record's node is moved, not allocated anew: a guessing player costs no allocation per code.
void CodeAttemptLimiter::MoveInIndex(Record& record, Clock::time_point now) {
  Index::node_type node = (record.in_locked ? locked_ : clear_).extract(record.position);
  record.in_locked = now < record.locked_until;
  node.key() = record.in_locked ? record.locked_until : LastMattered(record);
  record.position = (record.in_locked ? locked_ : clear_).insert(std::move(node));
}

void CodeAttemptLimiter::RemoveFromIndex(Record& record) {
  (record.in_locked ? locked_ : clear_).erase(record.position);
}

void CodeAttemptLimiter::Erase(Record& record) {
  RemoveFromIndex(record);
  records_.erase(records_.find(*record.eos_id));
}

std::optional<CodeAttemptLimiter::GivenUp> CodeAttemptLimiter::MakeRoom(Clock::time_point now) {
  // Lockouts that have ended join the others, as of their end.
  while (!locked_.empty() && locked_.begin()->first <= now)
    MoveInIndex(*locked_.begin()->second, now);
  while (!clear_.empty() && clear_.begin()->first + kForgetAfter <= now) {
    Erase(*clear_.begin()->second);
  }
  if (records_.size() < capacity_ || records_.empty()) return std::nullopt;
  if (!clear_.empty()) {
    Erase(*clear_.begin()->second);
    return std::nullopt;
  }
  Record& soonest = *locked_.begin()->second;
  GivenUp given_up{*soonest.eos_id,
                   std::chrono::ceil<std::chrono::seconds>(soonest.locked_until - now)};
  Erase(soonest);
  return given_up;
}
