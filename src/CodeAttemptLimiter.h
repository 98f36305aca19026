#pragma once
// Who has typed too many wrong link codes, per EOS id, in memory. Codes are short enough to guess,
// so after a number of wrong codes a player's further tries are refused for a while, and every
// further lockout of the same player lasts twice as long as the one before, up to a day.
//
// Bounded: a player clear for a day (no wrong code and no lockout running) is forgotten, and when
// kCapacity players are remembered the one whose last wrong code is oldest makes room. The caller
// passes the time, from a steady clock, so that a change of the wall clock moves no lockout.
// Not thread-safe: the host calls the link command one call at a time.

#include <chrono>
#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

class CodeAttemptLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kCapacity = 10000;
  static constexpr std::chrono::seconds kLongestLockout{86400};
  static constexpr std::chrono::seconds kForgetAfter{86400};

  // The settings in force at the time of a try. max_attempts 0 (or less) turns the limit off.
  struct Limits {
    int max_attempts = 5;
    std::chrono::seconds first_lockout{300};
  };

  // A lockout that a wrong code has just begun.
  struct Lockout {
    int wrong_codes = 0;  // every wrong code of this player since the record began
    std::chrono::seconds duration{0};
  };

  explicit CodeAttemptLimiter(std::size_t capacity = kCapacity) : capacity_(capacity) {}

  // True while a lockout of eos_id runs (never while the limit is off).
  bool IsLockedOut(const std::string& eos_id, const Limits& limits, Clock::time_point now);

  // Counts a wrong code of eos_id; answers the lockout when this code begins one.
  std::optional<Lockout> CountWrongCode(const std::string& eos_id, const Limits& limits,
                                        Clock::time_point now);

  // Forgets eos_id, after a successful link.
  void Clear(const std::string& eos_id);

  // The players remembered now.
  std::size_t Size() const { return by_eos_id_.size(); }

 private:
  struct Record {
    std::string eos_id;
    int wrong_codes = 0;          // all of them, for the log
    int wrong_since_lockout = 0;  // the ones that count toward the next lockout
    int lockouts = 0;
    Clock::time_point last_wrong_code{};
    Clock::time_point locked_until{};
  };
  using Records = std::list<Record>;

  static Clock::time_point ForgetAt(const Record& record);
  // The record of eos_id, or nullptr; a record due to be forgotten is removed first.
  Records::iterator Find(const std::string& eos_id, Clock::time_point now);
  void Erase(Records::iterator record);
  // Forgets the oldest records that are due, and makes room for one more.
  void Prune(Clock::time_point now);

  std::size_t capacity_;
  // Oldest wrong code first; the map's keys view the eos_id inside each list node, which does
  // not move.
  Records records_;
  std::unordered_map<std::string_view, Records::iterator> by_eos_id_;
};
