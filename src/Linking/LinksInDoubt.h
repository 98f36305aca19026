#pragma once
// Links whose update was sent but whose answer never came back (the connection failed or timed
// out while it ran). The player was told that the database is unavailable. Until the store has
// decided the update by the row it was sent for, that player may link no other code: were the
// update still to land, his EOS id would hold two linked rows. Kept in memory only, for a bounded
// number of players.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "Database/IDatabase.h"

enum class LinkInDoubt {
  None,        // the player has no link in doubt
  Undecided,   // the store could not decide it yet
  Landed,      // his row holds him: the link is to be finished
  DidNotLand,  // the row holds someone or something else, or still the code: nothing to finish
};

class LinksInDoubt {
 public:
  static constexpr std::size_t kMostRemembered = 256;

  // The row that the player's update in doubt was for; replaces an older one of his.
  void Remember(const std::string& eos_id, int row_id);

  // Asks the store about the player's link in doubt and forgets it once it is decided.
  StoreTask<LinkInDoubt> Decide(IDatabase& store, std::string eos_id);

  // The players whose link is in doubt now.
  std::size_t Size() const { return rows_.size(); }

 private:
  std::vector<std::pair<std::string, int>> rows_;  // oldest first
};
