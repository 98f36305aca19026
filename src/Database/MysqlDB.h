#pragma once
// The account store on a MySQL/MariaDB server: the player_discord table, three questions and two
// updates. Its members are defined here, so that the log lines name this header as their file.
//
// Beyond the table's plain behaviour:
// - Every statement goes through Run, which writes one error line (the client library's error
//   number and text) for a statement that the server refused.
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
// - UpdateAccount answers true only when its statement ran and changed at least one row.
// - At load, after the table statement, a table whose columns cannot hold the values faithfully
//   (see ColumnRequirements.h) is one critical line, and the store then answers false to
//   everything without sending, as after a failed connection.
// - Statements time out after read_write_timeout_seconds on a stalled server and answer false;
//   the library's automatic reconnection serves the next one.
// - Non-unique indexes on eos_id and code are added after the table statement when missing.

#include <fmt/format.h>

#include <array>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/ColumnRequirements.h"
#include "Database/Connection.h"
#include "Database/ConnectionSettings.h"
#include "Database/IDatabase.h"
#include "Database/StateWords.h"
#include "PluginLog.h"

class MySql : public IDatabase {
 public:
  // Opens the connection and creates the table when missing; every failure is logged and leaves a
  // store whose operations answer false. A timeout of 0 lets statements wait without limit.
  MySql(std::string host, std::string user, std::string password, std::string database, int port,
        unsigned int read_write_timeout_seconds = 10);

  // IDatabase
  bool IsPlayerExist(std::string eos_id) override;
  bool IsPlayerIDExist(std::string eos_id) override;
  bool IsCodeExist(std::string code) override;
  bool UpdateAccount(std::string eos_id, std::string code, int player_id,
                     std::string character_name, int tribe_id, std::string tribe_name) override;
  bool UpdateAccountLogout(std::string character_name, int tribe_id, std::string tribe_name,
                           std::string code, std::string eos_id) override;

 private:
  daotk::mysql::results Run(std::string_view statement, const char* operation);
  std::optional<std::string> Escape(std::string_view value, const char* operation);
  std::optional<int> AskNumber(std::string_view statement_template, const std::string& value,
                               const char* operation);
  bool TableHoldsValuesFaithfully();
  void AddLookupIndexes();
  bool EnsureIndex(std::string_view column, std::string_view index_name);

  daotk::mysql::connection connection_;
};

inline MySql::MySql(std::string host, std::string user, std::string password, std::string database,
                    int port, unsigned int read_write_timeout_seconds) {
  try {
    daotk::mysql::connection_settings settings;
    settings.host = std::move(host);
    settings.user = std::move(user);
    settings.password = std::move(password);
    settings.database_name = std::move(database);
    settings.port = static_cast<std::uint32_t>(port);
    settings.connect_timeout = 30;
    settings.read_timeout = read_write_timeout_seconds;
    settings.write_timeout = read_write_timeout_seconds;
    settings.auto_reconnect = true;
    settings.charset = "utf8mb4";
    // Added to the server's modes rather than replacing them: a server in NO_BACKSLASH_ESCAPES
    // mode keeps it, and the library's escaping follows the mode the session really has.
    settings.init_command =
        "SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), "
        "'STRICT_ALL_TABLES')";
    if (!connection_.open(settings)) {
      PluginLog::Get()->critical("Failed to open connection!");
      return;
    }
    const std::string create_table = fmt::format(
        "CREATE TABLE IF NOT EXISTS player_discord (id int(11) NOT NULL AUTO_INCREMENT,eos_id "
        "varchar(50) COLLATE utf8mb4_general_ci NOT NULL DEFAULT '0',discord_id varchar(50) "
        "COLLATE utf8mb4_general_ci NOT NULL DEFAULT '0',player_id int(11) NOT NULL DEFAULT "
        "0,character_name varchar(255) COLLATE utf8mb4_general_ci NOT NULL DEFAULT "
        "'None',tribe_id int(11) NOT NULL DEFAULT 0,tribe_name varchar(255) COLLATE "
        "utf8mb4_general_ci NOT NULL DEFAULT 'None',code varchar(50) COLLATE utf8mb4_general_ci "
        "NOT NULL DEFAULT '0',PRIMARY KEY(id))");
    if (!Run(create_table, "MySql::MySql").succeeded()) {
      PluginLog::Get()->critical("({} {}) Failed to create table!", __FILE__, "MySql::MySql");
    }
    // Refusing is better than corrupting: a closed connection answers false without sending.
    if (!TableHoldsValuesFaithfully()) {
      connection_.close();
      return;
    }
    AddLookupIndexes();
  } catch (const std::exception& error) {
    PluginLog::Get()->critical("({} {}) Unexpected DB error {}", __FILE__, "MySql::MySql",
                               error.what());
  }
}

