// The store with Database.NonBlocking: commands and logouts return at once and their work goes on
// over the devhost's ticks. What players are told and what the table holds when players leave,
// type fast, flood the queue, when the server stalls or refuses, and when the plugin is unloaded or
// reloaded meanwhile. The database sits behind a fault proxy that holds statements on their way.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

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
using ::testing::Not;

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
  // One episode: its first refusal, and its count once fewer wait.
  EXPECT_THAT(VeltraneLog(result),
              IsSupersetOf({"[warning] 1024 link commands wait for the database; new ones are "
                            "refused until fewer wait.",
                            "[warning] 3 link commands were refused while 1024 waited for the "
                            "database."}));
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

// Fixed fault: the unload started or finished the connection made at load (table, indexes), and
// a stalled server held it for MysqlTimeout.
TEST_F(NonBlockingStore, UnloadGivesUpTheConnectionMadeAtLoad) {
  config_["Database"]["MysqlTimeout"] = 5;
  proxy_.SetStalled(true);
  const DevhostResult result = Run("echo loaded\n");
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
}

// Fixed fault: the unload waited by the MysqlTimeout of a reload (23.8 s instead of 2 s), though
// the store keeps the one it was made with until the next load.
TEST_F(NonBlockingStore, UnloadWaitsByTheTimeoutReadAtLoad) {
  config_["Database"]["MysqlTimeout"] = 1;
  Settings()["UpdatePlayerDataOnLogout"] = true;
  std::string players = "join admin\n";
  for (int i = 0; i < 20; ++i) players += fmt::format("join p{0} eos=EOS-{0} id={1}\n", i, 100 + i);
  auto devhost = StartReady(players);
  proxy_.SetDelay(100ms, 100ms);
  std::string logouts;
  for (int i = 0; i < 20; ++i) logouts += fmt::format("logout p{}\n", i);
  config_["Database"]["MysqlTimeout"] = 60;
  devhost_.WriteConfig(config_);
  devhost->Send(logouts + "console admin Veltrane.Reload\nunload\n");
  ASSERT_TRUE(devhost->WaitForLine("unload ok", 1, 60s));
  const DevhostResult result = devhost->Stop();
  EXPECT_THAT(VeltraneLog(result), Contains(HasSubstr("[warning] The plugin was unloaded with ")));
}

// Fixed fault: an admin command ran its statements between a held link update and the rest of
// that link. After an update held past MysqlTimeout, a lookup's new session was taken for the
// update's own: no KILL was sent, the player was told DatabaseUnavailable, and the update linked
// his row once the network let it through. An unlink of a held update deleted the row, and the
// player was then told linked and given the group.
struct AdminCommandRow {
  const char* command;
  bool update_times_out;  // held past MysqlTimeout, else released while the admin waits
  const char* told;
  const char* reply;
  std::size_t rows_of_bob;  // once the held update was let through
  std::vector<std::string> group_steps;
};
class AdminCommandDuringALink : public NonBlockingStore,
                                public ::testing::WithParamInterface<AdminCommandRow> {};

TEST_P(AdminCommandDuringALink, EndsAfterTheLinkInAgreementWithWhatThePlayerWasTold) {
  const AdminCommandRow& row = GetParam();
  constexpr char kBobEos[] = "000BBBBB000BBBBB000BBBBB000BBBBB";
  Settings()["UsePermissions"] = true;
  config_["Database"]["MysqlTimeout"] = 2;
  auto devhost = StartReady(fmt::format("perms on\njoin admin\njoin bob eos={} id=101\n", kBobEos));
  ASSERT_TRUE(SendHeld(*devhost, kLinkUpdate, "chat bob /link CODE-1\n"));
  devhost->Send(fmt::format("console admin {} {}\n", row.command, kBobEos));
  if (!row.update_times_out) {
    std::this_thread::sleep_for(300ms);  // the admin command waits for the held update meanwhile
    proxy_.ReleaseHeld();
  }
  ASSERT_TRUE(devhost->WaitForLine("server-message admin ", 1, 30s));
  proxy_.ReleaseHeld();
  std::this_thread::sleep_for(1s);  // for a held update that could still land
  const DevhostResult result = devhost->Stop();

  EXPECT_THAT(NotifiedTexts(result, "bob"), ElementsAre(row.told));
  EXPECT_THAT(ServerMessages(result), Contains(HasSubstr(row.reply)));
  const std::vector<PlayerDiscordRow> rows = database_.Rows();
  EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                          [&](const PlayerDiscordRow& r) { return r.eos_id == kBobEos; }),
            row.rows_of_bob);
  std::vector<std::string> group_steps;
  for (const std::string& line : result.WithPrefix("group-"))
    group_steps.push_back(line.substr(0, line.find(' ')));
  EXPECT_EQ(group_steps, row.group_steps);
}

