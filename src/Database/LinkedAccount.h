#pragma once
// A linked row of player_discord as the admin commands see it. A row is linked when it carries a
// player's EOS id and a player id other than 0, whatever its code column holds; its code is read
// only when it is a state word ("Linked" or "Updated"), so no code ever leaves the store this way.

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
  // The code column when the column takes it for "Linked" or "Updated" (in its own letter case or
  // accents, trailing spaces dropped); empty for anything else: a code waiting on a linked row.
  std::string state;

  bool operator==(const LinkedAccount&) const = default;
};
