// The table on the first connection that reaches a server: the table statement as the outside
// party knows it, the check that its columns hold the plugin's values faithfully, and the lookup
// indexes.
//
// A table whose columns cannot hold the values (ColumnRequirements.h) is one critical line, and
// the store then answers false to everything without sending, saying that it could not ask,
// until the next load. Non-unique indexes on eos_id and code are added when missing.

#include <fmt/format.h>

#include <array>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/ColumnRequirements.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"

// The table statement, the check of its columns and the indexes, on the first connection that
// reaches a server.
StoreTask<void> MySql::PrepareTable() {
  const std::string create_table = fmt::format(
      "CREATE TABLE IF NOT EXISTS player_discord (id int(11) NOT NULL AUTO_INCREMENT,eos_id "
      "varchar(50) COLLATE utf8mb4_general_ci NOT NULL DEFAULT '0',discord_id varchar(50) "
      "COLLATE utf8mb4_general_ci NOT NULL DEFAULT '0',player_id int(11) NOT NULL DEFAULT "
      "0,character_name varchar(255) COLLATE utf8mb4_general_ci NOT NULL DEFAULT "
      "'None',tribe_id int(11) NOT NULL DEFAULT 0,tribe_name varchar(255) COLLATE "
      "utf8mb4_general_ci NOT NULL DEFAULT 'None',code varchar(50) COLLATE utf8mb4_general_ci "
      "NOT NULL DEFAULT '0',PRIMARY KEY(id))");
  if (!(co_await Run(create_table, "MySql::MySql")).succeeded()) {
    // Lost on the way (an outage drops the handle): the outage line says why, and the next
    // connection tries again.
    if (!connection_.IsOpen()) co_return;
    PluginLog::Get()->critical("({} {}) Failed to create table!", kStoreFile, "MySql::MySql");
  }
  // Refusing is better than corrupting: a store switched off answers false without sending.
  if (!co_await TableHoldsValuesFaithfully()) {
    if (!connection_.IsOpen()) co_return;
    switched_off_ = true;
    connection_.Close();
    co_return;
  }
  table_ready_ = true;
  co_await AddLookupIndexes();
}

// A table that someone else created may have columns that turn the values into others; with
// them the store would link and overwrite the wrong rows.
StoreTask<bool> MySql::TableHoldsValuesFaithfully() {
  daotk::mysql::results result = co_await Run(
      "SELECT COLUMN_NAME, DATA_TYPE, COLUMN_TYPE FROM information_schema.COLUMNS WHERE "
      "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'player_discord';",
      "MySql::MySql");
  std::vector<std::string> problems;
  if (!result.succeeded()) {
    if (!connection_.IsOpen()) co_return false;  // the server went away: no verdict
    problems.push_back("its columns could not be read");
  } else {
    std::vector<veltrane::ColumnDescription> columns;
    for (std::vector<std::string>& row : result.text_rows()) {
      if (row.size() == 3)
        columns.push_back({std::move(row[0]), std::move(row[1]), std::move(row[2])});
    }
    problems = veltrane::ColumnProblems(columns);
  }
  if (problems.empty()) co_return true;
  switched_off_reason_ = fmt::format("{}", fmt::join(problems, "; "));
  PluginLog::Get()->critical(
      "({} {}) Table player_discord cannot hold the plugin's values faithfully, so the account "
      "store is off: {}",
      kStoreFile, "MySql::MySql", fmt::join(problems, "; "));
  co_return false;
}

// Without these every question scans the whole table on the game thread. The table statement
// stays as the outside party knows it, so they are added beside it, also to a table it created.
StoreTask<void> MySql::AddLookupIndexes() {
  std::vector<std::string_view> failed;
  for (const auto& [column, index_name] :
       std::array<std::pair<std::string_view, std::string_view>, 2>{
           {{"eos_id", "player_discord_eos_id"}, {"code", "player_discord_code"}}}) {
    if (!co_await EnsureIndex(column, index_name)) failed.push_back(column);
  }
  if (!failed.empty()) {
    PluginLog::Get()->warn(
        "Could not add an index on player_discord ({}); lookups will scan the whole table",
        fmt::join(failed, ", "));
  }
}

// Asks information_schema rather than using CREATE INDEX IF NOT EXISTS, which MySQL lacks. Any
// index that leads with the column serves the lookups.
StoreTask<bool> MySql::EnsureIndex(std::string_view column, std::string_view index_name) {
  int existing = 0;
  daotk::mysql::results counted =
      co_await Run(fmt::format("SELECT COUNT(*) FROM information_schema.STATISTICS WHERE "
                               "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'player_discord' AND "
                               "COLUMN_NAME = '{}' AND SEQ_IN_INDEX = 1;",
                               column),
                   "MySql::MySql");
  if (!counted.first_value(existing)) co_return false;
  if (existing > 0) co_return true;
  const daotk::mysql::results created = co_await Run(
      fmt::format("CREATE INDEX {} ON player_discord ({});", index_name, column), "MySql::MySql");
  co_return created.succeeded();
}
