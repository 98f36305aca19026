#pragma once
// The account store on a MySQL/MariaDB server: the player_discord table, three questions, two
// updates, and the question that settles a lost update. Its members are defined here, so that the
// log lines name this header as their file.
//
// Beyond the table's plain behaviour:
// - Every statement goes through Run (RunOn on the connection that settles a lost update), which
//   writes one error line (the client library's error number and text) for a statement that the
//   server refused.
// - Every text value is escaped on the open connection before it is placed between the
//   template's quotes; a value that cannot be escaped is an error line and nothing is sent.
// - The session is strict (STRICT_ALL_TABLES added to the server's sql_mode, again after every
//   reconnection), so a value that does not fit its column fails instead of being cut or coerced.
//   The server's other modes stay, NO_BACKSLASH_ESCAPES among them; escaping follows them.
// - A statement that picks rows by a typed code leaves out the rows whose code is a state word
//   ("Linked", "Updated", the default "0", or empty), and one that picks rows by EOS id leaves out
//   the default "0" and empty ids. The server compares under the column's own collation, so no
//   typed text reaches those rows, whatever that collation ignores or folds. IsCodeExist and
//   UpdateAccount also refuse the state words themselves before sending anything.
// - IsCodeExist can name the row that holds the code (the first, when several do), and
//   UpdateAccount links that one row only, while it still holds the code: one code links one row.
//   The same statement requires that no other row links the EOS id, so an update that reaches the
//   server late (its answer lost, the plugin loaded anew meanwhile) cannot link a player twice.
//   UpdateAccount answers true only when its statement ran and changed the row.
// - A row links a player when it holds his EOS id (neither the default "0" nor empty) and a player
//   id other than 0 (game servers report negative ids too), whatever its code column holds. That
//   one condition (detail::LinkedRow) is in every question whether or where a player is linked,
//   in the link update's guard, and in the admin commands' lookup and deletion.
// - At load, after the table statement, a table whose columns cannot hold the values faithfully
//   (see ColumnRequirements.h) is one critical line, and the store then answers false to
//   everything without sending, and LastAnswer() says that it could not ask, until the next load.
// - Statements time out after read_write_timeout_seconds on a stalled server and answer false.
//   The session also has deadlines on the server, set again at every connection: a statement
//   that the store gave up on must not go on there and change a row later.
// - A link update whose answer was lost (Database/LostUpdates.h) is settled before its row is
//   judged: its session is ended on the server it was sent to, through a new connection, and the
//   row is read there. Until that server answers, IsRowLinkedTo cannot tell. Only a session that
//   is provably the update's own is ended: every session of the store is described once, when it
//   begins (SessionQuery), and a session is ended only when all of that still matches.
// - Non-unique indexes on eos_id and code are added after the table statement when missing.
// - The host may be a comma-separated list of servers, tried in order (Database/ServerList.h).
// - A server that cannot be reached or does not answer is an outage (ServerAvailability.h,
//   ConnectionFailure.h): the next server is tried at once; once all have failed, operations
//   answer false at once, without touching the network, until a cool-down has passed, and
//   LastAnswer() says that the store could not ask. A later connection uses a short connect
//   timeout. An outage writes one error line when it starts and one info line when it ends,
//   instead of a line for each statement it fails.
// - A store that could not connect at load keeps trying on that cadence, and creates the table
//   once it reaches a server.
// - The admin commands' lookup and deletion act on exactly the linked rows. The lookup reads the
//   code column only when the column itself takes it for "Linked" or "Updated" (in its own
//   character set and collation, trailing spaces dropped); any other content, a code waiting on a
//   linked row, comes back empty and never leaves the server.

#include <fmt/format.h>

#include <array>
#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "Database/ColumnRequirements.h"
#include "Database/Connection.h"
#include "Database/ConnectionFailure.h"
#include "Database/ConnectionSettings.h"
#include "Database/IDatabase.h"
#include "Database/LostUpdates.h"
#include "Database/ServerAvailability.h"
#include "Database/ServerList.h"
#include "Database/StateWords.h"
#include "Plugin/PluginLog.h"

namespace veltrane::detail {

// The one definition of a link, in every question that asks whether or where a player is linked
// (the link command's, the logout refresh's, the lost update's, the admin commands') and in the
// guard of the link update: the row holds an EOS id other than the default identity and a player
// id other than 0 (game servers report negative ids too). The code column plays no part: a bot
// that retyped the state word or re-issued a code onto a linked row leaves the player linked, and
// the admin commands must show and free exactly the rows that keep him from linking.
inline constexpr std::string_view kHoldsAnEOSId = "eos_id NOT IN ('0', '')";
inline std::string LinkedRow() { return fmt::format("{} AND player_id <> 0", kHoldsAnEOSId); }

// The code column when the column itself takes it for a state word, compared in its own character
// set and collation (a utf16 column, a CHAR column read back padded); empty otherwise, so that a
// code waiting on a linked row never leaves the server.
inline constexpr std::string_view kStateWordOfCode =
    "CASE WHEN code IN ('Linked', 'Updated') THEN code ELSE '' END";

}  // namespace veltrane::detail

