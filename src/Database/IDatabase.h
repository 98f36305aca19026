#pragma once
// The account store: three questions and two updates on the player_discord table, the settling
// of the writes whose answer was lost, and the lookup and deletion of linked rows for the admin
// commands. No operation lets an exception out.
//
// StoreTask is the store's coroutine type; the store's code uses it unqualified.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "Database/LinkedAccount.h"
#include "Database/StoreTask.h"

using veltrane::StoreTask;

// How an operation's answer came about. A false answer alone cannot tell "no" from "could not
// ask", and a player must not be told that his code is wrong because the database is away.
enum class StoreAnswer {
  Known,        // the database answered (or the store needed no question to answer)
  CouldNotAsk,  // the database could not be reached, did not answer or refused the statement;
                // nothing was changed
  InDoubt,      // a write was sent, but the connection failed before its outcome came back; the
                // store settles it later (SettleWritesInDoubt)
};

// An operation's value with how it came about, handed from the operation to its caller: nothing
// another task does in between can change what the caller reads.
template <typename T>
struct Answered {
  T value{};
  StoreAnswer answer = StoreAnswer::Known;

  bool Known() const { return answer == StoreAnswer::Known; }
  // A yes-or-no answer is true only when the database said yes: "no" and "could not ask" are
  // both false, and answer tells them apart.
  explicit operator bool() const requires std::is_same_v<T, bool> { return value && Known(); }
  bool operator==(const Answered&) const = default;
};

// What follows a write that the store sent and gave up on, once it is settled: its session ended
// on its server, the table is asked whether it holds what the write would have made of it
// (holds): the link update's row links the player, the refresh's values are in his rows, no row
// links the player any more after the deletion. eos_id: the player the write was about.
using WriteFollowUp = std::function<void(const std::string& eos_id, bool holds)>;

// What became of a player's link update in doubt.
enum class LinkInDoubt {
  None,        // he has none
  Undecided,   // the store could not settle it yet
  Landed,      // his row holds him: its follow-up has finished the link
  DidNotLand,  // the row holds someone or something else, or still the code
};

// What one deletion of linked rows did.
struct DeletedLinks {
  // Known: the statement ran (or there was nothing to delete); CouldNotAsk: nothing was deleted;
  // InDoubt: the statement was sent but its outcome never came back.
  StoreAnswer answer = StoreAnswer::Known;
  std::uint64_t rows = 0;  // rows deleted, when the answer is Known
  // The server's error number when it refused the statement (1142: the DELETE right is missing).
  unsigned int refused_error = 0;
};

// What the store's connection is now, as the admins' status shows it.
struct StoreState {
  enum class Connection {
    Connected,    // to server
    NotYet,       // no connection open now; the next statement connects to server
    Connecting,   // a non-blocking store's connection made at load has not ended yet
    Unavailable,  // every server failed; the next attempt goes to server
    SwitchedOff,  // the table check switched the store off until the next load
  };
  Connection connection = Connection::Connected;
  std::string server;  // HOST:PORT
  // Unavailable: since when, and how long until the next statement may try again (0: at once).
  std::chrono::system_clock::time_point unavailable_since{};
  std::chrono::seconds next_attempt_in{0};
  std::string switched_off_reason;  // the table check's verdict
  std::string tls_version;          // Connected: the session's TLS version; empty without TLS
};

class IDatabase {
 public:
  virtual ~IDatabase() = default;

  // The link command's and the logout refresh's operations are tasks (StoreTask.h): the link flow
  // awaits them, and a non-blocking store suspends them while the database answers. Each answers
  // its value with how it came about. A caller that cannot wait for ticks runs one to its end with
  // RunToEnd(store, task) below.

  // True when a row has this EOS id (the default "0" and the empty id own no row).
  virtual StoreTask<Answered<bool>> IsPlayerExist(std::string eos_id) = 0;
  // True when a row has this EOS id and a player id other than 0, whatever its code: the player is
  // linked. Every question of links below means that same row.
  virtual StoreTask<Answered<bool>> IsPlayerIDExist(std::string eos_id) = 0;
  // True when a row holds this one-time code (a state word in the code column is no code); row_id
  // is then set to the row that holds it (the first, when several do). row_id must outlive the
  // task.
  virtual StoreTask<Answered<bool>> IsCodeExist(std::string code, int& row_id) = 0;
  // Writes the player into row row_id and marks it "Linked", while the row still holds code and no
  // other row links the EOS id; true when it was linked. In doubt, the store settles it later and
  // then calls if_in_doubt (see WriteFollowUp).
  virtual StoreTask<Answered<bool>> UpdateAccount(int row_id, std::string eos_id, std::string code,
                                                  int player_id, std::string character_name,
                                                  int tribe_id, std::string tribe_name,
                                                  WriteFollowUp if_in_doubt = {}) = 0;
  // Refreshes every row of the EOS id; true when the statement ran. In doubt, as UpdateAccount.
  virtual StoreTask<Answered<bool>> UpdateAccountLogout(std::string character_name, int tribe_id,
                                                        std::string tribe_name, std::string code,
                                                        std::string eos_id,
                                                        WriteFollowUp if_in_doubt = {}) = 0;

