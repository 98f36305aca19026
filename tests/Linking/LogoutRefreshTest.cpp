// The logout hook: the refresh of a linked player's row, and the game's own logout, which runs
// exactly once whatever happens before it.

#include <gmock/gmock.h>

#include "support/PluginTest.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

constexpr char kBobLogsOut[] =
    "join bob eos=EOS-BOB id=101 name=\"Bob the Second\" tribe_id=9 tribe=\"New Tribe\"\n"
    "logout bob\n";

class LogoutRefreshCases : public PluginTest {
 protected:
  LogoutRefreshCases() {
    Settings()["UpdatePlayerDataOnLogout"] = true;
    Settings()["debug"] = true;
  }

  const PlayerDiscordRow kLinkedBob{1,     "EOS-BOB", "discord-linked", 101,
                                    "Bob", 7,         "Old Tribe",      "Linked"};
  void InsertLinkedBob() { InsertLinkedRow("EOS-BOB", 101, "Bob", 7, "Old Tribe", "Linked"); }
};
using LogoutRefresh = InBothStoreModes<LogoutRefreshCases>;

TEST_P(LogoutRefresh, RefreshWritesUpdatedWithTheCurrentNames) {
  InsertLinkedBob();
  const DevhostResult result = Run(kBobLogsOut);
  EXPECT_THAT(database_.Rows(),
              ElementsAre(PlayerDiscordRow{1, "EOS-BOB", "discord-linked", 101, "Bob the Second", 9,
                                           "New Tribe", "Updated"}));
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[info] The user with EOS-ID EOS-BOB was updated on logout."));
  EXPECT_THAT(result.WithPrefix("game-logout "), ElementsAre("game-logout bob"));
}

TEST_P(LogoutRefresh, RefreshOffTouchesNothing) {
  InsertLinkedBob();
  Settings()["UpdatePlayerDataOnLogout"] = false;
  const DevhostResult result = Run(kBobLogsOut);
  EXPECT_THAT(database_.Rows(), ElementsAre(kLinkedBob));
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
  EXPECT_THAT(result.WithPrefix("game-logout "), ElementsAre("game-logout bob"));
}

TEST_P(LogoutRefresh, OwnerlessControllerOnlyLogsOut) {
  InsertLinkedBob();
  const DevhostResult result = Run("join bob eos=EOS-BOB id=101 noowner\nlogout bob\n");
  EXPECT_THAT(database_.Rows(), ElementsAre(kLinkedBob));
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
  EXPECT_THAT(result.WithPrefix("game-logout "), ElementsAre("game-logout bob"));
}

TEST_P(LogoutRefresh, NullControllerIsPassedOnToTheGame) {
  const DevhostResult result = Run("logout -\n");
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
  EXPECT_THAT(result.WithPrefix("game-logout "), ElementsAre("game-logout -"));
}

TEST_P(LogoutRefresh, PlayerWithoutRowOrWithPlayerIdZeroWritesNothing) {
  InsertLinkedRow("EOS-EVE", 0, "Eve", 3, "Tribe", "Linked");
  const std::vector<PlayerDiscordRow> before = database_.Rows();
  const DevhostResult result =
      Run(std::string(kBobLogsOut) + "join eve eos=EOS-EVE id=202\nlogout eve\n");
  EXPECT_EQ(database_.Rows(), before);
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
  EXPECT_THAT(result.WithPrefix("game-logout "), ElementsAre("game-logout bob", "game-logout eve"));
}

TEST_P(LogoutRefresh, PlayerWithoutPlayerStateStoresAnEmptyTribeName) {
  InsertLinkedBob();
  Run("join bob eos=EOS-BOB id=101 nostate tribe_id=9\nlogout bob\n");
  const PlayerDiscordRow row = database_.Rows().at(0);
  EXPECT_EQ(row.tribe_name, "");
  EXPECT_EQ(row.tribe_id, 9);
  EXPECT_EQ(row.code, "Updated");
}

TEST_P(LogoutRefresh, DebugOffLogsNothing) {
  InsertLinkedBob();
  Settings()["debug"] = false;
  const DevhostResult result = Run(kBobLogsOut);
  EXPECT_EQ(database_.Rows().at(0).code, "Updated");
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
}

TEST_P(LogoutRefresh, FailedUpdateIsLoggedAsAWarning) {
  InsertLinkedBob();
  database_.Execute(
      "CREATE TRIGGER refuse_refresh BEFORE UPDATE ON player_discord FOR EACH ROW "
      "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'");
  const DevhostResult result = Run(kBobLogsOut);
  EXPECT_THAT(database_.Rows(), ElementsAre(kLinkedBob));
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[error] (" VELTRANE_SOURCE_DIR
                          "/src/Database/MysqlDB.h MySql::UpdateAccountLogout) The server refused "
                          "the statement: error 1644: refused",
                          "[warning] The user with EOS-ID EOS-BOB was NOT updated on logout."));
  EXPECT_THAT(result.WithPrefix("game-logout "), ElementsAre("game-logout bob"));
}

TEST_P(LogoutRefresh, NonAsciiEosIdReachesTheStoreWithQuestionMarks) {
  InsertLinkedRow("EOS-?-1", 101, "Bob", 7, "Old Tribe", "Linked");
  const DevhostResult result = Run("join bob eos=\"EOS-é-1\" id=101\nlogout bob\n");
  EXPECT_EQ(database_.Rows().at(0).code, "Updated");
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[info] The user with EOS-ID EOS-?-1 was updated on logout."));
}

TEST_P(LogoutRefresh, ReloadThatMistypesOrDropsSettingsKeepsRefreshing) {
  // A mistyped or missing Settings used to go live at reload and fail every later refresh.
  InsertLinkedBob();
  auto devhost = StartReady(
      "join bob eos=EOS-BOB id=101 name=\"Bob the Second\" tribe_id=9 tribe=\"New Tribe\"\n");
  Settings()["UpdatePlayerDataOnLogout"] = "yes";
  devhost_.WriteConfig(config_);
  devhost->Send("rcon Veltrane.Reload\n");
  ASSERT_TRUE(devhost->WaitForLine("rcon-reply id=1 "));
  config_.erase("Settings");
  devhost_.WriteConfig(config_);
  devhost->Send("rcon Veltrane.Reload\nlogout bob\n");
  const DevhostResult result = devhost->Stop();
  EXPECT_THAT(result.WithPrefix("rcon-reply "),
              ElementsAre("rcon-reply id=1 text=\"Settings.UpdatePlayerDataOnLogout: expected true "
                          "or false, found text\"",
                          "rcon-reply id=2 text=\"Settings: section missing, expected an object\""));
  EXPECT_EQ(database_.Rows().at(0).code, "Updated");
  EXPECT_THAT(result.WithPrefix("game-logout "), ElementsAre("game-logout bob"));
}

INSTANTIATE_IN_BOTH_STORE_MODES(LogoutRefresh);

}  // namespace
}  // namespace veltrane::test