class MySql : public IDatabase {
 public:
  // The time the cool-downs are measured on; tests move their own instead of waiting.
  using Clock = veltrane::ServerAvailability::Clock;
  using Now = std::function<Clock::time_point()>;

  // Opens the connection and creates the table when missing; every failure is logged. A store
  // that could not connect tries again on the outage cadence when it is used (see above). A
  // timeout of 0 lets statements wait without limit.
  MySql(const std::string& host, std::string user, std::string password, std::string database,
        int port, unsigned int read_write_timeout_seconds = 10,
        veltrane::CoolDownPolicy cool_down = {}, Now now = &Clock::now);

  // IDatabase
  bool IsPlayerExist(std::string eos_id) override;
  bool IsPlayerIDExist(std::string eos_id) override;
  bool IsCodeExist(std::string code) override;
  bool IsCodeExist(std::string code, int& row_id) override;
  bool UpdateAccount(std::string eos_id, std::string code, int player_id,
                     std::string character_name, int tribe_id, std::string tribe_name) override;
  bool UpdateAccount(int row_id, std::string eos_id, std::string code, int player_id,
                     std::string character_name, int tribe_id, std::string tribe_name) override;
  bool UpdateAccountLogout(std::string character_name, int tribe_id, std::string tribe_name,
                           std::string code, std::string eos_id) override;
  bool IsRowLinkedTo(int row_id, std::string eos_id) override;
  StoreAnswer LastAnswer() const override { return answer_; }
  std::optional<std::vector<LinkedAccount>> FindLinks(AccountIdKind kind, std::string id) override;
  DeletedLinks DeleteLinks(AccountIdKind kind, std::string id, std::vector<int> row_ids) override;

  // The session settings that every connection starts with: strict mode, and the deadlines of
  // a statement timeout of timeout_seconds (0: none).
  static std::string SessionInitCommand(unsigned int timeout_seconds);

  // Asked once on every session of the store, so that a lost update's session can be told from
  // any later one with the same id: the client's address and port as the server sees them (the
  // process list's HOST, "127.0.0.1:54321"), the server's id and host name, and when it started.
  static std::string SessionQuery();

  // Lost link updates whose session has not been ended yet.
  std::size_t LostUpdateCount() const { return lost_updates_.Size(); }

  // The connection made at load may wait this long; later ones, made while the game runs, only
  // kReconnectSeconds.
  static constexpr unsigned int kLoadConnectSeconds = 30;
  static constexpr unsigned int kReconnectSeconds = 3;
  // How often a link update that the server chose as a deadlock's victim is sent.
  static constexpr int kDeadlockAttempts = 3;

 private:
  void ConnectAtLoad();
  bool OpenCurrentServer(unsigned int connect_timeout_seconds);
  void NoteConnected();
  void PrepareTable();
  // Whether an operation may talk to the network now, connecting first when needed; otherwise
  // the answer is "could not ask".
  bool Reachable();
  void ServerAnswered();
  void ServerFailed(unsigned int error_number, const std::string& error_text);
  std::string UnavailableLine(const veltrane::DatabaseServer& server,
                              const std::string& error_text) const;

  // quiet_error: a refusal the caller handles itself, not logged.
  daotk::mysql::results Run(std::string_view statement, const char* operation,
                            unsigned int quiet_error = 0);
  // A statement on another connection than the store's own: refusals are logged as by Run, but
  // the server's availability is not judged by it.
  daotk::mysql::results RunOn(daotk::mysql::connection& connection, std::string_view statement,
                              const char* operation);
  std::optional<bool> SettleLostUpdate(veltrane::LostUpdate& lost, const char* operation);
  bool EndSession(daotk::mysql::connection& connection, const veltrane::LostUpdate& lost,
                  const char* operation);
  std::optional<std::string> Escape(std::string_view value, const char* operation);
  std::optional<int> AskNumber(std::string_view statement_template, const std::string& value,
                               const char* operation);
  bool TableHoldsValuesFaithfully();
  void AddLookupIndexes();
  bool EnsureIndex(std::string_view column, std::string_view index_name);

  daotk::mysql::connection connection_;
  daotk::mysql::connection_settings settings_;
  std::optional<veltrane::ServerAvailability> availability_;
  std::optional<veltrane::DatabaseServer> connected_server_;
  bool table_ready_ = false;
  // A table that cannot hold the values faithfully switches the store off until the next load.
  bool switched_off_ = false;
  StoreAnswer answer_ = StoreAnswer::Known;
  veltrane::CoolDownPolicy cool_down_;
  Now now_;
  veltrane::LostUpdates lost_updates_;

 public:
  StoreState State() override;

 private:
  // For State(): when the current outage began, and why the table check switched the store off.
  std::chrono::system_clock::time_point unavailable_since_{};
  std::string switched_off_reason_;
};

