// The store with Database.NonBlocking: commands and logouts return at once and their work goes on
// over the devhost's ticks. What players are told and what the table holds when players leave,
// type fast, flood the queue, when the server stalls or refuses, and when the plugin is unloaded or
// reloaded meanwhile. The database sits behind a fault proxy that holds statements on their way.

#include <gmock/gmock.h>

#include <chrono>
#include <string>

#include "support/FaultProxy.h"
#include "support/PluginTest.h"
#include "support/WaitUntil.h"

namespace veltrane::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::IsSupersetOf;

using namespace std::chrono_literals;

// The first question of a link command, and the link update.
constexpr char kFirstQuestion[] = "SELECT EXISTS";
constexpr char kLinkUpdate[] = "UPDATE player_discord SET eos_id";

class NonBlockingStore : public PluginTest {
 protected:
  NonBlockingStore() {
    UseNonBlockingStore();
    Settings()["debug"] = true;
    config_["Database"]["MysqlHost"] = "127.0.0.1";
    config_["Database"]["MysqlPort"] = proxy_.Port();
    database_.InsertCode("discord-1", "CODE-1");
    database_.InsertCode("discord-2", "CODE-2");
  }

  // Sends lines whose statement that begins with marker the proxy holds on its way; true once it
  // is held. What follows it on the connection is held too, until ReleaseHeld().
  bool SendHeld(DevhostProcess& devhost, const std::string& marker, const std::string& lines) {
    proxy_.HoldToServer(marker);
    devhost.Send(lines);
    const bool held = WaitUntil(15s, [&] { return proxy_.Held() > 0; });
    proxy_.HoldToServer("");
    return held;
  }

  PlayerDiscordRow LinkedBob(int id, const std::string& discord_id) {
    return {id, "EOS-BOB", discord_id, 101, "bob", 7, "Raiders", "Linked"};
  }

  // The script run as typed, without waiting for replies after the chat lines.
  DevhostResult RunAsTyped(const std::string& script) {
    devhost_.WriteConfig(config_);
    DevhostResult result = devhost_.Run(script);
    EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
    return result;
  }

  FaultProxy proxy_{database_.Settings().host, database_.Settings().port};
};

TEST_F(NonBlockingStore, PlayerWhoLeftBeforeHisReplyGetsNoneButHisLinkIsFinished) {
  Settings()["UsePermissions"] = true;
  auto devhost = StartReady("perms on\n" + std::string(kJoinBob));
  ASSERT_TRUE(SendHeld(*devhost, kLinkUpdate, "chat bob /link CODE-1\n"));
  devhost->Send("leave bob\necho left\n");
  ASSERT_TRUE(devhost->WaitForLine("echo \"left\""));
  proxy_.ReleaseHeld();
  ASSERT_TRUE(devhost->WaitForLine("group-add ", 1, 15s));
  const DevhostResult result = devhost->Stop();

  EXPECT_THAT(NotifiedTexts(result, "bob"), IsEmpty());
  EXPECT_THAT(database_.Rows().at(0), LinkedBob(1, "discord-1"));
  EXPECT_THAT(VeltraneLog(result),
              Contains("[info] The user with ID EOS-BOB linked his account with discord."));
}

// Each command waits for the one before it: the second sees the first one's link.
TEST_F(NonBlockingStore, SecondCommandTypedWhileTheFirstWaitsIsAnsweredAfterIt) {
  proxy_.SetDelay(20ms, 20ms);
  const DevhostResult result = RunAsTyped(std::string(kJoinBob) +
                                          "chat bob /link CODE-1\nchat bob /link CODE-2\n"
                                          "wait-for 10000 Already linked\n");
  EXPECT_THAT(NotifiedTexts(result, "bob"), ElementsAre("Account linked", "Already linked"));
  EXPECT_EQ(database_.Rows().at(0), LinkedBob(1, "discord-1"));
  EXPECT_EQ(database_.Rows().at(1).code, "CODE-2");
}

TEST_F(NonBlockingStore, CommandsBeyondTheBoundOfPendingWorkAreRefusedAtOnce) {
  constexpr int kBeyond = 3;
  auto devhost = StartReady(kJoinBob);
  proxy_.HoldToServer(kFirstQuestion);
  std::string flood;
  for (int command = 0; command < 1024 + kBeyond; ++command) flood += "chat bob /link WRONG\n";
  devhost->Send(flood + "echo flooded\n");
  ASSERT_TRUE(devhost->WaitForLine("echo \"flooded\"", 1, 60s));
  proxy_.HoldToServer("");
  proxy_.ReleaseHeld();
  const DevhostResult result = devhost->Stop();

  const std::vector<std::string> texts = NotifiedTexts(result, "bob");
  ASSERT_GE(texts.size(), static_cast<std::size_t>(kBeyond));
  EXPECT_EQ(std::count(texts.begin(), texts.end(), "Database unavailable"), kBeyond);
  const std::vector<std::string> log = VeltraneLog(result);
  EXPECT_EQ(std::count(log.begin(), log.end(),
                       "[warning] 1024 link commands wait for the database; one more was refused."),
            kBeyond);
}

