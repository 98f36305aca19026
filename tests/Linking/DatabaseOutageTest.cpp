// The plugin end to end while its database is away, put behind a fault proxy: what players are
// told, what the log says, and that the game's logout still runs once. Link updates whose answer
// is lost: OnePlayerOneLinkTest.cpp.

#include <gmock/gmock.h>

#include <chrono>

#include "support/FaultProxy.h"
#include "support/PluginTest.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

using namespace std::chrono_literals;


class DatabaseOutage : public PluginTest {
 protected:
  DatabaseOutage() {
    Settings()["debug"] = true;
    Settings()["UpdatePlayerDataOnLogout"] = true;
    server_ = ConnectThrough(proxy_);
  }

  std::string UnavailablePrefix() const {
    return "[error] Database server " + server_ + " (database " + database_.Name() +
           ") unavailable: ";
  }
  std::string AvailablePrefix() const {
    return "[info] Database server " + server_ + " available again after ";
  }

  FaultProxy proxy_{database_.Settings().host, database_.Settings().port};
  std::string server_;
};

TEST_F(DatabaseOutage, PlayerIsToldTheDatabaseIsUnavailableNeverThatTheCodeIsWrong) {
  database_.InsertCode("discord-1", "CODE-1");
  InsertLinkedRow("EOS-ALICE", 102, "Alice", 0, "", "Linked");
  proxy_.SetRefusing(true);
  const DevhostResult result = Run(std::string(kJoinBob) +
                                   "join alice eos=EOS-ALICE\nchat bob /link CODE-1\n"
                                   "chat bob /link WRONG\nchat alice /link CODE-1\n"
                                   "logout bob\nlogout alice\n");

  EXPECT_THAT(PlayerMessages(result), ElementsAre(HasSubstr("text=\"Database unavailable\""),
                                                  HasSubstr("text=\"Database unavailable\""),
                                                  HasSubstr("text=\"Database unavailable\"")));
  EXPECT_EQ(FieldText(PlayerMessages(result).at(0), "rgba"), kErrorRgba);
  EXPECT_EQ(result.Count("http-post "), 0u);
  EXPECT_EQ(database_.Rows().at(0).code, "CODE-1");
  EXPECT_EQ(database_.Rows().at(1).code, "Linked");
  EXPECT_THAT(result.WithPrefix("game-logout "),
              ElementsAre("game-logout bob", "game-logout alice"));
  // The load says why once; nothing for each refused statement.
  const std::vector<std::string> log = VeltraneLog(result);
  ASSERT_EQ(log.size(), 2u) << ::testing::PrintToString(log);
  EXPECT_EQ(log[0], "[critical] Failed to open connection!");
  EXPECT_THAT(log[1], StartsWith(UnavailablePrefix()));
  EXPECT_THAT(log[1], HasSubstr("Can't connect"));
}

// Fixed fault: a game server that started while its database was down linked nobody until the
// plugin was reloaded.
TEST_F(DatabaseOutage, DatabaseBackAfterLoadLinksAfterTheCoolDownWithoutReload) {
  database_.InsertCode("discord-1", "CODE-1");
  proxy_.SetRefusing(true);
  auto devhost = Start(std::string(kJoinBob) + "chat bob /link CODE-1\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob "));

  proxy_.SetRefusing(false);
  devhost->Send(std::string(kWaitOutCoolDown) + "chat bob /link CODE-1\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 2, 30s));
  const DevhostResult result = devhost->Stop();

  EXPECT_THAT(PlayerMessages(result), ElementsAre(HasSubstr("text=\"Database unavailable\""),
                                                  HasSubstr("text=\"Account linked\"")));
  EXPECT_EQ(database_.Rows().at(0),
            (PlayerDiscordRow{1, "EOS-BOB", "discord-1", 101, "bob", 7, "Raiders", "Linked"}));
  const std::vector<std::string> log = VeltraneLog(result);
  ASSERT_EQ(log.size(), 4u) << ::testing::PrintToString(log);
  EXPECT_THAT(log[2], StartsWith(AvailablePrefix()));
  EXPECT_EQ(log[3], "[info] The user with ID EOS-BOB linked his account with discord.");
}

TEST_F(DatabaseOutage, LogoutDuringAnOutageSkipsTheRefreshAndLogsOutOnce) {
  InsertLinkedRow("EOS-BOB", 101, "Bob", 7, "Old Tribe", "Linked");
  auto devhost = StartReady(kJoinBob);
  proxy_.DropConnections();
  proxy_.SetRefusing(true);
  devhost->Send("logout bob\n" + std::string(kJoinBob) + "logout bob\n");
  const DevhostResult result = devhost->Stop();

  EXPECT_THAT(result.WithPrefix("game-logout "), ElementsAre("game-logout bob", "game-logout bob"));
  EXPECT_EQ(database_.Rows().at(0).code, "Linked");
  const std::vector<std::string> log = VeltraneLog(result);
  ASSERT_EQ(log.size(), 1u) << ::testing::PrintToString(log);
  EXPECT_THAT(log[0], StartsWith(UnavailablePrefix()));
}

TEST_F(DatabaseOutage, HostListFailsOverToTheNextServerAfterOneFailedAttempt) {
  FaultProxy second(database_.Settings().host, database_.Settings().port);
  const std::string& first_server = server_;
  const std::string second_server = "127.0.0.1:" + std::to_string(second.Port());
  config_["Database"]["MysqlHost"] = first_server + "," + second_server;
  database_.InsertCode("discord-1", "CODE-1");
  database_.InsertCode("discord-2", "CODE-2");
  auto devhost = StartReady(std::string(kJoinBob) + "join alice eos=EOS-ALICE\n");

  proxy_.SetRefusing(true);
  proxy_.DropConnections();
  devhost->Send("chat bob /link CODE-1\nchat bob /link CODE-1\nchat alice /link CODE-2\n");
  ASSERT_TRUE(devhost->WaitForLine("notify alice ", 1, 30s));
  const DevhostResult result = devhost->Stop();

  EXPECT_THAT(PlayerMessages(result), ElementsAre(HasSubstr("text=\"Database unavailable\""),
                                                  HasSubstr("text=\"Account linked\""),
                                                  HasSubstr("text=\"Account linked\"")));
  EXPECT_EQ(database_.Rows().at(0).eos_id, "EOS-BOB");
  EXPECT_EQ(database_.Rows().at(1).eos_id, "EOS-ALICE");
  const std::vector<std::string> log = VeltraneLog(result);
  EXPECT_THAT(log, ::testing::Contains("[info] Connected to database server " + first_server));
  EXPECT_THAT(log, ::testing::Contains("[info] Connected to database server " + second_server));
  EXPECT_THAT(log, ::testing::Contains(StartsWith(UnavailablePrefix())));
}

}  // namespace
}  // namespace veltrane::test
