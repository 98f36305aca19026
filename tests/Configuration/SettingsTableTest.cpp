// The table of settings on its own: the defaults a file without keys gives, the typed values a
// file's keys give, and that a document that fails changes nothing a caller holds.

#include <gtest/gtest.h>

#include <stdexcept>

#include "Configuration/SettingsTable.h"

namespace veltrane::test {
namespace {

const nlohmann::json kSmallestFile =
    nlohmann::json::parse(R"({"Settings": {"Discord": {}}, "Messages": {}, "Database": {}})");

TEST(SettingsTable, SmallestFileGivesEveryDocumentedDefault) {
  const Settings settings = CheckConfig(kSmallestFile).settings;
  EXPECT_EQ(settings.messages_duration, 10);
  EXPECT_TRUE(settings.notification_mode);
  EXPECT_FALSE(settings.debug);
  EXPECT_FALSE(settings.use_permissions);
  EXPECT_EQ(settings.permission_group_to_add, "Verified");
  EXPECT_EQ(settings.map_name, "TheIsland");
  EXPECT_FALSE(settings.update_player_data_on_logout);
  EXPECT_EQ(settings.max_code_attempts, 5);
  EXPECT_EQ(settings.code_lockout_seconds, 300);
  EXPECT_FALSE(settings.discord.enable_discord);
  EXPECT_EQ(settings.discord.sender_name, "MyARK");
  EXPECT_EQ(settings.discord.web_hook_url, "");
  EXPECT_EQ(settings.discord.custom_message,
            "Player {CharacterName} with EOS-ID {EOS} linked his account in the map {MapName}");
  EXPECT_EQ(settings.database.mysql_host, "");
  EXPECT_EQ(settings.database.mysql_port, 3306);
  EXPECT_EQ(settings.database.mysql_timeout, 10);
  for (const char* key : {"LinkDiscordCmd", "Sender", "CmdUsage", "AccountAlredyLinked",
                          "InvalidCode", "AccountLinked", "TooManyAttempts", "DatabaseUnavailable"})
    EXPECT_EQ(settings.messages.at(key), "No message") << key;
  // Before the first read the live settings are these same defaults.
  EXPECT_EQ(DefaultSettings().messages, settings.messages);
  EXPECT_EQ(DefaultSettings().database.mysql_port, 3306);
  EXPECT_EQ(DefaultSettings().discord.sender_name, "MyARK");
}

TEST(SettingsTable, KeysAreReadAsTheirTypesAndIntegersAsTheRulesReadThem) {
  nlohmann::json document = kSmallestFile;
  document["Settings"]["MessagesDuration"] = 25.9;  // a fraction is cut toward zero
  document["Settings"]["MaxCodeAttempts"] = true;   // true reads as 1
  document["Settings"]["debug"] = true;
  document["Settings"]["Discord"]["SenderName"] = "Île de Rex";
  document["Messages"]["AccountLinked"] = "Linked {{for good}}";
  document["Database"]["MysqlHost"] = "db1,[::1]:3307";
  document["Database"]["MysqlPort"] = 3307;
  document["Database"]["MysqlTimeout"] = 0;
  const CheckedConfig checked = CheckConfig(document);
  EXPECT_EQ(checked.settings.messages_duration, 25);
  EXPECT_EQ(checked.settings.max_code_attempts, 1);
  EXPECT_TRUE(checked.settings.debug);
  EXPECT_EQ(checked.settings.discord.sender_name, "Île de Rex");
  EXPECT_EQ(checked.settings.messages.at("AccountLinked"), "Linked {{for good}}");
  EXPECT_EQ(checked.settings.database.mysql_host, "db1,[::1]:3307");
  EXPECT_EQ(checked.settings.database.mysql_port, 3307);
  EXPECT_EQ(checked.settings.database.mysql_timeout, 0);
  EXPECT_TRUE(checked.warnings.empty());
}

TEST(SettingsTable, HostListIsCheckedByTheStoresOwnParser) {
  // These passed the check, and the store could never connect with them.
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"   ", "Database.MysqlHost: entry 1 is empty"},
      {"db1,127.0.0.1 :3307",
       "Database.MysqlHost: entry 2 has white space or a control character in it"},
      {"x:3307:", "Database.MysqlHost: entry 1 names a host with ':' that is not an IPv6 address"},
      {"db1]", "Database.MysqlHost: entry 1 has a '[' or ']' out of place"},
  };
  for (const auto& [hosts, reason] : refused) {
    nlohmann::json document = kSmallestFile;
    document["Database"]["MysqlHost"] = hosts;
    try {
      CheckConfig(document);
      ADD_FAILURE() << hosts << " was taken";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), reason);
    }
  }
}

TEST(SettingsTable, UnknownKeysAreWarnedOfAndKnownOnesOnlyAreRead) {
  nlohmann::json document = kSmallestFile;
  document["Settings"]["Debug"] = true;
  document["Messages"]["Welcome"] = "hi";
  const CheckedConfig checked = CheckConfig(document);
  EXPECT_FALSE(checked.settings.debug);
  EXPECT_EQ(checked.settings.messages.count("Welcome"), 0u);
  EXPECT_EQ(checked.warnings,
            (std::vector<std::string>{"Settings: unknown key \"Debug\" is ignored",
                                      "Messages: unknown key \"Welcome\" is ignored"}));
}

TEST(SettingsTable, ReplyTextIsCheckedAsTheFormatterSeesIt) {
  EXPECT_EQ(ReplyFormatProblem(u"Linked {{ok}}"), "");
  EXPECT_NE(ReplyFormatProblem(u"Welcome {player}!"), "");
  EXPECT_NE(ReplyFormatProblem(u"Bad code :-}"), "");
  // The service is handed a zero-terminated text: what follows a NUL is never formatted.
  EXPECT_EQ(ReplyFormatProblem(std::u16string(u"fine\0{", 6)), "");
  nlohmann::json document = kSmallestFile;
  document["Messages"]["InvalidCode"] = "Bad code :-}";
  try {
    CheckConfig(document);
    FAIL() << "a reply the formatter refuses was taken";
  } catch (const std::runtime_error& error) {
    EXPECT_EQ(std::string(error.what()).rfind("Messages.InvalidCode: the message formatter", 0), 0u)
        << error.what();
  }
}

}  // namespace
}  // namespace veltrane::test