inline MySql::MySql(const std::string& host, std::string user, std::string password,
                    std::string database, int port, unsigned int read_write_timeout_seconds,
                    veltrane::CoolDownPolicy cool_down, Now now)
    : cool_down_(cool_down), now_(std::move(now)) {
  try {
    settings_.user = std::move(user);
    settings_.password = std::move(password);
    settings_.database_name = std::move(database);
    settings_.read_timeout = read_write_timeout_seconds;
    settings_.write_timeout = read_write_timeout_seconds;
    settings_.reconnect_timeout = kReconnectSeconds;
    settings_.auto_reconnect = true;
    settings_.charset = "utf8mb4";
    settings_.init_command = SessionInitCommand(read_write_timeout_seconds);
    settings_.session_query = SessionQuery();
    availability_.emplace(veltrane::ParseServerList(host, static_cast<std::uint32_t>(port)),
                          cool_down);
    ConnectAtLoad();
  } catch (const std::exception& error) {
    PluginLog::Get()->critical("({} {}) Unexpected DB error {}", __FILE__, "MySql::MySql",
                               error.what());
  }
}

// Strict mode is added to the server's modes rather than replacing them: a server in
// NO_BACKSLASH_ESCAPES mode keeps it, and the library's escaping follows the mode the session
// really has.
//
// The deadlines are the server's own, so that it never finishes a statement that the store has
// given up on (MariaDB goes on with a statement whose client has gone). innodb_lock_wait_timeout,
// in whole seconds, is known to every server. MariaDB's max_statement_time bounds the whole
// statement and ends it half a second before the client gives up (at half the timeout when that
// is shorter), so that the server's refusal, rather than a lost answer, reaches the store; it is
// written in MariaDB's executable comment, which other servers skip.
inline std::string MySql::SessionInitCommand(unsigned int timeout_seconds) {
  std::string command =
      "SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), 'STRICT_ALL_TABLES')";
  if (timeout_seconds == 0) return command;
  const double statement_seconds = timeout_seconds - std::min(0.5, timeout_seconds / 2.0);
  return command +
         fmt::format(", innodb_lock_wait_timeout = {} /*M!100101 , max_statement_time = {} */",
                     timeout_seconds, statement_seconds);
}

namespace veltrane::detail {

// When the server started, in Unix seconds. MariaDB counts Uptime from its start to the
// statement's own time, which UNIX_TIMESTAMP() reads too: every statement of one run of the
// server gets the same number, and a restart a later one.
inline constexpr std::string_view kServerStarted =
    "UNIX_TIMESTAMP() - (SELECT CAST(VARIABLE_VALUE AS SIGNED) FROM "
    "information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'UPTIME')";

}  // namespace veltrane::detail

// A user always sees its own sessions in the process list, and every user the global status.
inline std::string MySql::SessionQuery() {
  return fmt::format(
      "SELECT HOST, @@server_id, @@hostname, {} FROM information_schema.PROCESSLIST WHERE ID = "
      "CONNECTION_ID();",
      veltrane::detail::kServerStarted);
}

// The first server that answers, in order. When none does, the cool-down has started and the
// store answers "could not ask" until it has passed.
inline void MySql::ConnectAtLoad() {
  std::optional<std::string> first_failure;
  for (std::size_t tried = 0; tried < availability_->ServerCount(); ++tried) {
    if (OpenCurrentServer(kLoadConnectSeconds)) break;
    if (!first_failure) {
      first_failure = UnavailableLine(availability_->Current(), connection_.open_error().text);
      unavailable_since_ = std::chrono::system_clock::now();
    }
    availability_->Failed(now_());
  }
  if (!connection_.is_open()) {
    PluginLog::Get()->critical("Failed to open connection!");
    PluginLog::Get()->error(*first_failure);
    return;
  }
  if (first_failure) PluginLog::Get()->error(*first_failure);
  NoteConnected();
  PrepareTable();
}

inline bool MySql::OpenCurrentServer(unsigned int connect_timeout_seconds) {
  const veltrane::DatabaseServer& server = availability_->Current();
  settings_.host = server.host;
  settings_.port = server.port;
  settings_.connect_timeout = connect_timeout_seconds;
  return connection_.open(settings_);
}

// One server needs no naming; with a list the log says which one serves.
inline void MySql::NoteConnected() {
  const veltrane::DatabaseServer& server = availability_->Current();
  if (availability_->ServerCount() > 1 && connected_server_ != server) {
    PluginLog::Get()->info("Connected to database server {}", veltrane::DescribeServer(server));
  }
  connected_server_ = server;
}