// The game goes on while the server does not answer: a line typed after the command runs before
// the command's reply, which comes once MysqlTimeout has passed (stalled) or at once (refused).
TEST_F(NonBlockingStore, StalledOrRefusingServerAnswersDatabaseUnavailableWithoutHoldingTheGame) {
  config_["Database"]["MysqlTimeout"] = 2;
  for (const bool stalled : {true, false}) {
    SCOPED_TRACE(stalled ? "stalled" : "refusing");
    auto devhost = StartReady(kJoinBob);
    // A first answer: the connection made at load is open.
    devhost->Send("chat bob /link WRONG\n");
    ASSERT_TRUE(devhost->WaitForLine("notify bob ", 1, 15s));
    if (stalled) {
      proxy_.SetStalled(true);
    } else {
      proxy_.SetRefusing(true);
      proxy_.DropConnections();
    }
    devhost->Send("chat bob /link CODE-1\necho typed-after\n");
    ASSERT_TRUE(devhost->WaitForLine("notify bob ", 2, 30s));
    const DevhostResult result = devhost->Stop();
    proxy_.SetStalled(false);
    proxy_.SetRefusing(false);

    EXPECT_THAT(NotifiedTexts(result, "bob"), ElementsAre("Invalid code", "Database unavailable"));
    const auto typed_after =
        std::find(result.lines.begin(), result.lines.end(), "echo \"typed-after\"");
    const auto reply =
        std::find_if(typed_after - 1, result.lines.end(), [](const std::string& line) {
          return line.starts_with("notify bob ") && TextOf(line) == "Database unavailable";
        });
    // Refused connections fail at once, even inside the command.
    if (stalled) {
      EXPECT_LT(typed_after, reply);
    }
    EXPECT_THAT(VeltraneLog(result), Contains(HasSubstr("unavailable")));
    EXPECT_EQ(database_.Rows().at(0).code, "CODE-1");
  }
}

// The link under way and the refresh waiting behind it are finished in the unload, where no tick
// comes any more; the player is told nothing.
TEST_F(NonBlockingStore, UnloadFinishesTheWorkUnderWayAndTellsNobody) {
  Settings()["UpdatePlayerDataOnLogout"] = true;
  auto devhost = StartReady(kJoinBob);
  devhost->Send("chat bob /link WRONG\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 1, 15s));
  ASSERT_TRUE(SendHeld(*devhost, kLinkUpdate, "chat bob /link CODE-1\nlogout bob\n"));
  // The commands and the hook are gone before the unload waits for the store.
  devhost->Send("unload\n");
  ASSERT_TRUE(devhost->WaitForLine("hook-remove ", 1, 15s));
  proxy_.ReleaseHeld();
  ASSERT_TRUE(devhost->WaitForLine("unload ok", 1, 15s));
  const DevhostResult result = devhost->Stop();

  EXPECT_THAT(NotifiedTexts(result, "bob"), ElementsAre("Invalid code"));
  PlayerDiscordRow refreshed = LinkedBob(1, "discord-1");
  refreshed.code = "Updated";
  EXPECT_EQ(database_.Rows().at(0), refreshed);
  EXPECT_THAT(VeltraneLog(result),
              IsSupersetOf({"[info] The user with ID EOS-BOB linked his account with discord.",
                            "[info] The user with EOS-ID EOS-BOB was updated on logout."}));
  EXPECT_THAT(result.WithPrefix("unregister tick "),
              ElementsAre("unregister tick id=\"Veltrane.PendingWork\" found=true"));
}

TEST_F(NonBlockingStore, ReloadLeavesTheWorkUnderWayAlone) {
  auto devhost = StartReady(kJoinBob);
  ASSERT_TRUE(SendHeld(*devhost, kLinkUpdate, "chat bob /link CODE-1\n"));
  Messages()["AccountLinked"] = "Linked after the reload";
  devhost_.WriteConfig(config_);
  devhost->Send("console admin Veltrane.Reload\n");
  proxy_.ReleaseHeld();
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 1, 15s));
  const DevhostResult result = devhost->Stop();
  // The reply was composed with the settings of the moment the command was typed.
  EXPECT_THAT(NotifiedTexts(result, "bob"), ElementsAre("Account linked"));
  EXPECT_EQ(database_.Rows().at(0), LinkedBob(1, "discord-1"));
}

// The connection made at load waits for the first tick and for its server; until it has ended the
// status says so.
TEST_F(NonBlockingStore, StatusSaysConnectingUntilTheConnectionMadeAtLoadHasEnded) {
  config_["Database"]["MysqlTimeout"] = 1;
  proxy_.SetStalled(true);
  const DevhostResult result = Run("join admin\nconsole admin Veltrane.Status\n");
  EXPECT_THAT(ServerMessages(result), Contains(HasSubstr("Database: connecting to 127.0.0.1:" +
                                                         std::to_string(proxy_.Port()))));
}

}  // namespace
}  // namespace veltrane::test
