#pragma once
// Link updates whose answer was lost on the way back: the server may still be running them, or
// may receive them later from the network. Until its session has been ended on that server, such
// an update can still change its row, so the store keeps what it needs to end it there: which
// server, which session, and which row the update was for. A session id alone is not enough: a
// server that restarts hands the same ids out again, to anyone's sessions, so the session is
// also known by the client's address and port as the server saw them and by which server,
// started when, it ran on. In memory only, for a bounded number of updates.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "Database/ServerList.h"

namespace veltrane {

struct LostUpdate {
  int row_id = 0;
  std::string eos_id;
  DatabaseServer server;
  // The server's session that the update was sent on: its id, and what the store's session
  // question answered there (MySql::SessionQuery); no answer when the store could not ask.
  unsigned long thread_id = 0;
  std::vector<std::string> session;
  // Not tried again before this, so that a server that is away costs the game thread no wait at
  // every command of the player.
  std::chrono::steady_clock::time_point retry_at{};
};

class LostUpdates {
 public:
  static constexpr std::size_t kMostRemembered = 256;

  // When full, the oldest is given up.
  void Add(LostUpdate update) {
    if (updates_.size() >= kMostRemembered) updates_.erase(updates_.begin());
    updates_.push_back(std::move(update));
  }

  // The oldest lost update of that row by that player; nullptr when there is none.
  LostUpdate* Find(int row_id, std::string_view eos_id) {
    const auto found = std::find_if(updates_.begin(), updates_.end(), [&](const LostUpdate& lost) {
      return lost.row_id == row_id && lost.eos_id == eos_id;
    });
    return found == updates_.end() ? nullptr : &*found;
  }

  void Remove(const LostUpdate* update) {
    std::erase_if(updates_, [&](const LostUpdate& lost) { return &lost == update; });
  }

  std::size_t Size() const { return updates_.size(); }

 private:
  std::vector<LostUpdate> updates_;  // oldest first
};

}  // namespace veltrane
