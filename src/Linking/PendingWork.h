#pragma once
// The store's work waiting for a non-blocking database: the connection made at load, the players'
// link commands, the logout refreshes, the questions at login and the settling of writes in doubt,
// each a task, run one at a time
// in the order they came over the one connection. A player's second command is therefore taken
// after his first, never beside it. The tick advances the running task and starts the next.
//
// On a blocking store nothing waits: a task runs to its end when it is added, inside the host's
// callback, as a plain call would.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "Database/IDatabase.h"
#include "Plugin/FloodEpisode.h"

class PendingWork {
 public:
  enum class Kind { Connection, LinkCommand, LogoutRefresh, LoginCheck, Settling };

  // Beyond this many link commands waiting, a command is refused at once.
  static constexpr std::size_t kMostLinkCommands = 1024;
  // Beyond this many refreshes waiting, the oldest that has not started is given up.
  static constexpr std::size_t kMostLogoutRefreshes = 1024;
  // The same for the questions at login (is the player linked?).
  static constexpr std::size_t kMostLoginChecks = 1024;
  // At most this many tasks are started in one callback. Tasks that end without waiting (every
  // one, in an outage's cool-down) would otherwise all be answered in the one tick that ends the
  // outage's first statement: 1,024 of them held the game thread for tens of milliseconds.
  static constexpr int kStartsPerCallback = 8;

  // Runs task now on a blocking store (its exceptions reach the caller). On a non-blocking one it
  // is queued, and started at once when nothing else runs (the connection at load waits for the
  // first tick). False when it was refused: a link command beyond the bound. A flood of refusals
  // (or of refreshes given up) is one warning when it begins and one when it ends.
  bool Add(IDatabase& store, Kind kind, StoreTask<void> task);

  // At each tick: advances the running task, and starts the next ones when it has ended.
  void Advance(IDatabase& store);

  // For the unload, which gets no ticks: takes the running task and the waiting refreshes to
  // their end in place until deadline, and gives up the rest: the connection made at load, which
  // nobody waits for, and the link commands, login questions and settling waiting, which have sent
  // nothing. Their players' replies are the caller's to drop first. Then every write in doubt, one
  // given up here among them, gets a last try to be settled (its own timeouts bound it): once the
  // plugin has gone, nobody would.
  void FinishForUnload(IDatabase& store, std::chrono::steady_clock::time_point deadline);

  std::size_t Waiting(Kind kind) const;
  bool Empty() const { return !running_ && queued_.empty(); }
  // Since load: link commands refused at the bound, refreshes given up at theirs.
  std::uint64_t RefusedLinkCommands() const { return refused_commands_.Total(); }
  std::uint64_t DroppedLogoutRefreshes() const { return dropped_refreshes_.Total(); }
  std::uint64_t DroppedLoginChecks() const { return dropped_login_checks_.Total(); }

 private:
  struct Job {
    Kind kind;
    StoreTask<void> task;
  };

  void StartNext();
  // Takes a job that has ended off; an exception it ended with is logged.
  static void Ended(Job& job);
  // Closes the flood episodes whose queue is well below its bound.
  void EndFloods();
  // Makes room for one more job of a kind bounded at most by giving up its oldest that waits.
  void GiveUpOldest(Kind kind, std::size_t most, FloodEpisode& dropped, const char* what);

  std::optional<Job> running_;
  std::deque<Job> queued_;
  FloodEpisode refused_commands_{kMostLinkCommands};
  FloodEpisode dropped_refreshes_{kMostLogoutRefreshes};
  FloodEpisode dropped_login_checks_{kMostLoginChecks};
};
