#pragma once
// Linked-only play's graces: per player, keyed by his EOS id, the end of his time to link, counted
// from his first login since load, and the warning a while before it. The tick takes the steps
// that are due, a few at a time; the game side asks the store and reports back what it decided.
// A player's grace is remembered after it has ended, so that leaving and joining again does not
// start it afresh. Pure: the time is handed in.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Plugin/FloodEpisode.h"

class LinkGraces {
 public:
  using Clock = std::chrono::steady_clock;

  // Beyond this many players remembered, the one whose first login was earliest is forgotten.
  static constexpr std::size_t kMostRemembered = 1024;
  // At most this many steps are taken at one tick: each may ask the store.
  static constexpr std::size_t kDuePerTick = 8;

  enum class Step { Warning, End };
  // A step that is due. serial names the grace it belongs to: what is decided for an earlier
  // grace of the same player (before a reload cancelled it, say) changes nothing.
  struct Due {
    std::u16string eos_id;
    Step step = Step::End;
    std::uint64_t serial = 0;
  };

  // The warning comes this long before the end: a minute, or half the grace when the grace is
  // shorter than two minutes. An end that got no answer is due again after as long.
  static Clock::duration WarningLead(Clock::duration grace);

  // The player logged in. His first login since load starts his grace of length grace. Within his
  // grace nothing changes, but a warning he was away for becomes due at once. After its end he
  // has one last warning's lead: warned at once, then sent away unless he links. A flood of
  // players forgotten at the bound is one warning when it begins and one when it ends.
  void Login(const std::u16string& eos_id, Clock::time_point now, Clock::duration grace);
  // Takes up to kDuePerTick steps due at now, the earliest first. A warning taken is not due
  // again; an end taken is due again a warning's lead later, unless it is decided meanwhile.
  std::vector<Due> TakeDue(Clock::time_point now);

  // The login's question found him linked: whatever grace he has is forgotten.
  void Linked(const std::u16string& eos_id);

  // What the game side found. Each is ignored for a grace that has ended or been forgotten.
  bool Current(const Due& due) const;
  void Warned(const Due& due);
  // Linked or exempt: never sent away; forgotten, as he needs no grace.
  void Forget(const Due& due);
  // Not there at the end: the grace is over and he is asked nothing; he is decided at his return.
  void EndedAway(const Due& due);
  // Not linked at the end: the grace is over, and he waits to be sent away (TakeToSendAway).
  void Decided(const Due& due);
  // The store could not answer at the end: true the first time for this grace, which counts it.
  bool Unanswered(const Due& due);
  // The players decided to be sent away since the last call.
  std::vector<std::u16string> TakeToSendAway();
  void CountSentAway() { ++sent_away_; }

  // Every grace cancelled (the feature was turned off); the counts stay.
  void Clear();
  bool Empty() const { return graces_.empty(); }

  // Players whose grace has not ended yet; since load, players sent away and players whose end
  // the store could not answer.
  std::size_t InGrace() const;
  std::uint64_t SentAway() const { return sent_away_; }
  std::uint64_t NotSentAwayUnanswered() const { return unanswered_; }
  std::size_t Remembered() const { return graces_.size(); }

 private:
  struct Grace {
    Clock::time_point first_login;
    Clock::time_point warn_at;
    Clock::time_point ends_at;
    Clock::duration lead{};
    std::uint64_t serial = 0;
    Step next = Step::Warning;  // the step in due_, unless ended
    bool warned = false;
    bool ended = false;
    bool unanswered = false;  // counted once a grace
  };

  const Grace* Find(const Due& due) const;
  Grace* Find(const Due& due) {
    return const_cast<Grace*>(static_cast<const LinkGraces*>(this)->Find(due));
  }
  void Schedule(const std::u16string& eos_id, Grace& grace, Step step, Clock::time_point at);
  void Unschedule(const std::u16string& eos_id);
  void ForgetEarliest();
  // Closes the flood of players forgotten at the bound, if one is open and few enough are
  // remembered (FloodEpisode.h).
  void EndForgetting();

  std::map<std::u16string, Grace> graces_;
  std::multimap<Clock::time_point, std::u16string> due_;
  std::vector<std::u16string> to_send_away_;
  std::uint64_t next_serial_ = 1;
  std::uint64_t sent_away_ = 0;
  std::uint64_t unanswered_ = 0;
  FloodEpisode forgotten_{kMostRemembered};
};
