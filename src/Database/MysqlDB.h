#pragma once
// The account store on a MySQL/MariaDB server: the player_discord table, the link command's three
// questions and two updates, the settling of the writes it gave up on, and the admin commands'
// lookup and deletion. Its work is in source files by job, beside this header:
//   StoreConnection.cpp     connecting along the host list, outages and their cool-downs, Run and
//                           RunOn (the one way a statement reaches a server), escaping, the
//                           session's settings
//   TableCheck.cpp          the table statement, the check of its columns, the lookup indexes
//   LinkQueries.cpp         the questions and updates of the link command and the logout refresh
//   WriteSettling.cpp       settling the writes whose answer never came back (WritesInDoubt.h)
//   AdminQueries.cpp        the admin commands' lookup and deletion of linked rows
//
// What a caller can rely on:
// - No operation lets an exception out. A false answer means "no" only while its answer is
//   Known: a server that cannot be reached or refuses the statement, and a table whose columns
//   cannot hold the values faithfully (the store is then off until the next load), answer
//   CouldNotAsk; a write whose answer was lost answers InDoubt, and is settled later: its session
//   ended on its server, the table asked there, and its follow-up called with what it says.
// - A row links a player when it holds his EOS id (neither the default "0" nor empty) and a player
//   id other than 0, whatever its code column holds (Database/LinkedRowCondition.h). Every
//   question whether or where a player is linked, and the link update's guard, mean that row.
// - A typed code never reaches a row whose code is a state word, under whatever collation the
//   column has; one code links one row, and a player never gets a second link.
// - Every text value is escaped on the open connection; the session is strict, so a value that
//   does not fit its column fails instead of being cut. Statements time out on a stalled server.
// - The host may be a comma-separated list of servers, tried in order. Once all have failed, the
//   store answers at once, without touching the network, until a cool-down has passed; a store
//   that could not connect at load keeps trying on that cadence. An outage logs each server's
//   reason once for each error, and one info line when it ends.
// - Its located log lines name this header as their file, whichever source file writes them.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Database/Connection.h"
#include "Database/ConnectionSettings.h"
#include "Database/IDatabase.h"
#include "Database/OutageReasons.h"
#include "Database/ServerAvailability.h"
#include "Database/ServerList.h"
#include "Database/StepDriver.h"
#include "Database/StoreChannel.h"
#include "Database/StoreTask.h"
#include "Database/WritesInDoubt.h"

class MySql : public IDatabase {
 public:
  // The time the cool-downs are measured on; tests move their own instead of waiting.
  using Clock = veltrane::ServerAvailability::Clock;
  using Now = std::function<Clock::time_point()>;

  // Opens the connection and creates the table when missing; every failure is logged. A store
  // that could not connect tries again on the outage cadence when it is used (see above). A
  // timeout of 0 lets statements wait without limit.
  //
  // non_blocking: the statements wait on nothing (StepDriver.h); the store connects in its
  // Connect() task instead of here, which the plugin runs as its first job.
  // security: TLS and the authentication plugins' folder, for every server of the list; a server
  // that cannot meet the TLS mode fails as an unreachable one does.
  MySql(const std::string& host, std::string user, std::string password, std::string database,
        int port, unsigned int read_write_timeout_seconds = 10,
        veltrane::CoolDownPolicy cool_down = {}, Now now = &Clock::now, bool non_blocking = false,
        daotk::mysql::connection_security security = {});

