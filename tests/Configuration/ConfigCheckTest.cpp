// Every configuration is checked before it goes live: a file with one mistake is refused at
// reload (console and RCON) and at load, with the key's path named and nothing of the file quoted,
// and the previous configuration keeps serving the link command.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include "RefusedFiles.h"
#include "support/PluginTest.h"
#include "support/RconTestClient.h"

namespace veltrane::test {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

class RefusedConfiguration : public PluginTest,
                             public ::testing::WithParamInterface<RefusedFile> {};

TEST_P(RefusedConfiguration, IsNamedAtReloadAndAtLoadWhileThePreviousOneStillLinks) {
  database_.InsertCode("discord-1", "CODE-1");
  auto devhost = StartReady("join bob eos=EOS-BOB id=101\n");
  ASSERT_TRUE(PlaceAt(devhost_.ConfigPath(), GetParam(), config_));
  devhost->Send(
      "rcon Veltrane.Reload\nconsole bob Veltrane.Reload\nchat bob /link CODE-1\n"
      "unload\nload\n");
  const DevhostResult result = devhost->Stop();
  ASSERT_FALSE(result.timed_out);

  ASSERT_EQ(result.Count("rcon-reply id=1 "), 1u);
  const std::string reason = TextOf(*result.First("rcon-reply id=1 "));
  EXPECT_EQ(reason, GetParam().reason);
  EXPECT_THAT(PlayerMessages(result),
              ElementsAre(fmt::format("server-message bob rgba=1,0,0,1 text={}",
                                      nlohmann::json("Failed to reload config: " + reason).dump()),
                          AllOf(StartsWith("notify bob "), HasSubstr("text=\"Account linked\""))));
  EXPECT_EQ(database_.Rows().at(0).code, "Linked");

  // The load after the unload fails as for a missing file: one error line, nothing registered.
  EXPECT_EQ(result.Count("load failed error=\"DllMain returned FALSE\""), 1u);
  EXPECT_EQ(result.Count("register chat "), 1u);
  EXPECT_EQ(result.Count("hook-install "), 1u);
  const std::string error_line = "[error] " + reason;
  EXPECT_THAT(VeltraneLog(result), ElementsAre(error_line, error_line, error_line));

  for (const std::string& secret : kSecretFragments) {
    for (const std::string& line : result.lines) EXPECT_THAT(line, Not(HasSubstr(secret)));
    for (const std::string& line : result.log_lines) EXPECT_THAT(line, Not(HasSubstr(secret)));
    EXPECT_THAT(result.stderr_text, Not(HasSubstr(secret)));
  }
}

// A few rows of the table (ConfigCheckTableTest has them all): a mistake the check finds, a file
// that does not parse, and a FIFO in the file's place.
INSTANTIATE_TEST_SUITE_P(RefusedFiles, RefusedConfiguration,
                         ::testing::ValuesIn(RefusedFilesNamed({"PasswordAsNumber",
                                                                "CutInsideThePassword", "Fifo"})),
                         [](const auto& info) { return info.param.name; });

class ConfigCheck : public PluginTest {};

TEST_F(ConfigCheck, RconClientOverTcpIsAnsweredTheKeyOfARefusedFile) {
  auto devhost = Start("");
  ASSERT_TRUE(devhost->WaitForLine("load ok"));
  Settings()["NotificationMode"] = "no";
  devhost_.WriteConfig(config_);
  RconTestClient client(devhost->RconPort());
  ASSERT_TRUE(client.Authenticate(kRconPassword));
  EXPECT_EQ(client.Command("Veltrane.Reload"),
            "Settings.NotificationMode: expected true or false, found text");
  const DevhostResult result = devhost->Stop();
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[error] Settings.NotificationMode: expected true or false, found text"));
}

TEST_F(ConfigCheck, EachUnknownKeyIsOneWarningAtLoadAndAtReload) {
  database_.InsertCode("discord-1", "CODE-1");
  Settings()["Debug"] = true;  // the setting is "debug"
  Messages()["Notes"] = {"kept by the admins"};
  config_["Database"]["MysqlPassword"] = "x";
  config_["Extra\nline"] = 1;
  auto devhost = StartReady("join bob eos=EOS-BOB id=101\n");
  devhost->Send("console - Veltrane.Reload\nchat bob /link CODE-1\n");
  const DevhostResult result = devhost->Stop();
  const std::vector<std::string> warnings = {
      "[warning] config.json: unknown key \"Extra\\nline\" is ignored",
      "[warning] Settings: unknown key \"Debug\" is ignored",
      "[warning] Messages: unknown key \"Notes\" is ignored",
      "[warning] Database: unknown key \"MysqlPassword\" is ignored"};
  std::vector<std::string> twice = warnings;
  twice.insert(twice.end(), warnings.begin(), warnings.end());
  EXPECT_EQ(VeltraneLog(result), twice);
  ASSERT_EQ(result.Count("notify bob "), 1u);
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
}

TEST_F(ConfigCheck, IPv6LiteralsInTheHostListLoadAndReload) {
  // "[::1]", without a port, was taken for a bad port, and the store at load refused the list.
  // The sandbox listens on IPv4 only: ::1 is refused and the next server serves.
  database_.InsertCode("discord-1", "CODE-1");
  const std::string sandbox = config_["Database"]["MysqlHost"];
  config_["Database"]["MysqlHost"] = "[::1], " + sandbox;
  auto devhost = StartReady("join bob eos=EOS-BOB id=101\n");
  config_["Database"]["MysqlHost"] = "[::1]:3307,::1," + sandbox;
  devhost_.WriteConfig(config_);
  devhost->Send("rcon Veltrane.Reload\nchat bob /link CODE-1\n");
  const DevhostResult result = devhost->Stop();
  EXPECT_EQ(result.Count("load ok"), 1u);
  EXPECT_EQ(result.Count("rcon-reply id=1 text=\"Reloaded config\""), 1u);
  ASSERT_EQ(result.Count("notify bob "), 1u);
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
  const int port = config_["Database"]["MysqlPort"];
  EXPECT_THAT(
      VeltraneLog(result),
      ElementsAre(
          StartsWith(fmt::format("[error] Database server [::1]:{} (database ", port)),
          fmt::format("[info] Connected to database server {}:{}", sandbox, port),
          StartsWith(fmt::format("[info] Database server {}:{} available again", sandbox, port))));
}

}  // namespace
}  // namespace veltrane::test
