// Loading and unloading the plugin, and reading its configuration at load. What Load registers
// and Unload removes is read from the plugin's own table of commands.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <cctype>
#include <fstream>

#include "Configuration/SettingsTable.h"
#include "Plugin/CommandTable.h"
#include "support/PluginTest.h"
#include "support/WebhookReceiver.h"

namespace veltrane::test {
namespace {

using ::testing::AnyOf;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
using ::testing::StartsWith;

constexpr char kLinkScript[] = "join bob eos=EOS-BOB id=101\nchat bob /link CODE-1\n";

// What the devhost prints for the registrations of the table of commands, in Load's order, and
// for their removal: the chat command under the text its Messages key has in messages.
struct TableLines {
  std::vector<std::string> registered;
  std::vector<std::string> removed;
  std::size_t commands = 0;  // registered commands, beside the hooks
  std::size_t hooks = 0;
};

// How the devhost names where a command was registered.
const char* HostWordOf(Place place) {
  switch (place) {
    case Place::Chat:
      return "chat";
    case Place::Console:
      return "console";
    default:
      return "rcon";
  }
}

TableLines LinesOfTheTable(const nlohmann::json& messages) {
  TableLines lines;
  Settings settings = DefaultSettings();
  for (const auto& [key, text] : messages.items())
    if (text.is_string()) settings.messages[key] = text.get<std::string>();
  for (const CommandEntry& entry : kCommandTable) {
    // The login hook only when its keys ask for it (tests/Linking/LoginCheckTest.cpp).
    if (entry.wanted != nullptr && !entry.wanted(settings)) continue;
    for (const Place place : kPlaces) {
      if (!entry.places.Has(place)) continue;
      const std::string key(entry.name);
      const std::string name =
          nlohmann::json(place == Place::Chat ? messages.value(key, kMissingMessageText) : key)
              .dump();
      if (place == Place::Tick) {  // in either store mode: it also posts the announcements
        lines.registered.push_back("register tick id=" + name);
        lines.removed.push_back("unregister tick id=" + name + " found=true");
        ++lines.commands;
        continue;
      }
      if (place == Place::Hook) {
        lines.registered.push_back("hook-install name=" + name + " ok=true");
        lines.removed.push_back("hook-remove name=" + name + " ok=true");
        ++lines.hooks;
        continue;
      }
      lines.registered.push_back(fmt::format("register {} text={}", HostWordOf(place), name));
      lines.removed.push_back(
          fmt::format("unregister {} text={} found=true", HostWordOf(place), name));
      ++lines.commands;
    }
  }
  return lines;
}

// The lines that remove a registration, in order.
std::vector<std::string> Removals(const DevhostResult& result) {
  std::vector<std::string> lines;
  for (const std::string& line : result.lines)
    if (line.starts_with("unregister ") || line.starts_with("hook-remove ")) lines.push_back(line);
  return lines;
}

class PluginLifecycleCases : public PluginTest {
 protected:
  TableLines Table() { return LinesOfTheTable(Messages()); }
};
using PluginLifecycle = InBothStoreModes<PluginLifecycleCases>;

TEST_P(PluginLifecycle, GoodConfigurationRegistersCommandsAndHook) {
  const DevhostResult result = Run("");
  std::vector<std::string> expected = Table().registered;
  expected.push_back("load ok");
  ASSERT_GE(result.lines.size(), expected.size());
  EXPECT_THAT(
      std::vector<std::string>(result.lines.begin(), result.lines.begin() + expected.size()),
      ElementsAreArray(expected));
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
}

TEST_P(PluginLifecycle, UnloadRemovesEveryRegistration) {
  const DevhostResult result = Run("unload\n");
  EXPECT_THAT(Removals(result), ElementsAreArray(Table().removed));
  EXPECT_EQ(result.Count("unload ok"), 1u);
}

TEST_P(PluginLifecycle, MissingLinkDiscordCmdRegistersNoMessage) {
  Messages().erase("LinkDiscordCmd");
  const DevhostResult result = Run("");
  EXPECT_EQ(result.Count("register chat text=\"No message\""), 1u);
  EXPECT_EQ(result.Count("load ok"), 1u);
}

TEST_P(PluginLifecycle, ExampleConfigurationLoadsWithItsLinkCommand) {
  std::ifstream example(std::string(VELTRANE_SOURCE_DIR) + "/config/config.json");
  nlohmann::json example_config = nlohmann::json::parse(example);
  example_config["Database"] = config_["Database"];
  config_ = example_config;
  database_.InsertCode("discord-1", "CODE-1");
  const DevhostResult result = Run(kLinkScript);
  EXPECT_EQ(result.Count("register chat text=\"/link\""), 1u);
  EXPECT_EQ(result.Count("load ok"), 1u);
  ASSERT_EQ(result.Count("notify bob "), 1u);
  EXPECT_EQ(FieldText(*result.First("notify bob "), "rgba"), kSuccessRgba);
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
}

// The first column of every row the query gives.
std::vector<std::string> FirstColumn(SandboxDatabase& database, const std::string& sql) {
  std::vector<std::string> values;
  for (const auto& row : database.Query(sql)) values.push_back(row.at(0).value_or("NULL"));
  return values;
}

TEST_P(PluginLifecycle, LoadCreatesTheTableWithItsIndexesAndALaterLoadKeepsTheRows) {
  database_.Execute("DROP TABLE player_discord");
  // The unload gives up a connection made at load that has not ended.
  StartReady("")->Stop();
  EXPECT_THAT(FirstColumn(database_,
                          "SELECT COLUMN_NAME FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = "
                          "DATABASE() AND TABLE_NAME = 'player_discord' ORDER BY ORDINAL_POSITION"),
              ElementsAre("id", "eos_id", "discord_id", "player_id", "character_name", "tribe_id",
                          "tribe_name", "code"));
  EXPECT_THAT(
      FirstColumn(database_,
                  "SELECT COLUMN_NAME FROM information_schema.STATISTICS WHERE TABLE_SCHEMA "
                  "= DATABASE() AND TABLE_NAME = 'player_discord' AND SEQ_IN_INDEX = 1 "
                  "ORDER BY COLUMN_NAME"),
      ElementsAre("code", "eos_id", "id"));

  database_.InsertCode("discord-1", "CODE-1");
  const auto rows_before = database_.Rows();
  Run("unload\nload\n");
  EXPECT_EQ(database_.Rows(), rows_before);
}

TEST_P(PluginLifecycle, UnreachableDatabaseStillRegistersEverything) {
  const WebhookReceiver::RefusingPort nobody;
  const std::string url = nobody.Url("");
  config_["Database"]["MysqlPort"] = std::stoi(url.substr(url.rfind(':') + 1));
  // A non-blocking store tries at its first tick, and the unload would give that up.
  const DevhostResult result =
      Run(non_blocking_ ? "wait-for 10000 Failed to open connection!\n" : "");
  EXPECT_EQ(result.Count("register "), Table().commands);
  EXPECT_EQ(result.Count("hook-install "), Table().hooks);
  EXPECT_EQ(result.Count("load ok"), 1u);
  EXPECT_THAT(VeltraneLog(result), ElementsAre("[critical] Failed to open connection!",
                                               StartsWith("[error] Database server ")));
}

TEST_P(PluginLifecycle, ThreadNotificationsLeaveThePluginAsItWas) {
  database_.InsertCode("discord-1", "CODE-1");
  const DevhostResult result = Run(std::string("thread-attach\nthread-detach\n") + kLinkScript);
  EXPECT_EQ(result.Count("register "), Table().commands);
  EXPECT_EQ(result.Count("error "), 0u);
  ASSERT_EQ(result.Count("notify bob "), 1u);
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
}

TEST_P(PluginLifecycle, UnloadThenLoadServesTheLinkCommandAgain) {
  database_.InsertCode("discord-1", "CODE-1");
  const DevhostResult result = Run(std::string("unload\nload\n") + kLinkScript);
  EXPECT_EQ(result.Count("load ok"), 2u);
  EXPECT_EQ(result.Count("register chat text=\"/link\""), 2u);
  ASSERT_EQ(result.Count("notify bob "), 1u);
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
  EXPECT_EQ(database_.Rows().at(0).code, "Linked");
}

TEST_P(PluginLifecycle, UnloadRemovesTheCommandLoadRegisteredAfterAReloadRenamedIt) {
  // Unload used to name the command by the reloaded LinkDiscordCmd and left "/link" registered.
  auto devhost = Start("");
  ASSERT_TRUE(devhost->WaitForLine("load ok"));
  Messages()["LinkDiscordCmd"] = "/discord";
  devhost_.WriteConfig(config_);
  devhost->Send("rcon Veltrane.Reload\nunload\n");
  const DevhostResult result = devhost->Stop();
  EXPECT_EQ(result.Count("rcon-reply id=1 text=\"Reloaded config\""), 1u);
  EXPECT_THAT(result.WithPrefix("unregister chat "),
              ElementsAre("unregister chat text=\"/link\" found=true"));
}

INSTANTIATE_IN_BOTH_STORE_MODES(PluginLifecycle);

class Configuration : public PluginTest {};

// The single plugin line of a failed load: nothing registered, and the detach that follows the
// failed attach removes nothing either.
std::string OnlyLoadError(const DevhostResult& result) {
  EXPECT_EQ(result.Count("register "), 0u);
  EXPECT_EQ(result.Count("hook-install "), 0u);
  EXPECT_EQ(result.Count("unregister "), 0u);
  EXPECT_EQ(result.Count("hook-remove "), 0u);
  EXPECT_EQ(result.Count("load failed error=\"DllMain returned FALSE\""), 1u);
  EXPECT_EQ(result.exit_code, 0);
  const std::vector<std::string> plugin_lines = VeltraneLog(result);
  return plugin_lines.size() == 1 ? plugin_lines.front() : "";
}

TEST_F(Configuration, MissingFileLogsOneLineAndRegistersNothing) {
  devhost_.RemoveConfig();
  const DevhostResult result = devhost_.Run("");
  EXPECT_EQ(OnlyLoadError(result), "[error] Can't open config.json");
  // MM/DD/YY HH:MM [Veltrane][error] Can't open config.json
  std::string stamped;
  for (const std::string& line : result.log_lines)
    if (line.find("[Veltrane]") != std::string::npos) stamped = line;
  ASSERT_EQ(stamped.size(), 15u + std::string("[Veltrane][error] Can't open config.json").size());
  for (std::size_t i : {0, 1, 3, 4, 6, 7, 9, 10, 12, 13})
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(stamped[i]))) << stamped;
  EXPECT_EQ(stamped.substr(2, 1) + stamped.substr(5, 1) + stamped.substr(8, 1) +
                stamped.substr(11, 1) + stamped.substr(14, 1),
            "// : ");
}

