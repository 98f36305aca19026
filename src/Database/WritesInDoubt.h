#pragma once
// Writes that the store sent and gave up on: a link update, a logout refresh or an admin's
// deletion whose answer never came back (lost on the way, timed out, cut at an admin's deadline,
// or given up by the unload). The server may still be running one, or receive it later from the
// network, so until its session has been ended on that server it can still change the table. The
// store keeps what it needs to end that session and to judge the table afterwards: which server
// and which session, the question that tells whether the table now holds what the write would
// have made of it, and what follows once that is known. A session id alone is not enough: a
// server that restarts hands the same ids out again, to anyone's sessions, so the session is also
// known by the client's address and port as the server saw them and by which server, started
// when, it ran on. In memory only, for a bounded number of writes.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/IDatabase.h"
#include "Database/ServerAvailability.h"
#include "Database/ServerList.h"

namespace veltrane {

enum class WriteKind { LinkUpdate, LogoutRefresh, Deletion };

struct WriteInDoubt {
  // A write about to be sent; where it goes is noted once it is in doubt.
  static WriteInDoubt Of(WriteKind kind, std::string eos_id, std::string question,
                         WriteFollowUp follow_up) {
    WriteInDoubt write;
    write.kind = kind;
    write.eos_id = std::move(eos_id);
    write.question = std::move(question);
    write.follow_up = std::move(follow_up);
    return write;
  }

  WriteKind kind = WriteKind::LinkUpdate;
  std::string eos_id;  // the player it was about
  // A statement whose first value is above 0 when the table holds what the write would have made
  // of it: the link update's row links the player, the refresh's values are in his rows, no row
  // links the player any more after the deletion.
  std::string question;
  WriteFollowUp follow_up;

  // Where it was sent: the server, and the session's id and what the store's session question
  // answered there (MySql::SessionQuery); no answer when the store could not ask.
  DatabaseServer server;
  unsigned long thread_id = 0;
  std::vector<std::string> session;

  // Not tried by the tick before this; the wait after a failed try doubles as the cool-down's
  // does. The player's own link command tries once the first cool-down has passed since the last
  // try (tried_at): he waits no longer than that once the server is back.
  std::chrono::steady_clock::time_point retry_at{};
  std::chrono::milliseconds retry_wait{0};
  std::optional<std::chrono::steady_clock::time_point> tried_at;
  std::uint64_t serial = 0;  // set by WritesInDoubt::Add
};

class WritesInDoubt {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kMostRemembered = 256;

  // Keeps write; when full, the oldest is given up first and handed back.
  std::optional<WriteInDoubt> Add(WriteInDoubt write) {
    std::optional<WriteInDoubt> given_up;
    if (writes_.size() >= kMostRemembered) {
      given_up = std::move(writes_.front());
      writes_.erase(writes_.begin());
    }
    write.serial = ++last_serial_;
    writes_.push_back(std::move(write));
    return given_up;
  }

  // The oldest write that wanted accepts; nullptr when there is none.
  template <typename Wanted>
  const WriteInDoubt* Oldest(Wanted wanted) const {
    const auto found = std::find_if(writes_.begin(), writes_.end(), wanted);
    return found == writes_.end() ? nullptr : &*found;
  }

  // The player's link update in doubt; nullptr when he has none.
  const WriteInDoubt* LinkUpdateOf(std::string_view eos_id) const {
    return Oldest([&](const WriteInDoubt& write) {
      return write.kind == WriteKind::LinkUpdate && write.eos_id == eos_id;
    });
  }

  bool AnyDue(Clock::time_point now) const {
    return Oldest([&](const WriteInDoubt& write) { return now >= write.retry_at; }) != nullptr;
  }

  // The write, taken out to be followed up; none when it is gone (given up at the bound).
  std::optional<WriteInDoubt> Take(std::uint64_t serial) {
    const auto found = std::find_if(writes_.begin(), writes_.end(), [&](const WriteInDoubt& write) {
      return write.serial == serial;
    });
    if (found == writes_.end()) return std::nullopt;
    WriteInDoubt taken = std::move(*found);
    writes_.erase(found);
    return taken;
  }

  // server could not be asked: its writes wait, each twice as long as after its last failed try,
  // from policy's first cool-down up to its longest.
  void Postpone(const DatabaseServer& server, Clock::time_point now, const CoolDownPolicy& policy) {
    for (WriteInDoubt& write : writes_) {
      if (write.server != server) continue;
      write.retry_wait = write.retry_wait.count() == 0
                             ? policy.first
                             : std::min(write.retry_wait * 2, policy.longest);
      write.retry_at = now + write.retry_wait;
      write.tried_at = now;
    }
  }

  std::size_t Size() const { return writes_.size(); }

 private:
  std::vector<WriteInDoubt> writes_;  // oldest first
  std::uint64_t last_serial_ = 0;
};

}  // namespace veltrane
