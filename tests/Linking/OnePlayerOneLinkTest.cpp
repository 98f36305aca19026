// One player, one link, whatever the network does: link updates whose answer is lost, held on
// their way or waiting for a row another session holds, decided by their row; and the player ids
// that count as linked. The database sits behind a fault proxy; a second SQL session holds rows,
// and the rows are compared byte for byte before and after.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <chrono>
#include <map>
#include <optional>

#include "support/FaultProxy.h"
#include "support/PluginTest.h"
#include "support/WaitUntil.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

using namespace std::chrono_literals;

constexpr char kJoinAlice[] = "join alice eos=EOS-ALICE id=102 tribe_id=8 tribe=Weavers\n";
// What the link update begins with, and what the server's answer to it holds.
constexpr char kLinkUpdate[] = "UPDATE player_discord SET eos_id";
constexpr char kUpdateAnswer[] = "Rows matched:";

PlayerDiscordRow LinkedTo(PlayerDiscordRow row, const std::string& eos_id, int player_id,
                          const std::string& character_name, int tribe_id,
                          const std::string& tribe_name) {
  row.eos_id = eos_id;
  row.player_id = player_id;
  row.character_name = character_name;
  row.tribe_id = tribe_id;
  row.tribe_name = tribe_name;
  row.code = "Linked";
  return row;
}

class OnePlayerOneLinkCases : public PluginTest {
 protected:
  OnePlayerOneLinkCases() {
    config_["Database"]["MysqlHost"] = "127.0.0.1";
    config_["Database"]["MysqlPort"] = proxy_.Port();
    config_["Database"]["MysqlTimeout"] = 1;
    database_.InsertCode("discord-a", "CODE-A");
    database_.InsertCode("discord-b", "CODE-B");
    database_.InsertCode("discord-c", "CODE-C");
  }

  // The sessions on this fixture's database other than the test's own: the plugin's.
  int PluginSessions() {
    return std::stoi(*database_
                          .Query("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = "
                                 "DATABASE() AND ID <> CONNECTION_ID()")
                          .at(0)
                          .at(0));
  }
  // Waits until at most count of them are left: a session that the server still had has ended,
  // and with it whatever statement it had received.
  bool WaitForPluginSessions(int count) {
    return WaitUntil(
        30s, [&] { return PluginSessions() <= count; }, 20ms);
  }

  static bool WaitForHeld(const FaultProxy& proxy) {
    return WaitUntil(15s, [&] { return proxy.Held() > 0; });
  }

  // Linked as the store counts it: his EOS id and a player id, whatever the code.
  void ExpectNoEosIdHoldsTwoLinkedRows() {
    std::map<std::string, int> linked_rows;
    for (const PlayerDiscordRow& row : database_.Rows()) {
      if (row.player_id == 0 || row.eos_id == "0" || row.eos_id.empty()) continue;
      EXPECT_EQ(++linked_rows[row.eos_id], 1) << row.eos_id << " holds two linked rows";
    }
  }

  FaultProxy proxy_{database_.Settings().host, database_.Settings().port};
};
using OnePlayerOneLink = InBothStoreModes<OnePlayerOneLinkCases>;

// Fixed fault: an update that the plugin gave up on reached the server later and ran there, after
// the player had linked another code: his EOS id held two linked rows.
TEST_P(OnePlayerOneLink, UpdateHeldOnItsWayNeverRunsOnceThePlayerWasAnswered) {
  auto devhost = StartReady(std::string(kJoinBob));
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  proxy_.HoldToServer(kLinkUpdate);
  devhost->Send("chat bob /link CODE-A\n");
  ASSERT_TRUE(WaitForHeld(proxy_));
  proxy_.HoldToServer("");
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 1, 30s));
  devhost->Send("chat bob /link CODE-B\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 2, 30s));
  // The network lets go of the first update; its session must be gone, not waiting for it.
  proxy_.ReleaseHeld();
  const DevhostResult result = devhost->Stop();
  ASSERT_TRUE(WaitForPluginSessions(0)) << "the plugin's sessions did not end";

  EXPECT_THAT(NotifiedTexts(result, "bob"), ElementsAre("Database unavailable", "Account linked"));
  EXPECT_EQ(database_.Rows(),
            (std::vector{before[0], LinkedTo(before[1], "EOS-BOB", 101, "bob", 7, "Raiders"),
                         before[2]}));
  ExpectNoEosIdHoldsTwoLinkedRows();
}