// The table statement, the check of its columns and the indexes, on the first connection that
// reaches a server.
inline void MySql::PrepareTable() {
  const std::string create_table = fmt::format(
      "CREATE TABLE IF NOT EXISTS player_discord (id int(11) NOT NULL AUTO_INCREMENT,eos_id "
      "varchar(50) COLLATE utf8mb4_general_ci NOT NULL DEFAULT '0',discord_id varchar(50) "
      "COLLATE utf8mb4_general_ci NOT NULL DEFAULT '0',player_id int(11) NOT NULL DEFAULT "
      "0,character_name varchar(255) COLLATE utf8mb4_general_ci NOT NULL DEFAULT "
      "'None',tribe_id int(11) NOT NULL DEFAULT 0,tribe_name varchar(255) COLLATE "
      "utf8mb4_general_ci NOT NULL DEFAULT 'None',code varchar(50) COLLATE utf8mb4_general_ci "
      "NOT NULL DEFAULT '0',PRIMARY KEY(id))");
  answer_ = StoreAnswer::Known;
  if (!Run(create_table, "MySql::MySql").succeeded()) {
    // Lost on the way (an outage drops the handle): the outage line says why, and the next
    // connection tries again.
    if (!connection_.is_open()) return;
    PluginLog::Get()->critical("({} {}) Failed to create table!", __FILE__, "MySql::MySql");
  }
  // Refusing is better than corrupting: a store switched off answers false without sending.
  if (!TableHoldsValuesFaithfully()) {
    if (!connection_.is_open()) return;
    switched_off_ = true;
    connection_.close();
    return;
  }
  table_ready_ = true;
  AddLookupIndexes();
}

inline bool MySql::Reachable() {
  answer_ = StoreAnswer::Known;
  if (availability_ && !switched_off_ && availability_->MayTry(now_())) {
    if (connection_.is_open()) return true;
    if (OpenCurrentServer(kReconnectSeconds)) {
      NoteConnected();
      // A store that never reached its server at load has no table yet.
      if (!table_ready_) PrepareTable();
      answer_ = StoreAnswer::Known;
      if (connection_.is_open()) return true;
    } else {
      const daotk::mysql::connection::error error = connection_.open_error();
      ServerFailed(error.number, error.text);
    }
  }
  answer_ = StoreAnswer::CouldNotAsk;
  return false;
}

inline void MySql::ServerAnswered() {
  const std::optional<Clock::duration> outage = availability_->Succeeded(now_());
  if (!outage) return;
  PluginLog::Get()->info("Database server {} available again after {:.1f} s",
                         veltrane::DescribeServer(availability_->Current()),
                         std::chrono::duration<double>(*outage).count());
}

// The handle is dropped, so that the next attempt connects afresh (with the short timeout, to
// the server the availability names) instead of the library reconnecting on its own.
inline void MySql::ServerFailed(unsigned int error_number, const std::string& error_text) {
  answer_ =
      daotk::mysql::MayHaveRun(error_number) ? StoreAnswer::InDoubt : StoreAnswer::CouldNotAsk;
  connection_.close();
  const veltrane::DatabaseServer failed = availability_->Current();
  if (availability_->Failed(now_()).outage_started) {
    unavailable_since_ = std::chrono::system_clock::now();
    PluginLog::Get()->error(UnavailableLine(failed, error_text));
  }
}

inline StoreState MySql::State() {
  StoreState state;
  if (switched_off_) {
    state.connection = StoreState::Connection::SwitchedOff;
    state.switched_off_reason = switched_off_reason_;
    return state;
  }
  if (!availability_) {  // the settings could not be taken: nothing to talk to
    state.connection = StoreState::Connection::Unavailable;
    return state;
  }
  const bool open = connection_.is_open();
  state.server = veltrane::DescribeServer(open && connected_server_ ? *connected_server_
                                                                    : availability_->Current());
  if (availability_->InOutage()) {
    state.connection = StoreState::Connection::Unavailable;
    state.unavailable_since = unavailable_since_;
    // The cool-down's end, found by asking when the store may try: the whole seconds to wait.
    const Clock::time_point now = now_();
    std::int64_t wait = 0;
    if (!availability_->MayTry(now)) {
      std::int64_t low = 0;
      std::int64_t high = std::chrono::ceil<std::chrono::seconds>(cool_down_.longest).count();
      while (low < high) {
        const std::int64_t middle = low + (high - low) / 2;
        if (availability_->MayTry(now + std::chrono::seconds(middle))) {
          high = middle;
        } else {
          low = middle + 1;
        }
      }
      wait = low;
    }
    state.next_attempt_in = std::chrono::seconds(wait);
    return state;
  }
  state.connection = open ? StoreState::Connection::Connected : StoreState::Connection::NotYet;
  return state;
}

// Never the password: the server, the database and the library's own words.
inline std::string MySql::UnavailableLine(const veltrane::DatabaseServer& server,
                                          const std::string& error_text) const {
  return fmt::format("Database server {} (database {}) unavailable: {}",
                     veltrane::DescribeServer(server), settings_.database_name, error_text);
}

// The one way a statement reaches the server. A connection that failed is an outage, logged
// once for all the statements it fails; a statement the server refused is logged each time.
inline daotk::mysql::results MySql::Run(std::string_view statement, const char* operation,
                                        unsigned int quiet_error) {
  daotk::mysql::results result = connection_.query(statement);
  if (result.succeeded()) {
    ServerAnswered();
  } else if (daotk::mysql::IsConnectionFailure(result.error_number())) {
    ServerFailed(result.error_number(), result.error_text());
  } else if (result.refused_by_server()) {
    // No answer either, though no outage: a refused question must not read as "no" to a player
    // (a dropped table or a revoked right would otherwise turn every code into a wrong one).
    answer_ = StoreAnswer::CouldNotAsk;
    if (result.error_number() == quiet_error) return result;
    PluginLog::Get()->error("({} {}) The server refused the statement: error {}: {}", __FILE__,
                            operation, result.error_number(), result.error_text());
  }
  return result;
}

