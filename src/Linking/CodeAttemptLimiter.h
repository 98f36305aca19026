#pragma once
// Who has typed too many wrong link codes, per EOS id, in memory. Codes are short enough to guess,
// so after a number of wrong codes a player's further tries are refused for a while, and every
// further lockout of the same player lasts twice as long as the one before, up to a day.
//
// Bounded: a player clear for a day (no wrong code and no lockout running) is forgotten, and when
// kCapacity players are remembered, a new one takes the place of the player not locked out who
// mattered longest ago (his last wrong code, or the end of his last lockout). A running lockout
// is given up only when every player remembered is locked out, and then the one that ends
// soonest; otherwise a flood of other EOS ids, each with one wrong code, would free a guesser
// early. The caller passes the time, from a steady clock, so that a change of the wall clock
// moves no lockout. Not thread-safe: the host calls the link command one call at a time.

#include <chrono>
#include <cstddef>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

class CodeAttemptLimiter {
 public:
  using Clock = std::chrono::steady_clock;

  static constexpr std::size_t kCapacity = 10000;
  static constexpr std::chrono::seconds kLongestLockout{86400};
  static constexpr std::chrono::seconds kForgetAfter{86400};

  // The settings in force at the time of a try (LimitsOf, Linking/LinkFlow.h). max_attempts 0 (or
  // less) turns the limit off.
  struct Limits {
    int max_attempts = 0;
    std::chrono::seconds first_lockout{0};
  };

  // A lockout that a wrong code has just begun.
  struct Lockout {
    int wrong_codes = 0;  // every wrong code of this player since the record began
    std::chrono::seconds duration{0};
  };

  // A running lockout given up to make room.
  struct GivenUp {
    std::string eos_id;
    std::chrono::seconds remaining{0};  // what was left of it, rounded up
  };

  // What counting one wrong code led to.
  struct Counted {
    std::optional<Lockout> lockout;
    std::optional<GivenUp> given_up;
  };

  explicit CodeAttemptLimiter(std::size_t capacity = kCapacity) : capacity_(capacity) {}
  CodeAttemptLimiter(const CodeAttemptLimiter&) = delete;
  CodeAttemptLimiter& operator=(const CodeAttemptLimiter&) = delete;

  // True while a lockout of eos_id runs (never while the limit is off).
  bool IsLockedOut(const std::string& eos_id, const Limits& limits, Clock::time_point now);

  // Counts a wrong code of eos_id.
  Counted CountWrongCode(const std::string& eos_id, const Limits& limits, Clock::time_point now);

  // Forgets eos_id, after a successful link.
  void Clear(const std::string& eos_id);

  // The players remembered now.
  std::size_t Size() const { return records_.size(); }

  // The players locked out at now.
  std::size_t LockedOutCount(Clock::time_point now) const {
    return static_cast<std::size_t>(std::distance(locked_.upper_bound(now), locked_.end()));
  }

 private:
  struct Record;
  // Records by a time: those not locked out by when they last mattered, oldest first; those
  // locked out by the end of their lockout, soonest first.
  using Index = std::multimap<Clock::time_point, Record*>;

  struct Record {
    const std::string* eos_id = nullptr;  // the key of this record in records_
    int wrong_codes = 0;                  // all of them, for the log
    int wrong_since_lockout = 0;          // the ones that count toward the next lockout
    int lockouts = 0;
    Clock::time_point last_wrong_code{};
    Clock::time_point locked_until{};
    bool in_locked = false;  // which index holds it
    Index::iterator position;
  };

  static Clock::time_point LastMattered(const Record& record);
  // The record of eos_id, or nullptr; a record due to be forgotten is removed first.
  Record* Find(const std::string& eos_id, Clock::time_point now);
  void AddToIndex(Record& record, Clock::time_point now);
  // After a change of the record: into the index and place its state calls for.
  void MoveInIndex(Record& record, Clock::time_point now);
  void RemoveFromIndex(Record& record);
  void Erase(Record& record);
  // Forgets the records that are due, and makes room for one more.
  std::optional<GivenUp> MakeRoom(Clock::time_point now);

  std::size_t capacity_;
  // Nodes do not move, so the indexes and each record's eos_id point into them.
  std::unordered_map<std::string, Record> records_;
  Index clear_;
  Index locked_;
};
