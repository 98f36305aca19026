#pragma once
// The account store on a MySQL/MariaDB server: the player_discord table, three questions and two
// updates. Its members are defined here, so that the log lines name this header as their file.
//
// Beyond the table's plain behaviour:
// - Every text value is escaped on the open connection before it is placed between the
//   template's quotes.
// - A code that the column's collation could take as a state word ("Linked", "Updated" or the
//   default "0", in any letter case, with trailing spaces) is no code: IsCodeExist answers false
//   and UpdateAccount answers false, neither sending a statement.
// - UpdateAccount answers true only when its statement ran and changed at least one row.
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
  std::optional<int> AskNumber(std::string_view statement_template, const std::string& value);
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
    if (!connection_.query(create_table).succeeded()) {
      PluginLog::Get()->critical("({} {}) Failed to create table!", __FILE__, "MySql::MySql");
      return;
    }
    AddLookupIndexes();
  } catch (const std::exception& error) {
    PluginLog::Get()->critical("({} {}) Unexpected DB error {}", __FILE__, "MySql::MySql",
                               error.what());
  }
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
  if (!connection_
           .query(fmt::format("SELECT COUNT(*) FROM information_schema.STATISTICS WHERE "
                              "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'player_discord' AND "
                              "COLUMN_NAME = '{}' AND SEQ_IN_INDEX = 1;",
                              column))
           .first_value(existing)) {
    return false;
  }
  if (existing > 0) return true;
  return connection_
      .query(fmt::format("CREATE INDEX {} ON player_discord ({});", index_name, column))
      .succeeded();
}

// The number that a one-value question answers, the value escaped between the template's quotes;
// none when the statement failed or gave no value.
inline std::optional<int> MySql::AskNumber(std::string_view statement_template,
                                           const std::string& value) {
  const std::optional<std::string> escaped_value = connection_.escape(value);
  if (!escaped_value) return std::nullopt;
  int answer = 0;
  if (!connection_.query(fmt::format(fmt::runtime(statement_template), *escaped_value))
           .first_value(answer)) {
    return std::nullopt;
  }
  return answer;
}

inline bool MySql::IsPlayerExist(std::string eos_id) {
  try {
    const std::optional<int> exists = AskNumber(
        "SELECT EXISTS (SELECT * FROM player_discord WHERE eos_id = '{}');", eos_id);
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
        "SELECT COUNT(*) FROM player_discord WHERE player_id > 0 AND eos_id = '{}';", eos_id);
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
    const std::optional<int> exists =
        AskNumber("SELECT EXISTS (SELECT * FROM player_discord WHERE code = '{}');", code);
    return exists && *exists != 0;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, "MySql::IsCodeExist",
                            error.what());
    return false;
  }
}

inline bool MySql::UpdateAccount(std::string eos_id, std::string code, int player_id,
                                 std::string character_name, int tribe_id, std::string tribe_name) {
  try {
    if (veltrane::IsStateWord(code)) return false;
    const std::optional<std::string> escaped_eos_id = connection_.escape(eos_id);
    const std::optional<std::string> escaped_code = connection_.escape(code);
    const std::optional<std::string> escaped_character = connection_.escape(character_name);
    const std::optional<std::string> escaped_tribe = connection_.escape(tribe_name);
    if (!escaped_eos_id || !escaped_code || !escaped_character || !escaped_tribe) return false;
    // A lost race for the code (another server linked it first) runs fine but changes nothing.
    const daotk::mysql::results result = connection_.query(fmt::format(
        "UPDATE player_discord SET eos_id = '{}', player_id = {}, character_name = '{}', tribe_id "
        "= {}, tribe_name = '{}', code = 'Linked' WHERE code = '{}';",
        *escaped_eos_id, player_id, *escaped_character, tribe_id, *escaped_tribe, *escaped_code));
    return result.succeeded() && result.affected_rows() > 0;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__, "MySql::UpdateAccount",
                            error.what());
    return false;
  }
}

inline bool MySql::UpdateAccountLogout(std::string character_name, int tribe_id,
                                       std::string tribe_name, std::string code,
                                       std::string eos_id) {
  try {
    const std::optional<std::string> escaped_character = connection_.escape(character_name);
    const std::optional<std::string> escaped_tribe = connection_.escape(tribe_name);
    const std::optional<std::string> escaped_code = connection_.escape(code);
    const std::optional<std::string> escaped_eos_id = connection_.escape(eos_id);
    if (!escaped_character || !escaped_tribe || !escaped_code || !escaped_eos_id) return false;
    return connection_
        .query(fmt::format("UPDATE player_discord SET character_name = '{}', tribe_id = {}, "
                           "tribe_name = '{}', code = '{}' WHERE eos_id = '{}';",
                           *escaped_character, tribe_id, *escaped_tribe, *escaped_code,
                           *escaped_eos_id))
        .succeeded();
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", __FILE__,
                            "MySql::UpdateAccountLogout", error.what());
    return false;
  }
}