  // IDatabase
  StoreTask<Answered<bool>> IsPlayerExist(std::string eos_id) override;
  StoreTask<Answered<bool>> IsPlayerIDExist(std::string eos_id) override;
  StoreTask<Answered<bool>> IsCodeExist(std::string code, int& row_id) override;
  StoreTask<Answered<bool>> UpdateAccount(int row_id, std::string eos_id, std::string code,
                                          int player_id, std::string character_name, int tribe_id,
                                          std::string tribe_name,
                                          WriteFollowUp if_in_doubt = {}) override;
  StoreTask<Answered<bool>> UpdateAccountLogout(std::string character_name, int tribe_id,
                                                std::string tribe_name, std::string code,
                                                std::string eos_id,
                                                WriteFollowUp if_in_doubt = {}) override;
  std::size_t WritesInDoubt() const override { return writes_in_doubt_.Size(); }
  bool SettlingDue() override { return writes_in_doubt_.AnyDue(now_()); }
  StoreTask<void> SettleWritesInDoubt(bool every_one) override;
  StoreTask<LinkInDoubt> DecideLinkInDoubt(std::string eos_id) override;
  std::chrono::seconds AdminWait() const override;
  std::optional<std::vector<LinkedAccount>> FindLinks(
      AccountIdKind kind, std::string id, AdminDeadline deadline = kNoDeadline) override;
  DeletedLinks DeleteLinks(AccountIdKind kind, std::string id, std::vector<LinkedAccount> links,
                           AdminDeadline deadline = kNoDeadline,
                           WriteFollowUp if_in_doubt = {}) override;
  std::optional<std::vector<bool>> StillLinked(std::vector<std::string> eos_ids,
                                               AdminDeadline deadline = kNoDeadline) override;
  StoreState State() override;
  bool NonBlocking() const override { return driver_ != nullptr; }
  StoreTask<void> Connect() override;
  bool Advance() override {
    return !driver_ || driver_->Advance(veltrane::StepDriver::Clock::now());
  }
  void RunInPlace(StoreTask<void>& task) override;
  bool FinishInPlace(std::chrono::steady_clock::time_point deadline) override {
    return !driver_ || driver_->FinishInPlace(deadline);
  }
  void Abandon() override;

  // The session settings that every connection starts with: strict mode, and the deadlines of
  // a statement timeout of timeout_seconds (0: none).
  static std::string SessionInitCommand(unsigned int timeout_seconds);

  // Asked once on every session of the store, so that a lost write's session can be told from
  // any later one with the same id: the client's address and port as the server sees them (the
  // process list's HOST, "127.0.0.1:54321"), the server's id and host name, and when it started.
  static std::string SessionQuery();

  // The connection made at load may wait this long; later ones, made while the game runs, only
  // kReconnectSeconds.
  static constexpr unsigned int kLoadConnectSeconds = 30;
  static constexpr unsigned int kReconnectSeconds = 3;
  // An admin command waits at most the statement timeout and one connection attempt; with no
  // statement timeout (0), this long instead.
  static constexpr unsigned int kUnlimitedTimeoutCapSeconds = 10;
  // How often a link update that the server chose as a deadlock's victim is sent.
  static constexpr int kDeadlockAttempts = 3;
  // At most this many writes in doubt are tried by one SettleWritesInDoubt: a blocking store
  // settles them on the game thread.
  static constexpr int kSettledPerRound = 8;

 private:
  // The file that the located log lines name. They named this header when the store's members
  // were defined in it, and admins and tests find them by it.
  static constexpr const char* kStoreFile = __FILE__;