  // The writes sent and given up on (link updates, logout refreshes, admins' deletions) that are
  // not settled yet. Settling one ends its session on the server it was sent to, through a
  // connection of its own, and asks that server whether the table holds what the write would have
  // made of it; its follow-up then runs. A server that cannot be asked is tried again after a
  // cool-down that doubles with each failed try. Kept in memory only.
  virtual std::size_t WritesInDoubt() const { return 0; }
  // Whether one of them may be tried now: the plugin's tick then starts SettleWritesInDoubt.
  virtual bool SettlingDue() { return false; }
  // Tries those that may be tried now (every_one: all of them, as the unload does), a few at a
  // time.
  virtual StoreTask<void> SettleWritesInDoubt(bool /*every_one*/) { co_return; }
  // The player's link update in doubt, tried first when it may be; a link command asks this
  // before anything else, and may link no other code while it is undecided.
  virtual StoreTask<LinkInDoubt> DecideLinkInDoubt(std::string /*eos_id*/) {
    co_return LinkInDoubt::None;
  }

  // The admin commands' calls are synchronous: each is handed the deadline of its command, made
  // once when the command starts, from AdminWait(). The task that waits for the database is
  // finished first, whole; nothing is asked when no time is left then, while the store connects
  // at load or cools down after an outage. A statement of the admin's own still under way at the
  // deadline is ended there; that is no failure of its server. Without a deadline (tests) a call
  // waits as long as its statements do.
  using AdminDeadline = std::chrono::steady_clock::time_point;
  static constexpr AdminDeadline kNoDeadline = AdminDeadline::max();
  // How long one admin command may wait for the store in all: MysqlTimeout (10 s when it is 0)
  // and one connection attempt.
  virtual std::chrono::seconds AdminWait() const { return std::chrono::seconds(13); }
  // A store without a server to ask (the link flow's tests) answers none of them: it could not ask.
  //
  // The linked rows whose column of kind holds id, in row order; none when the database could not
  // be asked. Rows waiting for their code are never among them, and a code that waits on a linked
  // row is never read (its state is then empty).
  virtual std::optional<std::vector<LinkedAccount>> FindLinks(
      AccountIdKind /*kind*/, std::string /*id*/, AdminDeadline /*deadline*/ = kNoDeadline) {
    return std::nullopt;
  }
  // Deletes those of the rows links that are still linked rows of id, in one statement. In doubt,
  // each player of links is settled on his own, and if_in_doubt called for each (see
  // WriteFollowUp).
  virtual DeletedLinks DeleteLinks(AccountIdKind /*kind*/, std::string /*id*/,
                                   std::vector<LinkedAccount> /*links*/,
                                   AdminDeadline /*deadline*/ = kNoDeadline,
                                   WriteFollowUp /*if_in_doubt*/ = {}) {
    return {StoreAnswer::CouldNotAsk, 0, 0};
  }
  // For each of eos_ids, in order, whether a row links it; none when the database could not be
  // asked. One statement, however many they are.
  virtual std::optional<std::vector<bool>> StillLinked(std::vector<std::string> /*eos_ids*/,
                                                       AdminDeadline /*deadline*/ = kNoDeadline) {
    return std::nullopt;
  }

  // The connection's state now; a store without a server to talk to reports itself connected.
  virtual StoreState State() { return {}; }

  // Whether the store's tasks wait for ticks (Advance) instead of running at once.
  virtual bool NonBlocking() const { return false; }
  // The connection made at load, which a non-blocking store leaves to this task: the plugin's
  // first job. Nothing for a store that connected when it was made.
  virtual StoreTask<void> Connect() { co_return; }
  // At each tick: takes the waiting task on as far as it goes without waiting; true when no task
  // waits any more.
  virtual bool Advance() { return true; }
  // Runs task whole in place, waiting for the database when it must.
  virtual void RunInPlace(StoreTask<void>& task) {
    task.Start();
    if (!task.Done()) throw std::logic_error("a store without waits suspended a task");
    task.Result();
  }
  // Takes the waiting task on in place until none waits (true) or deadline has passed.
  virtual bool FinishInPlace(std::chrono::steady_clock::time_point /*deadline*/) { return true; }
  // The task that waits is about to be destroyed unfinished (the unload gives it up): the store
  // lets go of it and ends what it had under way on the network; a write under way becomes a write
  // in doubt. A connection made at load that is given up so prepares no table later either: nobody
  // waits for it.
  virtual void Abandon() {}
};

namespace detail {
template <typename T>
StoreTask<void> KeepResult(StoreTask<T> task, std::optional<T>& result) {
  result.emplace(co_await std::move(task));
}
}  // namespace detail

// The operation's result, the operation run to its end in place (StoreTask.h).
template <typename T>
T RunToEnd(IDatabase& store, StoreTask<T> task) {
  if constexpr (std::is_void_v<T>) {
    store.RunInPlace(task);
  } else {
    std::optional<T> result;
    StoreTask<void> kept = detail::KeepResult(std::move(task), result);
    store.RunInPlace(kept);
    return std::move(*result);
  }
}