inline daotk::mysql::results MySql::RunOn(daotk::mysql::connection& connection,
                                          std::string_view statement, const char* operation) {
  daotk::mysql::results result = connection.query(statement);
  if (result.refused_by_server()) {
    PluginLog::Get()->error("({} {}) The server refused the statement: error {}: {}", __FILE__,
                            operation, result.error_number(), result.error_text());
  }
  return result;
}

inline std::optional<std::string> MySql::Escape(std::string_view value, const char* operation) {
  std::optional<std::string> escaped = connection_.escape(value);
  // A closed connection escapes nothing and sends nothing either; only an open one is news.
  if (!escaped && connection_.is_open()) {
    PluginLog::Get()->error("({} {}) A value could not be escaped; nothing was sent", __FILE__,
                            operation);
  }
  return escaped;
}

// A table that someone else created may have columns that turn the values into others; with
// them the store would link and overwrite the wrong rows.
inline bool MySql::TableHoldsValuesFaithfully() {
  daotk::mysql::results result =
      Run("SELECT COLUMN_NAME, DATA_TYPE, COLUMN_TYPE FROM information_schema.COLUMNS WHERE "
          "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'player_discord';",
          "MySql::MySql");
  std::vector<std::string> problems;
  if (!result.succeeded()) {
    if (!connection_.is_open()) return false;  // the server went away: no verdict
    problems.push_back("its columns could not be read");
  } else {
    std::vector<veltrane::ColumnDescription> columns;
    for (std::vector<std::string>& row : result.text_rows()) {
      if (row.size() == 3)
        columns.push_back({std::move(row[0]), std::move(row[1]), std::move(row[2])});
    }
    problems = veltrane::ColumnProblems(columns);
  }
  if (problems.empty()) return true;
  switched_off_reason_ = fmt::format("{}", fmt::join(problems, "; "));
  PluginLog::Get()->critical(
      "({} {}) Table player_discord cannot hold the plugin's values faithfully, so the account "
      "store is off: {}",
      __FILE__, "MySql::MySql", fmt::join(problems, "; "));
  return false;
}

// Without these every question scans the whole table on the game thread. The table statement
// stays as the outside party knows it, so they are added beside it, also to a table it created.
inline void MySql::AddLookupIndexes() {
  std::vector<std::string_view> failed;
  for (const auto& [column, index_name] :
       std::array<std::pair<std::string_view, std::string_view>, 2>{
           {{"eos_id", "player_discord_eos_id"}, {"code", "player_discord_code"}}}) {
    if (!EnsureIndex(column, index_name)) failed.push_back(column);
  }
  if (!failed.empty()) {
    PluginLog::Get()->warn(
        "Could not add an index on player_discord ({}); lookups will scan the whole table",
        fmt::join(failed, ", "));
  }
}

// Asks information_schema rather than using CREATE INDEX IF NOT EXISTS, which MySQL lacks. Any
// index that leads with the column serves the lookups.
inline bool MySql::EnsureIndex(std::string_view column, std::string_view index_name) {
  int existing = 0;
  if (!Run(fmt::format("SELECT COUNT(*) FROM information_schema.STATISTICS WHERE "
                       "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'player_discord' AND "
                       "COLUMN_NAME = '{}' AND SEQ_IN_INDEX = 1;",
                       column),
           "MySql::MySql")
           .first_value(existing)) {
    return false;
  }
  if (existing > 0) return true;
  return Run(fmt::format("CREATE INDEX {} ON player_discord ({});", index_name, column),
             "MySql::MySql")
      .succeeded();
}

// The number that a one-value question answers, the value escaped between the template's quotes;
// none when the statement failed or gave no value.
inline std::optional<int> MySql::AskNumber(std::string_view statement_template,
                                           const std::string& value, const char* operation) {
  if (!Reachable()) return std::nullopt;
  const std::optional<std::string> escaped_value = Escape(value, operation);
  if (!escaped_value) return std::nullopt;
  int answer = 0;
  if (!Run(fmt::format(fmt::runtime(statement_template), *escaped_value), operation)
           .first_value(answer)) {
    // A question changes nothing, so one whose answer was lost is simply not asked.
    if (answer_ == StoreAnswer::InDoubt) answer_ = StoreAnswer::CouldNotAsk;
    return std::nullopt;
  }
  return answer;
}

inline bool MySql::IsPlayerExist(std::string eos_id) {
  try {
    const std::optional<int> exists = AskNumber(
        fmt::format("SELECT EXISTS (SELECT * FROM player_discord WHERE eos_id = '{{}}' AND {});",
                    veltrane::detail::kHoldsAnEOSId),
        eos_id, "MySql::IsPlayerExist");
    return exists && *exists > 0;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, "MySql::IsPlayerExist",
                            error.what());
    return false;
  }
}