  // StoreConnection.cpp
  StoreTask<void> ConnectAtLoad();
  StoreTask<bool> OpenCurrentServer(unsigned int connect_timeout_seconds);
  void NoteConnected();
  // Whether an operation may talk to the network now, connecting first when needed; otherwise
  // the answer is "could not ask".
  StoreTask<bool> Reachable();
  // How a statement's outcome reads: answered, in doubt (it was sent and its answer lost), or not
  // asked (not sent, or refused by the server).
  static StoreAnswer AnswerOf(const daotk::mysql::results& result);
  void ServerAnswered();
  // failed: the server the statement or the connection went to. A failure of a server the store
  // has already left behind moves nothing.
  void ServerFailed(const veltrane::DatabaseServer& failed, unsigned int error_number,
                    const std::string& error_text);
  // An admin command's task run to its end in place (MySql::FindLinks); nothing, the task not
  // started, when no time is left before deadline, when the store connects at load or cools
  // down, or when the task that waits for the database has not ended by deadline.
  template <typename T>
  std::optional<T> RunForAdmin(StoreTask<T> task, AdminDeadline deadline);
  bool AdminMayWait();
  std::string UnavailableLine(const veltrane::DatabaseServer& server,
                              const std::string& error_text) const;
  // Every statement of the store goes through Run, or through RunOn on a connection other than
  // the store's own. quiet_errors: refusals that the caller handles itself, not logged. A
  // statement that an admin's deadline ended is not charged to its server.
  StoreTask<daotk::mysql::results> Run(std::string_view statement, const char* operation,
                                       std::vector<unsigned int> quiet_errors = {});
  // A statement on another connection than the store's own: refusals are logged as by Run, but
  // the server's availability is not judged by it.
  StoreTask<daotk::mysql::results> RunOn(veltrane::StoreChannel& connection,
                                         std::string_view statement, const char* operation,
                                         std::vector<unsigned int> quiet_errors = {});
  std::optional<std::string> Escape(std::string_view value, const char* operation);

  // TableCheck.cpp
  StoreTask<void> PrepareTable();
  StoreTask<bool> TableHoldsValuesFaithfully();
  StoreTask<void> AddLookupIndexes();
  StoreTask<bool> EnsureIndex(std::string_view column, std::string_view index_name);

  // LinkQueries.cpp
  StoreTask<Answered<std::optional<int>>> AskNumber(std::string statement_template,
                                                    std::string value, const char* operation);

  // WriteSettling.cpp
  // Before a write is sent: what settles it should its answer never come back. After it: a write
  // in doubt is kept with the session it was sent on (the unload's Abandon does the same for one
  // still under way).
  void BeginWrite(std::vector<veltrane::WriteInDoubt> writes);
  void EndWrite(StoreAnswer answer);
  void KeepInDoubt(std::vector<veltrane::WriteInDoubt> writes);
  // Whether the table holds what write would have made of it, once its session is gone; nothing
  // when its server could not make sure of that.
  StoreTask<std::optional<bool>> Settle(const veltrane::WriteInDoubt& write, const char* operation);
  StoreTask<bool> EndSession(veltrane::StoreChannel& connection,
                             const veltrane::WriteInDoubt& write, const char* operation);
  // The write with serial is settled: taken out of the list, its follow-up runs.
  void FollowUp(std::uint64_t serial, bool holds);

  // AdminQueries.cpp
  StoreTask<std::optional<std::vector<LinkedAccount>>> FindLinksTask(AccountIdKind kind,
                                                                     std::string id);
  StoreTask<DeletedLinks> DeleteLinksTask(AccountIdKind kind, std::string id,
                                          std::vector<LinkedAccount> links,
                                          WriteFollowUp if_in_doubt);
  StoreTask<std::optional<std::vector<bool>>> StillLinkedTask(std::vector<std::string> eos_ids);

  // Null for a blocking store.
  std::unique_ptr<veltrane::StepDriver> driver_;
  veltrane::StoreChannel connection_;
  // A non-blocking store until its Connect() has ended: "connecting" in State().
  bool connecting_at_load_ = false;
  // The unload gave up the connection made at load (Abandon).
  bool connection_given_up_ = false;
  daotk::mysql::connection_settings settings_;
  std::optional<veltrane::ServerAvailability> availability_;
  veltrane::OutageReasons outage_reasons_;
  std::optional<veltrane::DatabaseServer> connected_server_;
  bool table_ready_ = false;
  // A table that cannot hold the values faithfully switches the store off until the next load.
  bool switched_off_ = false;
  veltrane::CoolDownPolicy cool_down_;
  Now now_;
  veltrane::WritesInDoubt writes_in_doubt_;
  // The write under way (several for a deletion of several players' rows); empty between writes.
  std::vector<veltrane::WriteInDoubt> writes_in_flight_;
  // For State(): when the current outage began, and why the table check switched the store off.
  std::chrono::system_clock::time_point unavailable_since_{};
  std::string switched_off_reason_;
};