// The entry point used to let Load's exception through to the loader; now the loader's detach
// follows the failed attach, and Unload must leave alone what Load never registered.
TEST_F(Configuration, DetachAfterAFailedLoadRemovesNothingAndTheNextLoadServesLinks) {
  database_.InsertCode("discord-1", "CODE-1");
  devhost_.RemoveConfig();
  auto devhost = devhost_.Start("", "rcon-test-password");
  ASSERT_TRUE(devhost && devhost->WaitForLine("load failed "));
  devhost_.WriteConfig(config_);
  devhost->Send(std::string("load\n") + kLinkScript + "unload\n");
  const DevhostResult result = devhost->Stop();
  EXPECT_EQ(result.exit_code, 0);
  const auto loaded = std::find(result.lines.begin(), result.lines.end(), "load ok");
  ASSERT_NE(loaded, result.lines.end());
  EXPECT_THAT(std::vector<std::string>(result.lines.begin(), loaded),
              Each(Not(AnyOf(StartsWith("unregister "), StartsWith("hook-remove ")))));
  // The final unload's.
  EXPECT_THAT(Removals(result), ElementsAreArray(LinesOfTheTable(Messages()).removed));
  ASSERT_EQ(result.Count("notify bob "), 1u);
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
}

TEST_F(Configuration, MalformedJsonLogsWhereTheParserStopped) {
  devhost_.RemoveConfig();
  devhost_.WriteConfigText("{\"Settings\": {\"Discord\": {}},");
  const DevhostResult result = devhost_.Run("");
  EXPECT_EQ(OnlyLoadError(result),
            "[error] config.json: parse error at line 1, column 30: syntax error while parsing "
            "object key - unexpected end of input; expected string literal");
}