// Fixed fault: with the row held by another session past MysqlTimeout, the player was told
// DatabaseUnavailable, linked a second code, and the server finished the first update once the
// row was let go.
TEST_P(OnePlayerOneLink, UpdateWaitingForARowAnotherSessionHoldsIsEndedByTheServer) {
  config_["Database"]["MysqlTimeout"] = 2;
  Settings()["debug"] = true;
  auto devhost = StartReady(std::string(kJoinBob));
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  std::optional<SandboxDatabase> holder(std::in_place, database_.Settings(), database_.Name());
  holder->Execute("START TRANSACTION");
  holder->Query("SELECT id FROM player_discord WHERE code = 'CODE-A' FOR UPDATE");
  devhost->Send("chat bob /link CODE-A\nchat bob /link CODE-B\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 2, 30s));
  EXPECT_EQ(database_
                .Query("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = DATABASE() "
                       "AND INFO LIKE 'UPDATE player_discord%'")
                .at(0)
                .at(0),
            "0")
      << "the server still holds the plugin's update";
  holder->Execute("COMMIT");
  holder.reset();
  const DevhostResult result = devhost->Stop();
  ASSERT_TRUE(WaitForPluginSessions(0));

  EXPECT_THAT(NotifiedTexts(result, "bob"), ElementsAre("Database unavailable", "Account linked"));
  EXPECT_THAT(VeltraneLog(result),
              ::testing::Contains(HasSubstr(
                  "MySql::UpdateAccount) The server refused the statement: error 1969: ")));
  EXPECT_EQ(database_.Rows(),
            (std::vector{before[0], LinkedTo(before[1], "EOS-BOB", 101, "bob", 7, "Raiders"),
                         before[2]}));
  ExpectNoEosIdHoldsTwoLinkedRows();
}

// Fixed fault: Alice's update of code A was in doubt on server 1; server 2 linked A to Bob and
// Alice to code C; her next command on server 1 added her group, announced her again and told
// her AccountLinked for Bob's row.
TEST_P(OnePlayerOneLink, LinkInDoubtIsFinishedOnlyWhenItsVeryRowHoldsThePlayer) {
  Settings()["UsePermissions"] = true;
  Discord()["EnableDiscord"] = true;
  Discord()["WebHookUrl"] = "http://127.0.0.1:9/unused";
  auto first_server = StartReady(std::string("perms on\n") + kJoinAlice);
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  // Her update is held on its way, and the server cannot be reached to end it.
  proxy_.HoldToServer(kLinkUpdate);
  first_server->Send("chat alice /link CODE-A\n");
  ASSERT_TRUE(WaitForHeld(proxy_));
  proxy_.HoldToServer("");
  proxy_.SetRefusing(true);
  ASSERT_TRUE(first_server->WaitForLine("notify alice ", 1, 30s));

  nlohmann::json direct = config_;
  direct["Database"]["MysqlHost"] = database_.Settings().host;
  direct["Database"]["MysqlPort"] = database_.Settings().port;
  DevhostRunner second_server(direct);
  const DevhostResult second =
      second_server.Run(WithWaitsForReplies(std::string("perms on\n") + kJoinBob + kJoinAlice +
                                            "chat bob /link CODE-A\nchat alice /link CODE-C\n"));
  EXPECT_THAT(NotifiedTexts(second, "bob"), ElementsAre("Account linked"));
  EXPECT_THAT(NotifiedTexts(second, "alice"), ElementsAre("Account linked"));

  proxy_.SetRefusing(false);
  first_server->Send(std::string(kWaitOutCoolDown) + "chat alice /link CODE-B\n");
  ASSERT_TRUE(first_server->WaitForLine("notify alice ", 2, 30s));
  proxy_.ReleaseHeld();
  const DevhostResult first = first_server->Stop();
  ASSERT_TRUE(WaitForPluginSessions(0));

  EXPECT_THAT(NotifiedTexts(first, "alice"), ElementsAre("Database unavailable", "Already linked"));
  EXPECT_THAT(first.WithPrefix("group-add "), IsEmpty());
  EXPECT_THAT(first.WithPrefix("http-post "), IsEmpty());
  EXPECT_EQ(database_.Rows(),
            (std::vector{LinkedTo(before[0], "EOS-BOB", 101, "bob", 7, "Raiders"), before[1],
                         LinkedTo(before[2], "EOS-ALICE", 102, "alice", 8, "Weavers")}));
  ExpectNoEosIdHoldsTwoLinkedRows();
}

// Fixed fault: with the update's answer lost and the server out of reach, the plugin was unloaded
// and loaded (its links in doubt gone with it), the player linked a second code, and the first
// update, handed to the server afterwards, gave his EOS id a second linked row.
TEST_P(OnePlayerOneLink, UpdateArrivingAfterAReloadAndASecondLinkChangesNothing) {
  auto devhost = StartReady(std::string(kJoinAlice));
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  // Her update is held on its way, and the server cannot be reached to end it: in doubt.
  proxy_.HoldToServer(kLinkUpdate);
  devhost->Send("chat alice /link CODE-A\n");
  ASSERT_TRUE(WaitForHeld(proxy_));
  proxy_.HoldToServer("");
  proxy_.SetRefusing(true);
  ASSERT_TRUE(devhost->WaitForLine("notify alice ", 1, 30s));
  EXPECT_EQ(database_.Rows(), before);

  // The unload's last try cannot reach the server either.
  devhost->Send("unload\n");
  ASSERT_TRUE(devhost->WaitForLine("unload ok", 1, 30s));
  proxy_.SetRefusing(false);
  devhost->Send("load\nchat alice /link CODE-B\n");
  ASSERT_TRUE(devhost->WaitForLine("notify alice ", 2, 30s));
  const std::vector<PlayerDiscordRow> linked_once = {
      before[0], LinkedTo(before[1], "EOS-ALICE", 102, "alice", 8, "Weavers"), before[2]};
  EXPECT_EQ(database_.Rows(), linked_once);
  ExpectNoEosIdHoldsTwoLinkedRows();

  // The network lets go of the first update, on the session of the plugin that is gone.
  ASSERT_GT(proxy_.Held(), 0u);
  proxy_.ReleaseHeld();
  ASSERT_TRUE(WaitForPluginSessions(1)) << "the first plugin's session did not end";
  const DevhostResult result = devhost->Stop();
  ASSERT_TRUE(WaitForPluginSessions(0));

  EXPECT_THAT(NotifiedTexts(result, "alice"),
              ElementsAre("Database unavailable", "Account linked"));
  EXPECT_THAT(result.WithPrefix("load "), ElementsAre("load ok", "load ok"));
  EXPECT_EQ(database_.Rows(), linked_once);
  ExpectNoEosIdHoldsTwoLinkedRows();
}

TEST_P(OnePlayerOneLink, UpdateThatLandedWhileItsAnswerWasLostIsFinishedAtOnce) {
  Settings()["UsePermissions"] = true;
  auto devhost = StartReady(std::string("perms on\n") + kJoinBob);
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  proxy_.HoldToClient(kUpdateAnswer);
  devhost->Send("chat bob /link CODE-A\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 1, 30s));
  proxy_.ReleaseHeld();
  const DevhostResult result = devhost->Stop();

  EXPECT_THAT(NotifiedTexts(result, "bob"), ElementsAre("Account linked"));
  EXPECT_THAT(result.WithPrefix("group-add "),
              ElementsAre("group-add eos=\"EOS-BOB\" group=\"Verified\""));
  EXPECT_EQ(database_.Rows().at(0), LinkedTo(before[0], "EOS-BOB", 101, "bob", 7, "Raiders"));
}

// Fixed fault: an update that timed out on a locked row was told InvalidCode, then landed; the
// player's next try answered AccountAlredyLinked, so he never got his group or the announcement.
TEST_P(OnePlayerOneLink, UpdateThatLandedWhileTheServerWasAwayIsFinishedOnceItAnswers) {
  Settings()["UsePermissions"] = true;
  auto devhost = StartReady(std::string("perms on\n") + kJoinBob);
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  proxy_.HoldToClient(kUpdateAnswer);
  devhost->Send("chat bob /link CODE-A\n");
  ASSERT_TRUE(WaitForHeld(proxy_));
  proxy_.HoldToClient("");
  proxy_.SetRefusing(true);
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 1, 30s));
  // Undecided: he may link no other code meanwhile.
  devhost->Send("chat bob /link CODE-B\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 2, 30s));
  proxy_.SetRefusing(false);
  proxy_.ReleaseHeld();
  // After the cool-down the tick settles it, without a command of his.
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 3, 30s));
  devhost->Send("chat bob /link CODE-B\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 4, 30s));
  const DevhostResult result = devhost->Stop();

  EXPECT_THAT(NotifiedTexts(result, "bob"),
              ElementsAre("Database unavailable", "Database unavailable", "Account linked",
                          "Already linked"));
  EXPECT_THAT(result.WithPrefix("group-add "),
              ElementsAre("group-add eos=\"EOS-BOB\" group=\"Verified\""));
  EXPECT_EQ(database_.Rows(), (std::vector{LinkedTo(before[0], "EOS-BOB", 101, "bob", 7, "Raiders"),
                                           before[1], before[2]}));
}

