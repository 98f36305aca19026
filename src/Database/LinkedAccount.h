#pragma once
// A linked row of player_discord as the admin commands see it. A row is linked when its code holds
// a state word ("Linked" or "Updated") and it carries a player's EOS id and player id; a row still
// waiting for its code is never one, so no code ever leaves the store this way.

#include <string>

// The column an admin names a player by.
enum class AccountIdKind { EOSId, DiscordId };

struct LinkedAccount {
  int row_id = 0;  // the id column
  std::string eos_id;
  std::string discord_id;
  int player_id = 0;
  std::string character_name;  // UTF-8, as stored
  int tribe_id = 0;
  std::string tribe_name;  // UTF-8, as stored
  std::string state;       // "Linked" or "Updated"

  bool operator==(const LinkedAccount&) const = default;
};
