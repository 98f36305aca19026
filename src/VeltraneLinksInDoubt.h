#pragma once
// Links whose update reached the database but whose outcome never came back (the connection
// failed while it ran). The player was told that the database is unavailable; his next link
// command looks here to finish the link when the update did go through after all. Kept in
// memory only, for a bounded number of players.

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class LinksInDoubt {
 public:
  static constexpr std::size_t kMostRemembered = 256;

  // The code that the player's update in doubt carried; replaces an older one of his.
  void Remember(const std::string& eos_id, const std::string& code);
  std::optional<std::string> Find(const std::string& eos_id) const;
  void Forget(const std::string& eos_id);

 private:
  std::vector<std::pair<std::string, std::string>> codes_;  // oldest first
};
