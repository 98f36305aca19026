#pragma once
// A fresh database on the sandbox server (scripts/sandbox-db) for one test fixture, dropped again
// when the object goes. Talks to the server over its own connection, so tests can arrange and
// inspect rows independently of the code under test. Every failure throws std::runtime_error
// with the server's message.

#include <mysql.h>

#include <cstdint>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::test {

// The environment variable's value; throws, naming how to start sandbox_script (e.g.
// "sandbox-db") and export its settings, when it is missing or empty.
std::string RequireEnvironment(const char* name, std::string_view sandbox_script);

// Where the sandbox server is, from VELTRANE_DB_HOST/PORT/USER/PASS/NAME.
struct SandboxSettings {
  std::string host;
  int port = 0;
  std::string user;
  std::string password;
  std::string database;  // the server's standing database; fixtures get their own

  // Throws naming `eval "$(scripts/sandbox-db env)"` when a variable is missing.
  static SandboxSettings FromEnvironment();
};

// One row of player_discord, every column as stored (texts byte for byte).
struct PlayerDiscordRow {
  int id = 0;
  std::string eos_id;
  std::string discord_id;
  int player_id = 0;
  std::string character_name;
  int tribe_id = 0;
  std::string tribe_name;
  std::string code;

  // This row as a link by that player leaves it.
  PlayerDiscordRow LinkedBy(std::string eos, int player, std::string character, int tribe,
                            std::string tribe_text) const;
  bool operator==(const PlayerDiscordRow&) const = default;
};
void PrintTo(const PlayerDiscordRow& row, std::ostream* out);

class SandboxDatabase {
 public:
  // Creates a uniquely named, empty utf8mb4 database on the sandbox server.
  SandboxDatabase();
  // The same on the server of settings (a cluster node, say).
  explicit SandboxDatabase(SandboxSettings settings);
  // The database name that another fixture created, seen through the server of settings (another
  // node of the same cluster); left in place when this object goes.
  SandboxDatabase(SandboxSettings settings, std::string name);
  ~SandboxDatabase();
  SandboxDatabase(const SandboxDatabase&) = delete;
  SandboxDatabase& operator=(const SandboxDatabase&) = delete;

  const SandboxSettings& Settings() const { return settings_; }
  // The name of this fixture's database (not Settings().database).
  const std::string& Name() const { return name_; }

  // Runs one statement in this database, discarding any rows.
  void Execute(const std::string& sql);
  // The rows the last statement changed (the client's plain count, not the rows it matched).
  std::uint64_t AffectedRows();
  // Runs one statement and returns its rows; NULL columns are nullopt.
  std::vector<std::vector<std::optional<std::string>>> Query(const std::string& sql);
  // A quoted SQL literal of text, safe for any bytes.
  std::string Quote(const std::string& text);

  // Creates player_discord as the store does, for tests that need it before the store exists.
  void CreatePlayerDiscordTable();
  // Creates player_discord as another party might have: with table_options (for example
  // "CHARACTER SET latin1 COLLATE latin1_swedish_ci"), the columns without a collation of their
  // own, and each definition in column_definitions ("code" -> "int NOT NULL DEFAULT 0") in place
  // of the plugin's; an empty definition leaves the column out.
  void CreateForeignTable(const std::string& table_options,
                          const std::map<std::string, std::string>& column_definitions = {});
  // Inserts a waiting row as the outside party does; answers its id.
  int InsertCode(const std::string& discord_id, const std::string& code);
  // Inserts row with every column but its id, as a link or another party left it; answers the
  // row's id.
  int InsertRow(const PlayerDiscordRow& row);
  // Every row of player_discord in id order.
  std::vector<PlayerDiscordRow> Rows();
  // Ends every other session on this fixture's database, as a server restart or an idle timeout
  // would; answers how many it ended.
  int KillOtherSessions();

 private:
  void Connect();
  void Use();

  SandboxSettings settings_;
  std::string name_;
  bool owned_ = true;
  MYSQL* handle_ = nullptr;
};

}  // namespace veltrane::test
