#include "support/SandboxDatabase.h"

#include <fmt/format.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <random>
#include <stdexcept>
#include <utility>

namespace veltrane::test {

namespace {

std::string UniqueDatabaseName() {
  static std::atomic<int> counter{0};
  std::random_device random;
  return fmt::format("vt_{}_{}_{:08x}", ::getpid(), counter++, random());
}

void ThrowServerError(MYSQL* handle, const std::string& what) {
  throw std::runtime_error(
      fmt::format("{}: {} ({})", what, mysql_error(handle), mysql_errno(handle)));
}

}  // namespace

std::string RequireEnvironment(const char* name, std::string_view sandbox_script) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(fmt::format(
        "{} is not set: start the sandbox and export its settings with "
        "`scripts/{} start && eval \"$(scripts/{} env)\"`",
        name, sandbox_script, sandbox_script));
  }
  return value;
}

SandboxSettings SandboxSettings::FromEnvironment() {
  SandboxSettings settings;
  settings.host = RequireEnvironment("VELTRANE_DB_HOST", "sandbox-db");
  settings.port = std::stoi(RequireEnvironment("VELTRANE_DB_PORT", "sandbox-db"));
  settings.user = RequireEnvironment("VELTRANE_DB_USER", "sandbox-db");
  settings.password = RequireEnvironment("VELTRANE_DB_PASS", "sandbox-db");
  settings.database = RequireEnvironment("VELTRANE_DB_NAME", "sandbox-db");
  return settings;
}

SandboxDatabase::SandboxDatabase() : SandboxDatabase(SandboxSettings::FromEnvironment()) {}

SandboxDatabase::SandboxDatabase(SandboxSettings settings)
    : settings_(std::move(settings)), name_(UniqueDatabaseName()) {
  Connect();
  try {
    Execute(
        fmt::format("CREATE DATABASE {} CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci", name_));
    Use();
  } catch (...) {
    mysql_close(handle_);
    throw;
  }
}

SandboxDatabase::SandboxDatabase(SandboxSettings settings, std::string name)
    : settings_(std::move(settings)), name_(std::move(name)), owned_(false) {
  Connect();
  try {
    Use();
  } catch (...) {
    mysql_close(handle_);
    throw;
  }
}

void SandboxDatabase::Connect() {
  handle_ = mysql_init(nullptr);
  if (handle_ == nullptr) throw std::runtime_error("mysql_init failed");
  const unsigned int connect_timeout = 10;
  // Fault tests restart the server under this connection.
  const my_bool reconnect = 1;
  if (mysql_options(handle_, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout) != 0 ||
      mysql_options(handle_, MYSQL_OPT_RECONNECT, &reconnect) != 0 ||
      mysql_options(handle_, MYSQL_SET_CHARSET_NAME, "utf8mb4") != 0) {
    mysql_close(handle_);
    throw std::runtime_error("mysql_options failed");
  }
  if (mysql_real_connect(handle_, settings_.host.c_str(), settings_.user.c_str(),
                         settings_.password.c_str(), nullptr, settings_.port, nullptr,
                         0) == nullptr) {
    const std::string message = fmt::format(
        "cannot reach the sandbox database at {}:{} ({}); is it running? "
        "`scripts/sandbox-db start && eval \"$(scripts/sandbox-db env)\"`",
        settings_.host, settings_.port, mysql_error(handle_));
    mysql_close(handle_);
    throw std::runtime_error(message);
  }
}

void SandboxDatabase::Use() {
  if (mysql_select_db(handle_, name_.c_str()) != 0) ThrowServerError(handle_, "USE " + name_);
}

SandboxDatabase::~SandboxDatabase() {
  if (owned_) mysql_query(handle_, fmt::format("DROP DATABASE IF EXISTS {}", name_).c_str());
  mysql_close(handle_);
}

void SandboxDatabase::Execute(const std::string& sql) {
  if (mysql_real_query(handle_, sql.data(), sql.size()) != 0) ThrowServerError(handle_, sql);
  MYSQL_RES* result = mysql_store_result(handle_);
  if (result != nullptr) {
    mysql_free_result(result);
  } else if (mysql_field_count(handle_) != 0) {
    ThrowServerError(handle_, sql);
  }
}

std::uint64_t SandboxDatabase::AffectedRows() { return mysql_affected_rows(handle_); }

std::vector<std::vector<std::optional<std::string>>> SandboxDatabase::Query(
    const std::string& sql) {
  if (mysql_real_query(handle_, sql.data(), sql.size()) != 0) ThrowServerError(handle_, sql);
  MYSQL_RES* result = mysql_store_result(handle_);
  if (result == nullptr) {
    if (mysql_field_count(handle_) != 0) ThrowServerError(handle_, sql);
    return {};
  }
  std::vector<std::vector<std::optional<std::string>>> rows;
  const unsigned int columns = mysql_num_fields(result);
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    const unsigned long* lengths = mysql_fetch_lengths(result);
    auto& out = rows.emplace_back();
    for (unsigned int i = 0; i < columns; ++i) {
      if (row[i] == nullptr) {
        out.emplace_back(std::nullopt);
      } else {
        out.emplace_back(std::string(row[i], lengths[i]));
      }
    }
  }
  mysql_free_result(result);
  return rows;
}