inline bool MySql::IsPlayerIDExist(std::string eos_id) {
  try {
    const std::optional<int> count =
        AskNumber(fmt::format("SELECT COUNT(*) FROM player_discord WHERE eos_id = '{{}}' AND {};",
                              veltrane::detail::LinkedRow()),
                  eos_id, "MySql::IsPlayerIDExist");
    return count && *count > 0;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, "MySql::IsPlayerIDExist",
                            error.what());
    return false;
  }
}

inline bool MySql::IsCodeExist(std::string code) {
  int row_id = 0;
  return IsCodeExist(std::move(code), row_id);
}

inline bool MySql::IsCodeExist(std::string code, int& row_id) {
  try {
    answer_ = StoreAnswer::Known;
    if (veltrane::IsStateWord(code)) return false;
    const std::optional<int> found = AskNumber(
        "SELECT id FROM player_discord WHERE code = '{}' AND code NOT IN ('Linked', 'Updated', "
        "'0', '') ORDER BY id LIMIT 1;",
        code, "MySql::IsCodeExist");
    if (!found) return false;
    row_id = *found;
    return true;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, "MySql::IsCodeExist",
                            error.what());
    return false;
  }
}

// The row that the question finds for the code, then that row's update.
inline bool MySql::UpdateAccount(std::string eos_id, std::string code, int player_id,
                                 std::string character_name, int tribe_id, std::string tribe_name) {
  int row_id = 0;
  if (!IsCodeExist(code, row_id)) return false;
  return UpdateAccount(row_id, std::move(eos_id), std::move(code), player_id,
                       std::move(character_name), tribe_id, std::move(tribe_name));
}

inline bool MySql::UpdateAccount(int row_id, std::string eos_id, std::string code, int player_id,
                                 std::string character_name, int tribe_id, std::string tribe_name) {
  constexpr const char* kOperation = "MySql::UpdateAccount";
  try {
    answer_ = StoreAnswer::Known;
    if (veltrane::IsStateWord(code) || !Reachable()) return false;
    const std::optional<std::string> escaped_eos_id = Escape(eos_id, kOperation);
    const std::optional<std::string> escaped_code = Escape(code, kOperation);
    const std::optional<std::string> escaped_character = Escape(character_name, kOperation);
    const std::optional<std::string> escaped_tribe = Escape(tribe_name, kOperation);
    if (!escaped_eos_id || !escaped_code || !escaped_character || !escaped_tribe) return false;
    // A lost race for the code (another server linked it first) runs fine but changes nothing,
    // and so does the update of a player whom another row links already: one that reaches the
    // server late (its answer lost, the plugin loaded anew, the player linked another code
    // meanwhile) can never give him a second link. The other link is looked for in a derived
    // table, which the server materialises (LIMIT keeps it from being merged) before it changes a
    // row: MySQL refuses a plain subquery on the updated table (error 1093).
    const std::string statement = fmt::format(
        "UPDATE player_discord SET eos_id = '{0}', player_id = {1}, character_name = '{2}', "
        "tribe_id = {3}, tribe_name = '{4}', code = 'Linked' WHERE id = {5} AND code = '{6}' AND "
        "code NOT IN ('Linked', 'Updated', '0', '') AND NOT EXISTS (SELECT 1 FROM (SELECT id FROM "
        "player_discord WHERE eos_id = '{0}' AND {7} AND id <> {5} LIMIT 1) AS other_link);",
        *escaped_eos_id, player_id, *escaped_character, tribe_id, *escaped_tribe, row_id,
        *escaped_code, veltrane::detail::LinkedRow());
    // The server reads the other rows with shared locks, so two players linking at the same moment
    // can deadlock; it then undoes one of the statements whole, and that one is sent again.
    daotk::mysql::results result;
    for (int attempt = 1; attempt <= kDeadlockAttempts; ++attempt) {
      answer_ = StoreAnswer::Known;
      const bool last = attempt == kDeadlockAttempts;
      result = Run(statement, kOperation, last ? 0 : ER_LOCK_DEADLOCK);
      if (last || result.error_number() != ER_LOCK_DEADLOCK) break;
    }
    if (answer_ == StoreAnswer::InDoubt && connected_server_) {
      daotk::mysql::connection::session sent_on = connection_.statement_session();
      lost_updates_.Add(
          {row_id, eos_id, *connected_server_, sent_on.thread_id, std::move(sent_on.described)});
    }
    return result.succeeded() && result.affected_rows() > 0;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, kOperation, error.what());
    return false;
  }
}

namespace veltrane::detail {

// Whether the row links the player.
inline std::string RowLinkedStatement(int row_id, std::string_view escaped_eos_id) {
  return fmt::format("SELECT COUNT(*) FROM player_discord WHERE id = {} AND eos_id = '{}' AND {};",
                     row_id, escaped_eos_id, LinkedRow());
}

}  // namespace veltrane::detail

