#pragma once
// The link command's flow, from the code a player typed to his reply: the guards, the lockout of
// guessing players, the store's questions and update, and the links whose update is in doubt. Given
// its store, clock and settings, and the player through LinkingPlayerSeam, so that it runs the
// same in the game and in tests without one.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Configuration/Settings.h"
#include "Database/IDatabase.h"
#include "Linking/CodeAttemptLimiter.h"

// Who typed the command, as the game reported him; texts in UTF-8.
struct LinkingPlayer {
  std::string eos_id;
  int player_id = 0;
  std::string character_name;
  int tribe_id = 0;
  std::string tribe_name;
};

// What the flow asks of the game for the player.
class LinkingPlayerSeam {
 public:
  virtual ~LinkingPlayerSeam() = default;
  // Who he is, as the game reported him when he typed the command; asked once.
  virtual LinkingPlayer Identity() = 0;
  // Shows him the reply text under message_key, in the success or the error colour, when he is
  // still in the game.
  virtual void Reply(const char* message_key, bool success) = 0;
  // The group step of a link (UsePermissions).
  virtual void AddToGroup(const std::string& group, bool debug) = 0;
  // Composes and posts the Discord announcement of his link (EnableDiscord).
  virtual void Announce(const LinkingPlayer& player, const Settings& settings) = 0;
  // The same player for later: what follows his link update in doubt once the store has settled
  // it, maybe long after the command. He is found again by his EOS id then.
  virtual std::shared_ptr<LinkingPlayerSeam> Later() = 0;
};

// MaxCodeAttempts and CodeLockoutSeconds, as the limiter takes them.
inline CodeAttemptLimiter::Limits LimitsOf(const Settings& settings) {
  return {settings.max_code_attempts, std::chrono::seconds(settings.code_lockout_seconds)};
}

// The links made and the codes refused since load.
struct LinkCounters {
  std::uint64_t links_made = 0;
  std::uint64_t refused_codes = 0;
};

class LinkFlow {
 public:
  using Clock = CodeAttemptLimiter::Clock;
  using Now = std::function<Clock::time_point()>;

  // now: the clock of the lockouts, read when the flow judges one (a command may wait for the
  // database before it gets there).
  LinkFlow(IDatabase& store, CodeAttemptLimiter& limiter, LinkCounters& counters,
           Now now = &Clock::now)
      : store_(store), limiter_(limiter), counters_(counters), now_(std::move(now)) {}

  // One command: code is the word after the command, nothing when he typed none. A task over the
  // store's tasks: settings, code, seam and this flow must outlive it.
  StoreTask<void> Run(const Settings& settings, const std::optional<std::string>& code,
                      LinkingPlayerSeam& seam);

 private:
  void CountWrongCode(const std::string& eos_id, const CodeAttemptLimiter::Limits& limits);
  // What follows his link update should its answer be lost: once the store has settled it, a link
  // that landed is finished, under the settings of his command.
  WriteFollowUp FinishIfLanded(const Settings& settings, const LinkingPlayer& player,
                               LinkingPlayerSeam& seam);

  IDatabase& store_;
  CodeAttemptLimiter& limiter_;
  LinkCounters& counters_;
  Now now_;
};