// Fixed fault: a player whose game reported a negative player id was never "already linked" and
// linked two codes, and his logout refresh never ran.
TEST_P(OnePlayerOneLink, EveryPlayerIdButZeroLinksOnceAndIsRefreshedAtLogout) {
  Settings()["UpdatePlayerDataOnLogout"] = true;
  const std::vector<int> ids = {-2147483647 - 1, -5, 0, 1, 2147483647};
  std::string script;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    database_.InsertCode(fmt::format("discord-{}-1", i), fmt::format("FIRST-{}", i));
    database_.InsertCode(fmt::format("discord-{}-2", i), fmt::format("SECOND-{}", i));
    script += fmt::format("join p{0} eos=EOS-P{0} id={1} tribe_id=3 tribe=T\n", i, ids[i]);
  }
  // The player with id 0 owns a row from elsewhere; his logout must not touch it either.
  InsertLinkedRow("EOS-P2", 77, "Old name", 4, "Old tribe", "Linked");
  for (std::size_t i = 0; i < ids.size(); ++i)
    script += fmt::format("chat p{0} /link FIRST-{0}\nchat p{0} /link SECOND-{0}\n", i);
  for (std::size_t i = 0; i < ids.size(); ++i) script += fmt::format("logout p{}\n", i);
  config_["Database"]["MysqlHost"] = database_.Settings().host;
  config_["Database"]["MysqlPort"] = database_.Settings().port;
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  const DevhostResult result = Run(script);

  std::vector<PlayerDiscordRow> expected = before;
  for (std::size_t i = 0; i < ids.size(); ++i) {
    SCOPED_TRACE(fmt::format("player id {}", ids[i]));
    const std::string player = fmt::format("p{}", i);
    if (ids[i] == 0) {
      EXPECT_THAT(NotifiedTexts(result, player), ElementsAre("Invalid code", "Invalid code"));
      continue;
    }
    EXPECT_THAT(NotifiedTexts(result, player), ElementsAre("Account linked", "Already linked"));
    PlayerDiscordRow& first = expected[3 + 2 * i];
    first = LinkedTo(first, "EOS-P" + std::to_string(i), ids[i], player, 3, "T");
    first.code = "Updated";
  }
  EXPECT_EQ(database_.Rows(), expected);
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[warning] Refused to link a player whose player id is 0.",
                          "[warning] Refused to link a player whose player id is 0."));
  ExpectNoEosIdHoldsTwoLinkedRows();
}

INSTANTIATE_IN_BOTH_STORE_MODES(OnePlayerOneLink);

}  // namespace
}  // namespace veltrane::test