inline bool MySql::IsRowLinkedTo(int row_id, std::string eos_id) {
  constexpr const char* kOperation = "MySql::IsRowLinkedTo";
  try {
    answer_ = StoreAnswer::Known;
    // An update of this row by this player that may still run is ended first; the row is then
    // read on its server, where the update would have committed.
    std::optional<bool> linked;
    while (veltrane::LostUpdate* lost = lost_updates_.Find(row_id, eos_id)) {
      linked = SettleLostUpdate(*lost, kOperation);
      if (!linked) {
        answer_ = StoreAnswer::CouldNotAsk;
        return false;
      }
      lost_updates_.Remove(lost);
    }
    if (linked) return *linked;

    if (!Reachable()) return false;
    const std::optional<std::string> escaped_eos_id = Escape(eos_id, kOperation);
    int count = 0;
    if (!escaped_eos_id ||
        !Run(veltrane::detail::RowLinkedStatement(row_id, *escaped_eos_id), kOperation)
             .first_value(count)) {
      answer_ = StoreAnswer::CouldNotAsk;
      return false;
    }
    return count > 0;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, kOperation, error.what());
    answer_ = StoreAnswer::CouldNotAsk;
    return false;
  }
}

// Whether the lost update's row holds its player, once its session is gone; nothing when that
// could not be made sure of. A server that does not answer is not tried again before a
// cool-down has passed.
inline std::optional<bool> MySql::SettleLostUpdate(veltrane::LostUpdate& lost,
                                                   const char* operation) {
  const Clock::time_point now = now_();
  if (now < lost.retry_at) return std::nullopt;
  lost.retry_at = now + cool_down_.first;

  daotk::mysql::connection_settings settings = settings_;
  settings.host = lost.server.host;
  settings.port = lost.server.port;
  settings.connect_timeout = kReconnectSeconds;
  settings.auto_reconnect = false;
  settings.session_query.clear();  // it sends no update, so it is never a lost one's session
  daotk::mysql::connection on_its_server;
  if (!on_its_server.open(settings) || !EndSession(on_its_server, lost, operation)) {
    return std::nullopt;
  }
  const std::optional<std::string> escaped_eos_id = on_its_server.escape(lost.eos_id);
  int count = 0;
  if (!escaped_eos_id ||
      !RunOn(on_its_server, veltrane::detail::RowLinkedStatement(lost.row_id, *escaped_eos_id),
             operation)
           .first_value(count)) {
    return std::nullopt;
  }
  // The server that the store's outage is about answers again.
  if (availability_->Current() == lost.server) ServerAnswered();
  return count > 0;
}

