#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>

#include "Probe.h"

namespace veltrane::test {
namespace {

class DevhostScript : public ::testing::Test {
 protected:
  DevhostResult Run(const std::string& script) { return devhost_->Run(script); }

  std::unique_ptr<DevhostRunner> devhost_ = ProbeRunner();
};

TEST_F(DevhostScript, BadLinesPrintAnErrorEachAndTheHostGoesOn) {
  const DevhostResult result =
      Run("dance\n"
          "chat nobody /probe\n"
          "join \"bob\n"
          "join bob name=\"unterminated\n"
          "join bob id=12x\n"
          "join bob id=99999999999\n"
          "join bob name\n"
          "join bob dead=yes\n"
          "join bob color=red\n"
          "join - \n"
          "join\n"
          "sleep -1\n"
          "sleep soon\n"
          "perms maybe\n"
          "perms fail sometimes\n"
          "unload now\n"
          "console - NoSuchCommand x\n"
          "logout ghost\n"
          "join bob\n"
          "join bob\n"
          "echo survived\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(Errors(result).size(), 19u);
  EXPECT_TRUE(result.First("echo \"survived\""));
  EXPECT_EQ(Errors(result).front(), "unknown command dance");
  EXPECT_EQ(Errors(result)[1], "unknown player nobody");
  EXPECT_EQ(Errors(result)[3], "unterminated string");
  EXPECT_EQ(Errors(result)[16], "no console command NoSuchCommand");
  EXPECT_EQ(Errors(result).back(), "player bob has joined already");
}

TEST_F(DevhostScript, CommentsAndBlankLinesDoNothing) {
  const DevhostResult result = Run(
      "# a comment\n\n   \n\t# indented\njoin bob # trailing comment\r\nchat bob /probe whoami\n");
  EXPECT_TRUE(Errors(result).empty());
  EXPECT_TRUE(result.First("probe whoami "));
}

TEST_F(DevhostScript, JoinDefaultsDeriveFromTheName) {
  const DevhostResult result = Run("join bob\nchat bob /probe whoami\n");
  const std::optional<std::string> line = result.First("probe whoami ");
  ASSERT_TRUE(line);
  const std::string eos = TextField(line, "eos");
  EXPECT_EQ(eos.size(), 32u);
  EXPECT_EQ(eos.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(TextField(line, "netid"), eos);
  EXPECT_GT(Field(*line, "id")->get<int>(), 0);
  EXPECT_EQ(TextField(line, "name"), "bob");
  EXPECT_EQ(Field(*line, "team"), 0);
  EXPECT_EQ(TextField(line, "tribe"), "bob");
  EXPECT_EQ(Field(*line, "state"), "yes");
  EXPECT_EQ(Field(*line, "char"), "alive");
  EXPECT_EQ(Field(*line, "owner"), "self");

  const DevhostResult again =
      Run("join bob\nchat bob /probe whoami\njoin ann\nchat ann /probe whoami\n");
  EXPECT_EQ(again.First("probe whoami "), line);  // the same in every run
  EXPECT_NE(TextField(again.WithPrefix("probe whoami ").back(), "eos"), eos);
}

TEST_F(DevhostScript, JoinOptionsReachThePlugin) {
  const DevhostResult result =
      Run("join bob name=\"Zo\\u00eb \\\"Z\\\"\" eos=E\xC3\x9COS id=-7 tribe_id=-1234 tribe=\"\" \n"
          "chat bob /probe whoami\n");
  const std::optional<std::string> line = result.First("probe whoami ");
  ASSERT_TRUE(line);
  EXPECT_EQ(TextField(line, "eos"), "E\xC3\x9COS");
  EXPECT_EQ(Field(*line, "id"), -7);
  EXPECT_EQ(TextField(line, "name"), "Zo\xC3\xAB \"Z\"");
  EXPECT_EQ(Field(*line, "team"), -1234);
  EXPECT_EQ(TextField(line, "tribe"), "");
}

TEST_F(DevhostScript, PlayerWithoutStateCharacterOrOwner) {
  const DevhostResult result =
      Run("join a nostate\njoin b nochar\njoin c dead\njoin d noowner\n"
          "chat a /probe whoami\nchat b /probe whoami\nchat c /probe whoami\nchat d /probe whoami\n"
          "revive c\nchat c /probe whoami\ndie c\nchat c /probe whoami\ndie b\n");
  const std::vector<std::string> lines = result.WithPrefix("probe whoami ");
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(Field(lines[0], "state"), "no");
  EXPECT_EQ(TextField(lines[0], "tribe"), "");
  EXPECT_EQ(Field(lines[1], "char"), "none");
  EXPECT_EQ(Field(lines[2], "char"), "dead");
  EXPECT_EQ(Field(lines[3], "owner"), "none");
  EXPECT_EQ(Field(lines[4], "char"), "alive");
  EXPECT_EQ(Field(lines[5], "char"), "dead");
  EXPECT_EQ(Errors(result), std::vector<std::string>{"player b has no character"});
}

TEST_F(DevhostScript, ChatReachesTheCommandNamedByItsFirstWordInAnyCase) {
  const DevhostResult result =
      Run("join bob\n"
          "chat bob /PROBE  a  \n"
          "chat bob    /probe\n"
          "chat bob hello /probe\n"
          "chat bob /prob\n"
          "chat bob /probes\n"
          "chat bob \n");
  const std::vector<std::string> lines = result.WithPrefix("probe chat ");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(TextField(lines[0], "line"), "/PROBE  a  ");
  EXPECT_EQ(TextField(lines[1], "line"), "   /probe");
  EXPECT_EQ(Field(lines[0], "mode"), 0);
  EXPECT_EQ(Field(lines[0], "channel"), 0);
  EXPECT_TRUE(Errors(result).empty());  // unmatched chat is just chat
}

TEST_F(DevhostScript, ConsoleRunsForAPlayerOrForTheServer) {
  const DevhostResult result =
      Run("join bob eos=B0B\nconsole bob probe.echo x\nconsole - Probe.Echo \xC3\xA9\n");
  const std::vector<std::string> lines = result.WithPrefix("probe console ");
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(TextField(lines[0], "player"), "B0B");
  EXPECT_EQ(TextField(lines[0], "line"), "probe.echo x");
  EXPECT_EQ(Field(lines[0], "cheat"), false);
  EXPECT_TRUE(Field(lines[1], "player")->is_null());
  EXPECT_EQ(TextField(lines[1], "line"), "Probe.Echo \xC3\xA9");
}

TEST_F(DevhostScript, MessagesPrintColoursScaleAndSeconds) {
  const DevhostResult result =
      Run("join bob\n"
          "chat bob /probe notify Linked {{ok}}\n"
          "chat bob /probe chat \"quoted\" \xE2\x82\xAC\n"
          "chat bob /probe server bye\n");
  EXPECT_EQ(result.First("notify "),
            "notify bob rgba=0.16202937,0.70837575,0.29177064,1 scale=1.3 secs=-2.5 text=\"Linked "
            "{ok}\"");
  EXPECT_EQ(result.First("chat-message "),
            "chat-message bob sender=\"Probe \xC3\xA9\" text=\"\\\"quoted\\\" \xE2\x82\xAC\"");
  EXPECT_EQ(result.First("server-message "), "server-message bob rgba=1,0,0,1 text=\"bye\"");
  EXPECT_TRUE(Errors(result).empty());
}

TEST_F(DevhostScript, PluginMistakesPrintAnErrorAndTheHostGoesOn) {
  const DevhostResult result =
      Run("join bob\nchat bob /probe throw\nchat bob /probe notify {bad}\n"
          "chat bob /probe stranger\nchat bob /probe elsewhere\necho on\n");
  const std::vector<std::string> errors = Errors(result);
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_EQ(errors[0], "chat command threw: probe chat failure");
  EXPECT_EQ(errors[1].rfind("chat command threw: ", 0), 0u);
  EXPECT_EQ(errors[2], "message for an unknown player controller");
  EXPECT_EQ(errors[3],
            "messaging service asked for by a module that is not the plugin: /elsewhere/Other.so");
  EXPECT_EQ(result.Count("notify "), 0u);
  EXPECT_TRUE(result.First("echo \"on\""));
}

TEST_F(DevhostScript, CommandThatUnregistersItselfWhileRunning) {
  const DevhostResult result = Run("join bob\nchat bob /probe unregister\nchat bob /probe\n");
  EXPECT_EQ(result.Count("probe chat "), 1u);
  EXPECT_TRUE(result.First("unregister chat text=\"/probe\" found=true"));
  EXPECT_TRUE(result.First("unregister chat text=\"/probe\" found=false"));  // at unload
}

TEST_F(DevhostScript, EchoPrintsItsTextAsJson) {
  const DevhostResult result = Run("echo \"a \\\"b\\\"\"\necho plain words  here\necho\n");
  const std::vector<std::string> lines = result.WithPrefix("echo ");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(Payload(lines[0]), "a \"b\"");
  EXPECT_EQ(Payload(lines[1]), "plain words  here");
  EXPECT_EQ(Payload(lines[2]), "");
}

TEST_F(DevhostScript, OverlongLineIsRefusedWhole) {
  const DevhostResult result = Run("echo " + std::string(1100000, 'x') + "\necho next\n");
  EXPECT_EQ(Errors(result), std::vector<std::string>{"line longer than 1 MiB"});
  EXPECT_TRUE(result.First("echo \"next\""));
}

TEST_F(DevhostScript, OverlongLastLineWithoutLineBreakIsRefusedToo) {
  const DevhostResult result = Run("echo first\necho " + std::string(1100000, 'x'));
  EXPECT_EQ(Errors(result), std::vector<std::string>{"line longer than 1 MiB"});
  EXPECT_TRUE(result.First("echo \"first\""));
}

// A reader of the output splits lines at line breaks and fields at blanks: a name that is not a
// plain word stands as a JSON string, like a text.
TEST_F(DevhostScript, NamesThatAreNotPlainWordsAreQuoted) {
  const DevhostResult result =
      Run("join a\rb\njoin zo\xC3\xAB\njoin back\\slash\njoin plain-name_1.x\n"
          "chat a\rb /probe notify hi\nchat zo\xC3\xAB /probe chat hi\n"
          "chat back\\slash /probe server hi\nchat plain-name_1.x /probe notify hi\n"
          "logout a\rb\n");
  for (const std::string& line : result.lines) {
    EXPECT_TRUE(std::none_of(line.begin(), line.end(), [](char c) {
      return static_cast<unsigned char>(c) < ' ';
    })) << line;
  }
  EXPECT_EQ(result.WithPrefix("notify ").size(), 2u);
  EXPECT_EQ(result.WithPrefix("notify ").front().rfind("notify \"a\\rb\" rgba=", 0), 0u);
  EXPECT_EQ(result.WithPrefix("notify ").back().rfind("notify plain-name_1.x rgba=", 0), 0u);
  EXPECT_EQ(result.First("chat-message ").value_or("").rfind("chat-message \"zo\xC3\xAB\" ", 0),
            0u);
  EXPECT_EQ(
      result.First("server-message ").value_or("").rfind("server-message \"back\\\\slash\" ", 0),
      0u);
  EXPECT_EQ(result.First("game-logout "), "game-logout \"a\\rb\"");
  EXPECT_TRUE(Errors(result).empty());
}

TEST_F(DevhostScript, TimingFollowsEachCommandWithItsGameThreadTime) {
  const DevhostResult result =
      Run("echo before\ntiming on\njoin bob\n\n# a comment\nchat bob /probe notify hi\n"
          "sleep 200\nnonsense \"x\"\ntiming off\necho after\n");
  std::vector<std::string> commands;
  std::vector<long long> microseconds;
  for (std::size_t i = 0; i < result.lines.size(); ++i) {
    const std::string& line = result.lines[i];
    if (line.rfind("timing ", 0) != 0) continue;
    ASSERT_TRUE(Field(line, "us") && Field(line, "us")->is_number_integer()) << line;
    microseconds.push_back(Field(line, "us")->get<long long>());
    commands.push_back(TextField(line, "command"));
    EXPECT_EQ(line, "timing us=" + std::to_string(microseconds.back()) +
                        " command=" + nlohmann::json(commands.back()).dump());
  }
  // "timing on" reports itself, "timing off" does not.
  EXPECT_EQ(commands,
            (std::vector<std::string>{"timing on", "join bob", "chat bob /probe notify hi",
                                      "sleep 200", "nonsense \"x\""}));
  ASSERT_EQ(microseconds.size(), 5u);
  EXPECT_GE(microseconds[3], 200000);  // a sleep holds the thread at least its time
  // Each command's own lines come before its timing line.
  const auto notify =
      std::find_if(result.lines.begin(), result.lines.end(),
                   [](const std::string& line) { return line.rfind("notify ", 0) == 0; });
  ASSERT_NE(notify, result.lines.end());
  EXPECT_EQ(TextField(*(notify + 1), "command"), "chat bob /probe notify hi");
  EXPECT_EQ(Errors(result), std::vector<std::string>{"unknown command nonsense"});
  EXPECT_TRUE(result.First("echo \"after\""));
}

// While the script sleeps, the devhost reads only a bounded amount ahead: a writer flooding its
// input finds the pipe full and waits, and nothing is lost.
TEST_F(DevhostScript, InputIsReadAheadOnlySoFarWhileTheScriptSleeps) {
  {
    auto server = devhost_->Start("sleep 20000\n", "pw");
    ASSERT_TRUE(server);
    std::string flood;
    while (flood.size() < (64u << 20)) flood += "# " + std::string(1000, 'x') + "\n";
    const std::size_t taken = server->Offer(flood, std::chrono::seconds(1));
    EXPECT_LT(taken, 8u << 20);  // 1 MiB of lines, one partial line and the pipe
    kill(server->Pid(), SIGTERM);
    const DevhostResult result = server->Stop();
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_FALSE(result.timed_out);
  }
  auto server = devhost_->Start("sleep 1000\n", "pw");
  ASSERT_TRUE(server);
  std::string lines;
  for (int i = 0; i < 50000; ++i) lines += "echo " + std::to_string(i) + "\n";
  server->Send(lines);
  const DevhostResult result = server->Stop();
  const std::vector<std::string> echoes = result.WithPrefix("echo ");
  ASSERT_EQ(echoes.size(), 50000u);
  for (int i = 0; i < 50000; i += 9999)
    EXPECT_EQ(echoes[std::size_t(i)], "echo \"" + std::to_string(i) + "\"");
  EXPECT_EQ(echoes.back(), "echo \"49999\"");
}

TEST_F(DevhostScript, LeaveTakesThePlayerAwayWithoutTheGamesLogout) {
  const DevhostResult result = Run("join bob\nleave bob\nchat bob /probe\njoin bob\n");
  EXPECT_EQ(result.Count("game-logout"), 0u);
  EXPECT_EQ(result.Count("probe logout"), 0u);
  EXPECT_EQ(Errors(result), std::vector<std::string>{"unknown player bob"});
}

}  // namespace
}  // namespace veltrane::test
