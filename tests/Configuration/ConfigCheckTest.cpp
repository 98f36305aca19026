// Every configuration is checked before it goes live: a file with one mistake is refused at
// reload (console and RCON) and at load, with the key's path named and nothing of the file quoted,
// and the previous configuration keeps serving the link command.

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "support/PluginTest.h"
#include "support/RconTestClient.h"

namespace veltrane::test {
namespace {

using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::Eq;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Matcher;
using ::testing::Not;
using ::testing::StartsWith;

constexpr std::size_t kMaxConfigBytes = std::size_t{1024} * 1024;

// Texts of the refused files that must never reach a reply or a log line.
constexpr char kSecretPassword[] = "s3cr3t-Pa55w0rd";
constexpr char kSecretUrl[] = "https://discord.invalid/api/webhooks/1/hooks-t0ken";
constexpr int kSecretNumber = 8675309;
const std::vector<std::string> kSecretFragments = {"s3cr3t", "Pa55w0rd", "hooks-t0ken",
                                                   std::to_string(kSecretNumber)};

// The file the refused configurations start from: the running one with the secrets in it and a
// different success text, so that a file that went live by mistake shows in the link's reply.
nlohmann::json RefusedBase(nlohmann::json config) {
  config["Database"]["MysqlPass"] = kSecretPassword;
  config["Settings"]["Discord"]["WebHookUrl"] = kSecretUrl;
  config["Messages"]["AccountLinked"] = "Linked by the refused file";
  return config;
}

struct OneMistake {
  std::string name;
  // Puts the refused file (or what stands in its place) below the devhost's root.
  std::function<void(const DevhostRunner&, const nlohmann::json& running)> place;
  Matcher<const std::string&> reason;
};

// Names the case in gtest's output instead of dumping its bytes.
void PrintTo(const OneMistake& mistake, std::ostream* out) { *out << mistake.name; }

OneMistake Json(std::string name, const std::function<void(nlohmann::json&)>& mistake,
                const std::string& reason) {
  return {std::move(name),
          [mistake](const DevhostRunner& devhost, const nlohmann::json& running) {
            nlohmann::json config = RefusedBase(running);
            mistake(config);
            devhost.WriteConfig(config);
          },
          Eq(reason)};
}

OneMistake Text(std::string name, const std::string& text, Matcher<const std::string&> reason) {
  return {std::move(name),
          [text](const DevhostRunner& devhost, const nlohmann::json&) {
            devhost.WriteConfigText(text);
          },
          std::move(reason)};
}

// A JSON document of exactly size bytes that checks apart from its size.
std::string DocumentOfSize(const nlohmann::json& config, std::size_t size) {
  nlohmann::json padded = config;
  padded["Notes"] = "";
  const std::size_t without_padding = padded.dump().size();
  padded["Notes"] = std::string(size - without_padding, 'n');
  return padded.dump();
}

std::vector<OneMistake> OneMistakeFiles() {
  return {
      // A key of the wrong JSON type, in each section.
      Json(
          "DebugAsText", [](auto& c) { c["Settings"]["debug"] = "yes"; },
          "Settings.debug: expected true or false, found text"),
      Json(
          "DurationAsText", [](auto& c) { c["Settings"]["MessagesDuration"] = "10"; },
          "Settings.MessagesDuration: expected an integer from 1 to 3600, found text"),
      Json(
          "GroupAsNull", [](auto& c) { c["Settings"]["PermissionGroupToAdd"] = nullptr; },
          "Settings.PermissionGroupToAdd: expected text, found null"),
      Json(
          "EnableDiscordAsNumber", [](auto& c) { c["Settings"]["Discord"]["EnableDiscord"] = 1; },
          "Settings.Discord.EnableDiscord: expected true or false, found a number"),
      Json(
          "CustomMessageAsArray",
          [](auto& c) {
            c["Settings"]["Discord"]["CustomMessage"] = {"a", "b"};
          },
          "Settings.Discord.CustomMessage: expected text, found an array"),
      Json(
          "LinkCommandAsBoolean", [](auto& c) { c["Messages"]["LinkDiscordCmd"] = true; },
          "Messages.LinkDiscordCmd: expected text, found true"),
      Json(
          "TooManyAttemptsAsObject",
          [](auto& c) { c["Messages"]["TooManyAttempts"] = nlohmann::json::object(); },
          "Messages.TooManyAttempts: expected text, found an object"),
      Json(
          "DatabaseUnavailableAsNumber", [](auto& c) { c["Messages"]["DatabaseUnavailable"] = 3; },
          "Messages.DatabaseUnavailable: expected text, found a number"),
      // A password typed as a number is a secret all the same: only its kind is named.
      Json(
          "PasswordAsNumber", [](auto& c) { c["Database"]["MysqlPass"] = kSecretNumber; },
          "Database.MysqlPass: expected text, found a number"),
      Json(
          "HostAsArray",
          [](auto& c) {
            c["Database"]["MysqlHost"] = {"db1", "db2"};
          },
          "Database.MysqlHost: expected text, found an array"),
      Json(
          "PortAsText", [](auto& c) { c["Database"]["MysqlPort"] = "3306"; },
          "Database.MysqlPort: expected an integer from 1 to 65535, found text"),
      Json(
          "TimeoutAsText", [](auto& c) { c["Database"]["MysqlTimeout"] = "10"; },
          "Database.MysqlTimeout: expected an integer from 0 to 3600, found text"),
      // A host list the store could not use left every player DatabaseUnavailable until the
      // next load, and a reload did not help.
      Json(
          "HostListWithAnEmptyEntry", [](auto& c) { c["Database"]["MysqlHost"] = "a,,b"; },
          "Database.MysqlHost: entry 2 is empty"),
      Json(
          "HostListEndingInAComma", [](auto& c) { c["Database"]["MysqlHost"] = "a,"; },
          "Database.MysqlHost: entry 2 is empty"),
      Json(
          "HostListOfACommaAlone", [](auto& c) { c["Database"]["MysqlHost"] = ","; },
          "Database.MysqlHost: entry 1 is empty"),
      Json(
          "HostWithPortZero", [](auto& c) { c["Database"]["MysqlHost"] = "127.0.0.1:0"; },
          "Database.MysqlHost: entry 1 has a port that is not a number from 1 to 65535"),
      Json(
          "HostWithPortAboveTheRange",
          [](auto& c) { c["Database"]["MysqlHost"] = "127.0.0.1:65536"; },
          "Database.MysqlHost: entry 1 has a port that is not a number from 1 to 65535"),
      Json(
          "HostWithAWordForAPort", [](auto& c) { c["Database"]["MysqlHost"] = "h:abc"; },
          "Database.MysqlHost: entry 1 has a port that is not a number from 1 to 65535"),
      // A reply the formatter refuses failed only when the player was answered: after the row
      // was written and the announcement posted, with no reply at all.
      Json(
          "LinkedReplyWithAPlaceholder",
          [](auto& c) { c["Messages"]["AccountLinked"] = "Welcome {player}!"; },
          "Messages.AccountLinked: the message formatter refuses it (argument not found); a "
          "brace to show is written doubled, {{ or }}"),
      Json(
          "InvalidCodeReplyWithAClosingBrace",
          [](auto& c) { c["Messages"]["InvalidCode"] = "Bad code :-}"; },
          "Messages.InvalidCode: the message formatter refuses it (unmatched '}' in format "
          "string); a brace to show is written doubled, {{ or }}"),
      Json(
          "UsageReplyWithAnOpeningBrace",
          [](auto& c) { c["Messages"]["CmdUsage"] = "Usage: /link {code"; },
          "Messages.CmdUsage: the message formatter refuses it (argument not found); a brace to "
          "show is written doubled, {{ or }}"),
      Json(
          "AlreadyLinkedReplyWithAnIndex",
          [](auto& c) { c["Messages"]["AccountAlredyLinked"] = "Linked {0}"; },
          "Messages.AccountAlredyLinked: the message formatter refuses it (argument not found); "
          "a brace to show is written doubled, {{ or }}"),
      Json(
          "TooManyAttemptsReplyWithEmptyBraces",
          [](auto& c) { c["Messages"]["TooManyAttempts"] = "Wait {} minutes"; },
          "Messages.TooManyAttempts: the message formatter refuses it (argument not found); a "
          "brace to show is written doubled, {{ or }}"),
      Json(
          "UnavailableReplyWithAnOpeningBraceAtTheEnd",
          [](auto& c) { c["Messages"]["DatabaseUnavailable"] = "Down :-{"; },
          "Messages.DatabaseUnavailable: the message formatter refuses it (invalid format "
          "string); a brace to show is written doubled, {{ or }}"),
      // Discord answers 400 to a message under such a name, and the announcement is lost.
      Json(
          "SenderNameEmpty", [](auto& c) { c["Settings"]["Discord"]["SenderName"] = ""; },
          "Settings.Discord.SenderName: Discord refuses a name that is empty or only white space"),
      Json(
          "SenderNameOfBlanks", [](auto& c) { c["Settings"]["Discord"]["SenderName"] = " \t "; },
          "Settings.Discord.SenderName: Discord refuses a name that is empty or only white space"),
      Json(
          "SenderNameOf81Characters",
          [](auto& c) { c["Settings"]["Discord"]["SenderName"] = std::string(80, 'a') + "\u00e4"; },
          "Settings.Discord.SenderName: Discord refuses a name of more than 80 characters, found "
          "81"),
      Json(
          "SenderNameWithClyde",
          [](auto& c) { c["Settings"]["Discord"]["SenderName"] = "Server cLyDe"; },
          "Settings.Discord.SenderName: Discord refuses a name that contains \"clyde\" or "
          "\"discord\", in any letter case"),
      Json(
          "SenderNameWithDiscord",
          [](auto& c) { c["Settings"]["Discord"]["SenderName"] = "MyDISCORDbot"; },
          "Settings.Discord.SenderName: Discord refuses a name that contains \"clyde\" or "
          "\"discord\", in any letter case"),
      // Each section missing, or not an object.
      Json(
          "SettingsMissing", [](auto& c) { c.erase("Settings"); },
          "Settings: section missing, expected an object"),
      Json(
          "DiscordMissing", [](auto& c) { c["Settings"].erase("Discord"); },
          "Settings.Discord: section missing, expected an object"),
      Json(
          "MessagesMissing", [](auto& c) { c.erase("Messages"); },
          "Messages: section missing, expected an object"),
      Json(
          "DatabaseMissing", [](auto& c) { c.erase("Database"); },
          "Database: section missing, expected an object"),
      Json(
          "DiscordAsArray", [](auto& c) { c["Settings"]["Discord"] = nlohmann::json::array(); },
          "Settings.Discord: expected an object, found an array"),
      Json(
          "DatabaseAsText", [](auto& c) { c["Database"] = "db.example"; },
          "Database: expected an object, found text"),
      Text("DocumentEmptyObject", "{}", Eq("Settings: section missing, expected an object")),
      Text("DocumentNull", "null", Eq("config.json: expected an object, found null")),
      Text("DocumentArray", "[]", Eq("config.json: expected an object, found an array")),
      Text("DocumentNumber", "42", Eq("config.json: expected an object, found a number")),
      // Numbers outside their range, as the written rules read them.
      Json(
          "DurationZero", [](auto& c) { c["Settings"]["MessagesDuration"] = 0; },
          "Settings.MessagesDuration: expected an integer from 1 to 3600, found 0"),
      Json(
          "DurationHalfReadsAsZero", [](auto& c) { c["Settings"]["MessagesDuration"] = 0.5; },
          "Settings.MessagesDuration: expected an integer from 1 to 3600, found 0.5"),
      Json(
          "DurationOneAboveTheRange", [](auto& c) { c["Settings"]["MessagesDuration"] = 3601; },
          "Settings.MessagesDuration: expected an integer from 1 to 3600, found 3601"),
      Json(
          "DurationBeyondAnInt", [](auto& c) { c["Settings"]["MessagesDuration"] = 2147483648LL; },
          "Settings.MessagesDuration: expected an integer from 1 to 3600, found 2147483648"),
      Json(
          "DurationHuge", [](auto& c) { c["Settings"]["MessagesDuration"] = 1e300; },
          "Settings.MessagesDuration: expected an integer from 1 to 3600, found 1e+300"),
      Json(
          "DurationNegative", [](auto& c) { c["Settings"]["MessagesDuration"] = -10; },
          "Settings.MessagesDuration: expected an integer from 1 to 3600, found -10"),
      Json(
          "PortZero", [](auto& c) { c["Database"]["MysqlPort"] = 0; },
          "Database.MysqlPort: expected an integer from 1 to 65535, found 0"),
      Json(
          "PortFalseReadsAsZero", [](auto& c) { c["Database"]["MysqlPort"] = false; },
          "Database.MysqlPort: expected an integer from 1 to 65535, found false"),
      Json(
          "PortOneAboveTheRange", [](auto& c) { c["Database"]["MysqlPort"] = 65536; },
          "Database.MysqlPort: expected an integer from 1 to 65535, found 65536"),
      Json(
          "TimeoutNegative", [](auto& c) { c["Database"]["MysqlTimeout"] = -1; },
          "Database.MysqlTimeout: expected an integer from 0 to 3600, found -1"),
      Json(
          "MaxCodeAttemptsNegative", [](auto& c) { c["Settings"]["MaxCodeAttempts"] = -1; },
          "Settings.MaxCodeAttempts: expected an integer from 0 to 1000, found -1"),
      Json(
          "MaxCodeAttemptsOneAboveTheRange",
          [](auto& c) { c["Settings"]["MaxCodeAttempts"] = 1001; },
          "Settings.MaxCodeAttempts: expected an integer from 0 to 1000, found 1001"),
      Json(
          "LockoutZero", [](auto& c) { c["Settings"]["CodeLockoutSeconds"] = 0; },
          "Settings.CodeLockoutSeconds: expected an integer from 1 to 86400, found 0"),
      Json(
          "LockoutOneAboveTheRange", [](auto& c) { c["Settings"]["CodeLockoutSeconds"] = 86401; },
          "Settings.CodeLockoutSeconds: expected an integer from 1 to 86400, found 86401"),
      // Files that do not parse: the place and what was expected, never what was read.
      Text(
          "CutInsideThePassword",
          std::string(
              R"({"Settings": {"Discord": {}}, "Messages": {}, "Database": {"MysqlPass": "s3cr3t-Pa)"),
          AllOf(StartsWith("config.json: parse error at line 1, column "),
                HasSubstr("missing closing quote"))),
      Text("ControlCharacterInsideThePassword",
           "{\"Database\": {\n  \"MysqlPass\": \"s3cr3t\tPa55w0rd\"}}",
           Eq("config.json: parse error at line 2, column 23: syntax error while parsing value - "
              "invalid string: control character U+0009 (HT) must be escaped to \\u0009 or "
              "\\t")),
      Text("ControlCharacterInsideAKey", "{\"Database\": {\"s3cr3t\tPa55w0rd\": 1}}",
           Eq("config.json: parse error at line 1, column 22: syntax error while parsing object "
              "key - invalid string: control character U+0009 (HT) must be escaped to \\u0009 "
              "or \\t; expected string literal")),
      Text("NumberBeyondADouble", R"({"Settings": {"MessagesDuration": 1e400}})",
           Eq("config.json: a number is too large")),
      Text("EmptyFile", "",
           Eq("config.json: parse error at line 1, column 1: syntax error while parsing value - "
              "unexpected end of input; expected '[', '{', or a literal")),
      // What stands in the file's place.
      {"OneByteAboveTheLimit",
       [](const DevhostRunner& devhost, const nlohmann::json& running) {
         devhost.WriteConfigText(DocumentOfSize(RefusedBase(running), kMaxConfigBytes + 1));
       },
       Eq("Can't read config.json: larger than 1 MiB (1048576 bytes)")},
      {"Directory",
       [](const DevhostRunner& devhost, const nlohmann::json&) {
         devhost.RemoveConfig();
         std::filesystem::create_directory(devhost.ConfigPath());
       },
       Eq("Can't open config.json: not a regular file")},
      // Opening a FIFO to read used to wait for a writer, holding the game thread for good.
      {"Fifo",
       [](const DevhostRunner& devhost, const nlohmann::json&) {
         devhost.RemoveConfig();
         ASSERT_EQ(::mkfifo(devhost.ConfigPath().c_str(), 0600), 0);
       },
       Eq("Can't open config.json: not a regular file")},
      {"Missing",
       [](const DevhostRunner& devhost, const nlohmann::json&) { devhost.RemoveConfig(); },
       Eq("Can't open config.json")},
  };
}

class RefusedConfiguration : public PluginTest, public ::testing::WithParamInterface<OneMistake> {};

TEST_P(RefusedConfiguration, IsNamedAtReloadAndAtLoadWhileThePreviousOneStillLinks) {
  database_.InsertCode("discord-1", "CODE-1");
  auto devhost = Start("join bob eos=EOS-BOB id=101\necho ready\n");
  ASSERT_TRUE(devhost->WaitForLine("echo \"ready\""));
  GetParam().place(devhost_, config_);
  devhost->Send(
      "rcon Veltrane.Reload\nconsole bob Veltrane.Reload\nchat bob /link CODE-1\n"
      "unload\nload\n");
  const DevhostResult result = devhost->Stop();
  ASSERT_FALSE(result.timed_out);

  ASSERT_EQ(result.Count("rcon-reply id=1 "), 1u);
  const std::string reason = TextOf(*result.First("rcon-reply id=1 "));
  EXPECT_THAT(reason, GetParam().reason);
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

INSTANTIATE_TEST_SUITE_P(OneMistake, RefusedConfiguration, ::testing::ValuesIn(OneMistakeFiles()),
                         [](const auto& info) { return info.param.name; });

class ConfigCheck : public PluginTest {};

TEST_F(ConfigCheck, RconClientOverTcpIsAnsweredTheKeyOfARefusedFile) {
  auto devhost = Start("");
  ASSERT_TRUE(devhost->WaitForLine("load ok"));
  Settings()["NotificationMode"] = "no";
  devhost_.WriteConfig(config_);
  RconTestClient client(devhost->RconPort());
  ASSERT_TRUE(client.Authenticate("rcon-test-password"));
  EXPECT_EQ(client.Command("Veltrane.Reload"),
            "Settings.NotificationMode: expected true or false, found text");
  const DevhostResult result = devhost->Stop();
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[error] Settings.NotificationMode: expected true or false, found text"));
}

TEST_F(ConfigCheck, ValuesAtTheEdgesOfTheirRangesAreTaken) {
  database_.InsertCode("discord-1", "CODE-1");
  auto devhost = Start("join bob eos=EOS-BOB id=101\necho ready\n");
  ASSERT_TRUE(devhost->WaitForLine("echo \"ready\""));
  // A fraction is cut toward zero before the range applies, as every reader cuts it.
  Settings()["MessagesDuration"] = 3600.9;
  Settings()["MaxCodeAttempts"] = 0;
  Settings()["CodeLockoutSeconds"] = 86400;
  config_["Database"]["MysqlTimeout"] = 0;
  devhost_.WriteConfig(config_);
  devhost->Send("rcon Veltrane.Reload\nchat bob /link CODE-1\n");
  const DevhostResult result = devhost->Stop();
  EXPECT_EQ(result.Count("rcon-reply id=1 text=\"Reloaded config\""), 1u);
  ASSERT_EQ(result.Count("notify bob "), 1u);
  EXPECT_EQ(Field(*result.First("notify bob "), "secs"), nlohmann::json(3600));
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
}

TEST_F(ConfigCheck, AFileOfExactlyTheLimitIsRead) {
  auto devhost = Start("");
  ASSERT_TRUE(devhost->WaitForLine("load ok"));
  devhost_.WriteConfigText(DocumentOfSize(config_, kMaxConfigBytes));
  devhost->Send("rcon Veltrane.Reload\n");
  const DevhostResult result = devhost->Stop();
  EXPECT_EQ(result.Count("rcon-reply id=1 text=\"Reloaded config\""), 1u);
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[warning] config.json: unknown key \"Notes\" is ignored"));
}

TEST_F(ConfigCheck, EachUnknownKeyIsOneWarningAtLoadAndAtReload) {
  database_.InsertCode("discord-1", "CODE-1");
  Settings()["Debug"] = true;  // the setting is "debug"
  Messages()["Notes"] = {"kept by the admins"};
  config_["Database"]["MysqlPassword"] = "x";
  config_["Extra\nline"] = 1;
  auto devhost = Start("join bob eos=EOS-BOB id=101\necho ready\n");
  ASSERT_TRUE(devhost->WaitForLine("echo \"ready\""));
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
  auto devhost = Start("join bob eos=EOS-BOB id=101\necho ready\n");
  ASSERT_TRUE(devhost->WaitForLine("echo \"ready\""));
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