// Ends the session that the lost update was sent on and waits until the server has let it go, so
// that the update can no longer change its row. The whole session, not only its statement: a
// statement still on its way through the network would otherwise run on it afterwards.
//
// Only that very session is ended: the same id, user and client address and port, on the same
// server in the same run of it. A server that restarted hands the ids out again, to any session
// of this user, such as another game server's; that one, like a session that is gone, has nothing
// of the update left to run, and is left alone. The server's start may read a second off, for a
// server that reads its clock twice (no server starts again within a second of its last start).
// A session that the store could not describe is never ended.
inline bool MySql::EndSession(daotk::mysql::connection& connection,
                              const veltrane::LostUpdate& lost, const char* operation) {
  const bool store_has_that_id = connected_server_ == lost.server && connection_.is_open() &&
                                 connection_.thread_id() == lost.thread_id;
  if (connection.thread_id() == lost.thread_id || store_has_that_id) return true;
  constexpr std::size_t kDescribed = 4;  // SessionQuery's columns
  if (lost.session.size() != kDescribed) return true;
  std::array<std::string, kDescribed> escaped;
  for (std::size_t column = 0; column < kDescribed; ++column) {
    std::optional<std::string> value = connection.escape(lost.session[column]);
    if (!value) return false;
    escaped[column] = std::move(*value);
  }
  const std::string still_there = fmt::format(
      "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = {} AND USER = "
      "SUBSTRING_INDEX(CURRENT_USER(), '@', 1) AND HOST = '{}' AND @@server_id = '{}' AND "
      "@@hostname = '{}' AND ABS({} - '{}') <= 1;",
      lost.thread_id, escaped[0], escaped[1], escaped[2], veltrane::detail::kServerStarted,
      escaped[3]);
  // A real wait for the server, on the real clock.
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(kReconnectSeconds);
  bool kill_sent = false;
  while (true) {
    int sessions = 0;
    if (!RunOn(connection, still_there, operation).first_value(sessions)) return false;
    if (sessions == 0) return true;
    if (!kill_sent) {
      // By id, right after the look on this same connection: the server cannot have restarted in
      // between without ending this connection too, nor given the id to another session.
      const daotk::mysql::results killed =
          connection.query(fmt::format("KILL CONNECTION {};", lost.thread_id));
      kill_sent = true;
      // Gone meanwhile, or refused: the next look tells.
      if (killed.succeeded() || killed.error_number() == ER_NO_SUCH_THREAD ||
          killed.error_number() == ER_KILL_DENIED_ERROR) {
        continue;
      }
      if (killed.refused_by_server()) {
        PluginLog::Get()->error("({} {}) The server refused the statement: error {}: {}", __FILE__,
                                operation, killed.error_number(), killed.error_text());
      }
      return false;
    }
    if (Clock::now() >= give_up) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

inline bool MySql::UpdateAccountLogout(std::string character_name, int tribe_id,
                                       std::string tribe_name, std::string code,
                                       std::string eos_id) {
  constexpr const char* kOperation = "MySql::UpdateAccountLogout";
  try {
    if (!Reachable()) return false;
    const std::optional<std::string> escaped_character = Escape(character_name, kOperation);
    const std::optional<std::string> escaped_tribe = Escape(tribe_name, kOperation);
    const std::optional<std::string> escaped_code = Escape(code, kOperation);
    const std::optional<std::string> escaped_eos_id = Escape(eos_id, kOperation);
    if (!escaped_character || !escaped_tribe || !escaped_code || !escaped_eos_id) return false;
    return Run(fmt::format("UPDATE player_discord SET character_name = '{}', tribe_id = {}, "
                           "tribe_name = '{}', code = '{}' WHERE eos_id = '{}' AND eos_id NOT IN "
                           "('0', '');",
                           *escaped_character, tribe_id, *escaped_tribe, *escaped_code,
                           *escaped_eos_id),
               kOperation)
        .succeeded();
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, kOperation, error.what());
    return false;
  }
}

namespace veltrane::detail {

inline std::string_view IdColumn(AccountIdKind kind) {
  return kind == AccountIdKind::EOSId ? "eos_id" : "discord_id";
}

}  // namespace veltrane::detail

inline std::optional<std::vector<LinkedAccount>> MySql::FindLinks(AccountIdKind kind,
                                                                  std::string id) {
  constexpr const char* kOperation = "MySql::FindLinks";
  try {
    if (!Reachable()) return std::nullopt;
    const std::optional<std::string> escaped_id = Escape(id, kOperation);
    daotk::mysql::results result;
    if (escaped_id) {
      result = Run(fmt::format("SELECT id, eos_id, discord_id, player_id, character_name, "
                               "tribe_id, tribe_name, {} FROM player_discord WHERE {} = '{}' "
                               "AND {} ORDER BY id;",
                               veltrane::detail::kStateWordOfCode, veltrane::detail::IdColumn(kind),
                               *escaped_id, veltrane::detail::LinkedRow()),
                   kOperation);
    }
    if (!result.succeeded()) {
      // A question changes nothing: one whose answer was lost was simply not asked.
      answer_ = StoreAnswer::CouldNotAsk;
      return std::nullopt;
    }
    std::vector<LinkedAccount> links;
    for (std::vector<std::string>& row : result.text_rows()) {
      if (row.size() != 8) continue;
      // The spaces that the comparison ignored, or that pad a CHAR column read back in full.
      row[7].erase(row[7].find_last_not_of(' ') + 1);
      links.push_back({daotk::mysql::detail::ParseLeadingInt(row[0]), std::move(row[1]),
                       std::move(row[2]), daotk::mysql::detail::ParseLeadingInt(row[3]),
                       std::move(row[4]), daotk::mysql::detail::ParseLeadingInt(row[5]),
                       std::move(row[6]), std::move(row[7])});
    }
    return links;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, kOperation, error.what());
    answer_ = StoreAnswer::CouldNotAsk;
    return std::nullopt;
  }
}

// Only rows that were read before (row_ids) and are linked rows of id still: a row that changed
// meanwhile stays, and the count tells.
inline DeletedLinks MySql::DeleteLinks(AccountIdKind kind, std::string id,
                                       std::vector<int> row_ids) {
  constexpr const char* kOperation = "MySql::DeleteLinks";
  DeletedLinks deleted;
  try {
    answer_ = StoreAnswer::Known;
    if (row_ids.empty()) return deleted;
    if (!Reachable()) {
      deleted.answer = answer_;
      return deleted;
    }
    const std::optional<std::string> escaped_id = Escape(id, kOperation);
    if (!escaped_id) {
      answer_ = deleted.answer = StoreAnswer::CouldNotAsk;
      return deleted;
    }
    const daotk::mysql::results result =
        Run(fmt::format("DELETE FROM player_discord WHERE id IN ({}) AND {} = '{}' AND {};",
                        fmt::join(row_ids, ", "), veltrane::detail::IdColumn(kind), *escaped_id,
                        veltrane::detail::LinkedRow()),
            kOperation);
    if (result.succeeded()) {
      deleted.rows = result.affected_rows();
    } else {
      if (result.refused_by_server()) deleted.refused_error = result.error_number();
      if (answer_ == StoreAnswer::Known) answer_ = StoreAnswer::CouldNotAsk;
    }
    deleted.answer = answer_;
    return deleted;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, kOperation, error.what());
    answer_ = StoreAnswer::CouldNotAsk;
    return {StoreAnswer::CouldNotAsk, 0, 0};
  }
}
