// "Veltrane.Reload" from the console and over RCON, and what a reload changes for the commands
// that follow it.

#include <gmock/gmock.h>

#include "support/PluginTest.h"
#include "support/RconTestClient.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class ConfigReload : public PluginTest {
 protected:
  // A devhost with bob joined and the plugin loaded, ready for more lines.
  std::unique_ptr<DevhostProcess> StartWithBob() {
    return StartReady("join bob eos=EOS-BOB id=101\n");
  }
};

TEST_F(ConfigReload, ConsoleReloadConfirmsInGreen) {
  const DevhostResult result = Run("join bob eos=EOS-BOB id=101\nconsole bob Veltrane.Reload\n");
  EXPECT_THAT(PlayerMessages(result),
              ElementsAre("server-message bob rgba=0,1,0,1 text=\"Reloaded config\""));
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
}

TEST_F(ConfigReload, ConsoleReloadFailureShowsRedAndLogsTheReason) {
  auto devhost = StartWithBob();
  devhost_.RemoveConfig();
  devhost->Send("console bob Veltrane.Reload\n");
  const DevhostResult result = devhost->Stop();
  EXPECT_THAT(PlayerMessages(result),
              ElementsAre("server-message bob rgba=1,0,0,1 text=\"Failed to reload config: Can't "
                          "open config.json\""));
  EXPECT_THAT(VeltraneLog(result), ElementsAre("[error] Can't open config.json"));
}

TEST_F(ConfigReload, ServerConsoleReloadShowsNothingAndLogsTheFailure) {
  auto devhost = StartWithBob();
  devhost_.WriteConfigText("{ broken");
  devhost->Send("console - Veltrane.Reload\n");
  const DevhostResult result = devhost->Stop();
  EXPECT_THAT(PlayerMessages(result), IsEmpty());
  // The parser's own text quoted what it last read ("{ b"); the line gives only the place.
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[error] config.json: parse error at line 1, column 3: syntax error "
                          "while parsing object key - invalid literal; expected string literal"));
}

TEST_F(ConfigReload, RconClientIsAnsweredReloadedConfig) {
  auto devhost = StartWithBob();
  RconTestClient client(devhost->RconPort());
  ASSERT_TRUE(client.Authenticate(kRconPassword));
  EXPECT_EQ(client.Command("Veltrane.Reload"), "Reloaded config");
  const DevhostResult result = devhost->Stop();
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
}

TEST_F(ConfigReload, RconClientIsAnsweredTheReasonOfAFailure) {
  auto devhost = StartWithBob();
  devhost_.RemoveConfig();
  RconTestClient client(devhost->RconPort());
  ASSERT_TRUE(client.Authenticate(kRconPassword));
  EXPECT_EQ(client.Command("Veltrane.Reload"), "Can't open config.json");
  const DevhostResult result = devhost->Stop();
  EXPECT_THAT(VeltraneLog(result), ElementsAre("[error] Can't open config.json"));
}

TEST_F(ConfigReload, RconClientWithAWrongPasswordIsRefused) {
  auto devhost = StartWithBob();
  RconTestClient client(devhost->RconPort());
  EXPECT_FALSE(client.Authenticate("not the password"));
  const DevhostResult result = devhost->Stop();
  EXPECT_EQ(result.Count("rcon-reply "), 0u);
}

TEST_F(ConfigReload, ChangedNotificationModeActsOnTheNextLink) {
  database_.InsertCode("discord-1", "CODE-1");
  auto devhost = StartWithBob();
  devhost->Send("chat bob /link\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob "));
  Settings()["NotificationMode"] = false;
  devhost_.WriteConfig(config_);
  devhost->Send("rcon Veltrane.Reload\nchat bob /link CODE-1\n");
  const DevhostResult result = devhost->Stop();
  EXPECT_THAT(PlayerMessages(result),
              ElementsAre(HasSubstr("text=\"Usage: /link <code>\""),
                          "chat-message bob sender=\"Veltrane Bot\" text=\"Account linked\""));
}

TEST_F(ConfigReload, FailedReloadKeepsThePreviousConfiguration) {
  // A file that did not parse used to leave a half-read document, and every command then failed.
  database_.InsertCode("discord-1", "CODE-1");
  Settings()["NotificationMode"] = false;
  Settings()["UpdatePlayerDataOnLogout"] = true;
  auto devhost = StartWithBob();
  devhost_.WriteConfigText(R"({"Settings": {"NotificationMode": true, "Discord": )");
  devhost->Send("rcon Veltrane.Reload\nchat bob /link CODE-1\nlogout bob\n");
  const DevhostResult result = devhost->Stop();
  ASSERT_EQ(result.Count("rcon-reply id=1 "), 1u);
  EXPECT_THAT(TextOf(*result.First("rcon-reply id=1 ")),
              StartsWith("config.json: parse error at line 1, column "));
  EXPECT_THAT(PlayerMessages(result),
              ElementsAre("chat-message bob sender=\"Veltrane Bot\" text=\"Account linked\""));
  EXPECT_EQ(database_.Rows().at(0).code, "Updated");
  EXPECT_THAT(result.WithPrefix("game-logout "), ElementsAre("game-logout bob"));
}

TEST_F(ConfigReload, ReloadKeepsTheRegisteredLinkCommand) {
  database_.InsertCode("discord-1", "CODE-1");
  auto devhost = StartWithBob();
  Messages()["LinkDiscordCmd"] = "/discord";
  devhost_.WriteConfig(config_);
  devhost->Send("console - Veltrane.Reload\nchat bob /discord CODE-1\nchat bob /link CODE-1\n");
  const DevhostResult result = devhost->Stop();
  EXPECT_EQ(result.Count("register chat "), 1u);
  EXPECT_THAT(PlayerMessages(result),
              ElementsAre("notify bob rgba=0.16202937,0.70837575,0.29177064,1 scale=1.3 secs=10 "
                          "text=\"Account linked\""));
}

}  // namespace
}  // namespace veltrane::test