TEST_F(Configuration, MissingSettingsFailsTheLoadNamingTheSection) {
  // A configuration without Settings used to load, and every link command then failed.
  config_.erase("Settings");
  EXPECT_EQ(OnlyLoadError(Run("")), "[error] Settings: section missing, expected an object");
}

TEST_F(Configuration, Utf8SignatureAndTextAfterTheObjectAreTolerated) {
  database_.InsertCode("discord-1", "CODE-1");
  devhost_.RemoveConfig();
  devhost_.WriteConfigText("\xEF\xBB\xBF" + config_.dump() + "\n# not JSON at all {");
  const DevhostResult result = devhost_.Run(kLinkScript);
  EXPECT_EQ(result.Count("load ok"), 1u);
  ASSERT_EQ(result.Count("notify bob "), 1u);
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
}

TEST_F(Configuration, FractionalPortIsCutTowardZero) {
  database_.InsertCode("discord-1", "CODE-1");
  config_["Database"]["MysqlPort"] = database_.Settings().port + 0.9;
  const DevhostResult result = Run(kLinkScript);
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
  EXPECT_EQ(database_.Rows().at(0).code, "Linked");
}

TEST_F(Configuration, BooleanPortReadsAsOne) {
  config_["Database"]["MysqlPort"] = true;
  const DevhostResult result = Run("");
  EXPECT_EQ(result.Count("load ok"), 1u);
  // No type error: the store tried port 1, where nothing listens.
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[critical] Failed to open connection!",
                          StartsWith("[error] Database server 127.0.0.1:1 (database ")));
}

TEST_F(Configuration, NonAsciiMessageReachesThePlayerUnchanged) {
  database_.InsertCode("discord-1", "CODE-1");
  Messages()["AccountLinked"] = "Verknüpft ✓ — 🎮 {{ok}}";
  const DevhostResult result = Run(kLinkScript);
  ASSERT_EQ(result.Count("notify bob "), 1u);
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Verknüpft ✓ — 🎮 {ok}");
}

}  // namespace
}  // namespace veltrane::test
