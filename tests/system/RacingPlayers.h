#pragma once
// Players of several game servers racing for the same codes: who they are, how a devhost script
// lets them join, and who was told what.

#include <fmt/format.h>

#include <algorithm>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "support/DevhostRunner.h"

namespace veltrane::test {

struct Player {
  std::string name;  // the script's name; its first letter names the server
  std::string eos_id;
  int player_id = 0;
  std::string character_name;
  int tribe_id = 0;
  std::string tribe_name;
};

// count players of server 'a', 'b', ...; every value differs from every other server's.
inline std::vector<Player> PlayersOf(char server, int count) {
  std::vector<Player> players;
  for (int i = 0; i < count; ++i) {
    const int number = (server - 'a' + 1) * 100000 + i;
    players.push_back({fmt::format("{}{}", server, i), fmt::format("{:032x}", number), number,
                       fmt::format("Survivor {}{}", server, i), number + 7,
                       fmt::format("Tribe {}{}", server, i)});
  }
  return players;
}

// The devhost lines by which the players join, with all of their data.
inline std::string JoinLines(const std::vector<Player>& players) {
  std::string script;
  for (const Player& player : players) {
    script += fmt::format("join {} name=\"{}\" eos={} id={} tribe_id={} tribe=\"{}\"\n",
                          player.name, player.character_name, player.eos_id, player.player_id,
                          player.tribe_id, player.tribe_name);
  }
  return script;
}

// The names of the players who were told the message text, once for each time.
inline std::multiset<std::string> ToldPlayers(const DevhostResult& result,
                                              const std::string& text) {
  std::multiset<std::string> told;
  for (const std::string& line : result.WithPrefix("notify ")) {
    if (Field(line, "text") == nlohmann::json(text))
      told.insert(line.substr(7, line.find(' ', 7) - 7));
  }
  return told;
}

// What first holds beyond second, counting repeats: told players who own no row, say.
inline std::vector<std::string> Difference(const std::multiset<std::string>& first,
                                           const std::multiset<std::string>& second) {
  std::vector<std::string> difference;
  std::set_difference(first.begin(), first.end(), second.begin(), second.end(),
                      std::back_inserter(difference));
  return difference;
}

}  // namespace veltrane::test