// The one way a statement reaches the server.
inline daotk::mysql::results MySql::Run(std::string_view statement, const char* operation) {
  daotk::mysql::results result = connection_.query(statement);
  // Only refusals: a lost or closed connection is not the statement's fault.
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
  const std::optional<std::string> escaped_value = Escape(value, operation);
  if (!escaped_value) return std::nullopt;
  int answer = 0;
  if (!Run(fmt::format(fmt::runtime(statement_template), *escaped_value), operation)
           .first_value(answer)) {
    return std::nullopt;
  }
  return answer;
}

inline bool MySql::IsPlayerExist(std::string eos_id) {
  try {
    const std::optional<int> exists = AskNumber(
        "SELECT EXISTS (SELECT * FROM player_discord WHERE eos_id = '{}' AND eos_id NOT IN "
        "('0', ''));",
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
    const std::optional<int> count = AskNumber(
        "SELECT COUNT(*) FROM player_discord WHERE player_id > 0 AND eos_id = '{}' AND eos_id "
        "NOT IN ('0', '');",
        eos_id, "MySql::IsPlayerIDExist");
    return count && *count > 0;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, "MySql::IsPlayerIDExist",
                            error.what());
    return false;
  }
}

inline bool MySql::IsCodeExist(std::string code) {
  try {
    if (veltrane::IsStateWord(code)) return false;
    const std::optional<int> exists = AskNumber(
        "SELECT EXISTS (SELECT * FROM player_discord WHERE code = '{}' AND code NOT IN "
        "('Linked', 'Updated', '0', ''));",
        code, "MySql::IsCodeExist");
    return exists && *exists != 0;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, "MySql::IsCodeExist",
                            error.what());
    return false;
  }
}

inline bool MySql::UpdateAccount(std::string eos_id, std::string code, int player_id,
                                 std::string character_name, int tribe_id, std::string tribe_name) {
  constexpr const char* kOperation = "MySql::UpdateAccount";
  try {
    if (veltrane::IsStateWord(code)) return false;
    const std::optional<std::string> escaped_eos_id = Escape(eos_id, kOperation);
    const std::optional<std::string> escaped_code = Escape(code, kOperation);
    const std::optional<std::string> escaped_character = Escape(character_name, kOperation);
    const std::optional<std::string> escaped_tribe = Escape(tribe_name, kOperation);
    if (!escaped_eos_id || !escaped_code || !escaped_character || !escaped_tribe) return false;
    // A lost race for the code (another server linked it first) runs fine but changes nothing.
    const daotk::mysql::results result =
        Run(fmt::format("UPDATE player_discord SET eos_id = '{}', player_id = {}, character_name = "
                        "'{}', tribe_id = {}, tribe_name = '{}', code = 'Linked' WHERE code = '{}' "
                        "AND code NOT IN ('Linked', 'Updated', '0', '');",
                        *escaped_eos_id, player_id, *escaped_character, tribe_id, *escaped_tribe,
                        *escaped_code),
            kOperation);
    return result.succeeded() && result.affected_rows() > 0;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, kOperation, error.what());
    return false;
  }
}

inline bool MySql::UpdateAccountLogout(std::string character_name, int tribe_id,
                                       std::string tribe_name, std::string code,
                                       std::string eos_id) {
  constexpr const char* kOperation = "MySql::UpdateAccountLogout";
  try {
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