INSTANTIATE_TEST_SUITE_P(
    LookupAndUnlink, AdminCommandDuringALink,
    ::testing::Values(
        AdminCommandRow{"Veltrane.Linked", true, "Database unavailable", "No link for", 0, {}},
        AdminCommandRow{"Veltrane.Unlink",
                        false,
                        "Account linked",
                        "Unlinked",
                        0,
                        {"group-add", "group-remove"}}),
    [](const auto& info) { return std::string(info.param.command).substr(9); });

// Fixed fault: an admin command waited out the connection made at load (30 s on a stalled
// server) and then tried one of its own; with a host list, the failure it left was charged to
// the healthy second server.
TEST_F(NonBlockingStore, AdminCommandWhileTheStoreConnectsAtLoadIsAnsweredAtOnce) {
  const std::string first = "127.0.0.1:" + std::to_string(proxy_.Port());
  for (const bool host_list : {false, true}) {
    SCOPED_TRACE(host_list ? "host list" : "one server");
    if (host_list) {
      config_["Database"]["MysqlHost"] =
          first + ",127.0.0.1:" + std::to_string(database_.Settings().port);
    }
    proxy_.SetStalled(true);
    auto devhost = Start(
        "join admin\nconsole admin Veltrane.Linked 000BBBBB000BBBBB000BBBBB000BBBBB\n"
        "console admin Veltrane.Status\n");
    ASSERT_TRUE(devhost->WaitForLine("server-message admin ", 2, 10s));
    proxy_.SetStalled(false);
    const DevhostResult result = devhost->Stop();
    const std::vector<std::string> messages = ServerMessages(result);
    ASSERT_GE(messages.size(), 2u);
    EXPECT_THAT(messages[0], HasSubstr("Database unavailable; try again later"));
    EXPECT_THAT(messages[1], HasSubstr("Database: connecting to " + first));
    EXPECT_THAT(VeltraneLog(result), Not(Contains(HasSubstr("unavailable"))));
  }
}

// Fixed fault: an admin's statement still under way at the command's deadline was ended there and
// read as a lost connection: the healthy server was logged unavailable, and the next link was told
// DatabaseUnavailable for the cool-down. MysqlTimeout 0 leaves the statement no timeout of its own.
TEST_F(NonBlockingStore, AdminStatementEndedAtTheCommandsDeadlineStartsNoOutage) {
  config_["Database"]["MysqlTimeout"] = 0;
  auto devhost = StartReady(std::string("join admin\n") + kJoinBob + "chat bob /link CODE-1\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 1, 30s));
  ASSERT_TRUE(SendHeld(*devhost, "SELECT id, eos_id, discord_id",
                       "console admin Veltrane.Linked 000BBBBB000BBBBB000BBBBB000BBBBB\n"));
  ASSERT_TRUE(devhost->WaitForLine("server-message admin ", 1, 30s));
  devhost->Send("chat bob /link CODE-2\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 2, 30s));
  proxy_.ReleaseHeld();
  const DevhostResult result = devhost->Stop();
  EXPECT_THAT(ServerMessages(result),
              ElementsAre(HasSubstr("Database unavailable; try again later")));
  EXPECT_THAT(NotifiedTexts(result, "bob"), ElementsAre("Account linked", "Already linked"));
  EXPECT_THAT(VeltraneLog(result), Not(Contains(HasSubstr("unavailable"))));
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
