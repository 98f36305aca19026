#include "support/PluginTest.h"

#include <fmt/format.h>

#include <sstream>

#include "support/FaultProxy.h"
#include "support/WaitUntil.h"

namespace veltrane::test {

PluginTest::PluginTest() {
  database_.CreatePlayerDiscordTable();
  const SandboxSettings& sandbox = database_.Settings();
  // Settings holds only the Discord section, so every other setting takes its default.
  config_ = {
      {"Settings", {{"Discord", nlohmann::json::object()}}},
      {"Messages",
       {{"LinkDiscordCmd", "/link"},
        {"Sender", "Veltrane Bot"},
        {"CmdUsage", "Usage: /link <code>"},
        {"AccountAlredyLinked", "Already linked"},
        {"InvalidCode", "Invalid code"},
        {"AccountLinked", "Account linked"},
        {"DatabaseUnavailable", "Database unavailable"}}},
      {"Database",
       {{"MysqlHost", sandbox.host},
        {"MysqlUser", sandbox.user},
        {"MysqlPass", sandbox.password},
        {"MysqlDB", database_.Name()},
        {"MysqlPort", sandbox.port}}},
  };
}

void PluginTest::UseNonBlockingStore(bool non_blocking) {
  non_blocking_ = non_blocking;
  config_["Database"]["NonBlocking"] = non_blocking;
}

std::string WithWaitsForReplies(const std::string& script) {
  std::istringstream lines(script);
  std::string waiting;
  for (std::string line; std::getline(lines, line);) {
    waiting += line + "\n";
    std::istringstream words(line);
    std::string command;
    std::string player;
    if (words >> command >> player && command == "chat" &&
        line.find("# no reply") == std::string::npos) {
      // The text runs from the second blank after the time to the end of the line.
      waiting += "wait-for 10000  " + player + " \n";
    }
  }
  return waiting;
}

DevhostResult PluginTest::Run(const std::string& script) {
  devhost_.WriteConfig(config_);
  DevhostResult result = devhost_.Run(non_blocking_ ? WithWaitsForReplies(script) : script);
  EXPECT_FALSE(result.timed_out) << result.stderr_text;
  EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
  return result;
}

std::unique_ptr<DevhostProcess> PluginTest::Start(const std::string& script) {
  devhost_.WriteConfig(config_);
  std::unique_ptr<DevhostProcess> process = devhost_.Start(script, kRconPassword);
  if (process == nullptr) throw std::runtime_error("the devhost did not come up");
  return process;
}

std::unique_ptr<DevhostProcess> PluginTest::StartReady(const std::string& script) {
  std::unique_ptr<DevhostProcess> process = Start(script + "echo ready-for-more\n");
  if (!process->WaitForLine("echo \"ready-for-more\""))
    throw std::runtime_error("the devhost did not run its script");
  // A non-blocking store connects over the first ticks; ready means connected as well. The
  // lookup index on the code is the last thing the connection made at load adds.
  if (non_blocking_ && !WaitUntil(std::chrono::seconds(30), [&] {
        return database_
                   .Query(
                       "SELECT COUNT(*) FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = "
                       "DATABASE() AND TABLE_NAME = 'player_discord' AND INDEX_NAME = "
                       "'player_discord_code'")
                   .at(0)
                   .at(0) == "1";
      })) {
    throw std::runtime_error("the plugin did not connect to its database");
  }
  return process;
}

std::string PluginTest::ConnectThrough(const FaultProxy& proxy) {
  config_["Database"]["MysqlHost"] = "127.0.0.1";
  config_["Database"]["MysqlPort"] = proxy.Port();
  return fmt::format("127.0.0.1:{}", proxy.Port());
}

void PluginTest::InsertLinkedRow(const std::string& eos_id, int player_id,
                                 const std::string& character_name, int tribe_id,
                                 const std::string& tribe_name, const std::string& code) {
  database_.InsertRow(
      {0, eos_id, "discord-linked", player_id, character_name, tribe_id, tribe_name, code});
}

std::vector<std::vector<std::optional<std::string>>> PluginTest::TableBytes(
    const std::string& table) {
  return database_.Query(fmt::format(
      "SELECT id, HEX(eos_id), HEX(discord_id), player_id, HEX(character_name), tribe_id, "
      "HEX(tribe_name), HEX(code) FROM {} ORDER BY id",
      table));
}

void PluginTest::CopyToExpected() {
  database_.Execute("DROP TABLE IF EXISTS expected");
  database_.Execute("CREATE TABLE expected LIKE player_discord");
  database_.Execute("INSERT INTO expected SELECT * FROM player_discord");
}

std::vector<std::string> VeltraneLog(const DevhostResult& result) {
  constexpr std::string_view kName = "[Veltrane]";
  std::vector<std::string> lines;
  for (const std::string& line : result.log_lines) {
    const std::size_t at = line.find(kName);
    if (at != std::string::npos) lines.push_back(line.substr(at + kName.size()));
  }
  return lines;
}

std::vector<std::string> PlayerMessages(const DevhostResult& result) {
  std::vector<std::string> lines;
  for (const std::string& line : result.lines) {
    if (line.starts_with("notify ") || line.starts_with("chat-message ") ||
        line.starts_with("server-message "))
      lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> NotifiedTexts(const DevhostResult& result, const std::string& player) {
  std::vector<std::string> texts;
  for (const std::string& line : result.WithPrefix("notify " + player + " "))
    texts.push_back(TextOf(line));
  return texts;
}

std::vector<std::string> ServerMessages(const DevhostResult& result) {
  std::vector<std::string> messages;
  for (const std::string& line : result.WithPrefix("server-message "))
    messages.push_back(FieldText(line, "rgba") + " " + TextOf(line));
  return messages;
}

std::vector<std::string> RconReplies(const DevhostResult& result) {
  std::vector<std::string> replies;
  for (const std::string& line : result.WithPrefix("rcon-reply ")) replies.push_back(TextOf(line));
  return replies;
}

std::string FieldText(const std::string& line, const std::string& key) {
  const std::optional<nlohmann::json> value = Field(line, key);
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

std::string TextOf(const std::string& line) { return FieldText(line, "text"); }

std::string LocatedErrorPrefix(const std::string& function_name) {
  return fmt::format("[error] ({}/src/Veltrane.cpp {}) Unexpected error ", VELTRANE_SOURCE_DIR,
                     function_name);
}

}  // namespace veltrane::test