std::string SandboxDatabase::Quote(const std::string& text) {
  std::string escaped(text.size() * 2 + 1, '\0');
  const unsigned long length =
      mysql_real_escape_string(handle_, escaped.data(), text.data(), text.size());
  if (length == static_cast<unsigned long>(-1)) ThrowServerError(handle_, "escape");
  escaped.resize(length);
  return "'" + escaped + "'";
}

void SandboxDatabase::CreatePlayerDiscordTable() {
  Execute(
      "CREATE TABLE player_discord (id int(11) NOT NULL AUTO_INCREMENT,"
      "eos_id varchar(50) COLLATE utf8mb4_general_ci NOT NULL DEFAULT '0',"
      "discord_id varchar(50) COLLATE utf8mb4_general_ci NOT NULL DEFAULT '0',"
      "player_id int(11) NOT NULL DEFAULT 0,"
      "character_name varchar(255) COLLATE utf8mb4_general_ci NOT NULL DEFAULT 'None',"
      "tribe_id int(11) NOT NULL DEFAULT 0,"
      "tribe_name varchar(255) COLLATE utf8mb4_general_ci NOT NULL DEFAULT 'None',"
      "code varchar(50) COLLATE utf8mb4_general_ci NOT NULL DEFAULT '0',PRIMARY KEY(id))");
}

void SandboxDatabase::CreateForeignTable(
    const std::string& table_options,
    const std::map<std::string, std::string>& column_definitions) {
  const std::vector<std::pair<std::string, std::string>> plugin_columns = {
      {"eos_id", "varchar(50) NOT NULL DEFAULT '0'"},
      {"discord_id", "varchar(50) NOT NULL DEFAULT '0'"},
      {"player_id", "int(11) NOT NULL DEFAULT 0"},
      {"character_name", "varchar(255) NOT NULL DEFAULT 'None'"},
      {"tribe_id", "int(11) NOT NULL DEFAULT 0"},
      {"tribe_name", "varchar(255) NOT NULL DEFAULT 'None'"},
      {"code", "varchar(50) NOT NULL DEFAULT '0'"}};
  std::string statement = "CREATE TABLE player_discord (id int(11) NOT NULL AUTO_INCREMENT";
  for (const auto& [name, plugin_definition] : plugin_columns) {
    const auto replaced = column_definitions.find(name);
    const std::string& definition =
        replaced != column_definitions.end() ? replaced->second : plugin_definition;
    if (!definition.empty()) statement += fmt::format(", {} {}", name, definition);
  }
  Execute(statement + ", PRIMARY KEY(id)) " + table_options);
}

int SandboxDatabase::InsertCode(const std::string& discord_id, const std::string& code) {
  Execute(fmt::format("INSERT INTO player_discord (discord_id, code) VALUES ({}, {})",
                      Quote(discord_id), Quote(code)));
  return static_cast<int>(mysql_insert_id(handle_));
}

int SandboxDatabase::InsertRow(const PlayerDiscordRow& row) {
  Execute(fmt::format(
      "INSERT INTO player_discord (eos_id, discord_id, player_id, character_name, tribe_id, "
      "tribe_name, code) VALUES ({}, {}, {}, {}, {}, {}, {})",
      Quote(row.eos_id), Quote(row.discord_id), row.player_id, Quote(row.character_name),
      row.tribe_id, Quote(row.tribe_name), Quote(row.code)));
  return static_cast<int>(mysql_insert_id(handle_));
}

PlayerDiscordRow PlayerDiscordRow::LinkedBy(std::string eos, int player, std::string character,
                                            int tribe, std::string tribe_text) const {
  PlayerDiscordRow linked = *this;
  linked.eos_id = std::move(eos);
  linked.player_id = player;
  linked.character_name = std::move(character);
  linked.tribe_id = tribe;
  linked.tribe_name = std::move(tribe_text);
  linked.code = "Linked";
  return linked;
}

std::vector<PlayerDiscordRow> SandboxDatabase::Rows() {
  std::vector<PlayerDiscordRow> rows;
  for (const auto& columns :
       Query("SELECT id, eos_id, discord_id, player_id, character_name, tribe_id, tribe_name, "
             "code FROM player_discord ORDER BY id")) {
    rows.push_back({std::stoi(*columns[0]), *columns[1], *columns[2], std::stoi(*columns[3]),
                    *columns[4], std::stoi(*columns[5]), *columns[6], *columns[7]});
  }
  return rows;
}

int SandboxDatabase::KillOtherSessions() {
  int killed = 0;
  for (const auto& columns : Query("SELECT ID FROM information_schema.PROCESSLIST WHERE DB = " +
                                   Quote(name_) + " AND ID <> CONNECTION_ID()")) {
    Execute("KILL CONNECTION " + *columns[0]);
    ++killed;
  }
  return killed;
}

void PrintTo(const PlayerDiscordRow& row, std::ostream* out) {
  *out << fmt::format(
      "{{id {}, eos_id '{}', discord_id '{}', player_id {}, character_name '{}', "
      "tribe_id {}, tribe_name '{}', code '{}'}}",
      row.id, row.eos_id, row.discord_id, row.player_id, row.character_name, row.tribe_id,
      row.tribe_name, row.code);
}

}  // namespace veltrane::test
