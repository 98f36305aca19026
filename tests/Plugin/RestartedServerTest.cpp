// The link command after the database server restarted under a link update whose answer was lost:
// the server hands the update's session id out again, here to another game server's session under
// the same database user. These tests restart the sandbox server.

#include <gmock/gmock.h>

#include <chrono>
#include <thread>

#include "support/PluginTest.h"
#include "support/FaultProxy.h"
#include "support/SandboxServer.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

class RestartedServer : public PluginTest {};

// Fixed fault: Bob's next command killed another game server's session that had been given the
// id of the session his lost update was sent on; that server's statement failed with "Lost
// connection".
TEST_F(RestartedServer, NextCommandLeavesAnotherGameServersSessionWithTheLostUpdatesIdAlone) {
  SandboxServer::RequireServing(database_.Settings().port);
  SandboxServer::RestartWithRoomForIds(database_);
  FaultProxy proxy(database_.Settings().host, database_.Settings().port);
  config_["Database"]["MysqlPort"] = proxy.Port();
  config_["Database"]["MysqlTimeout"] = 1;
  database_.InsertCode("discord-a", "CODE-A");
  database_.InsertCode("discord-b", "CODE-B");
  const std::vector<PlayerDiscordRow> before = database_.Rows();
  auto devhost = Start("join bob eos=EOS-BOB id=101 tribe_id=7 tribe=Raiders\necho ready\n");
  ASSERT_TRUE(devhost->WaitForLine("echo \"ready\""));
  const auto plugin_sessions = database_.Query(
      "SELECT ID FROM information_schema.PROCESSLIST WHERE DB = DATABASE() AND ID <> "
      "CONNECTION_ID()");
  ASSERT_EQ(plugin_sessions.size(), 1u);
  const unsigned long update_session = std::stoul(*plugin_sessions.at(0).at(0));

  // His update is held on its way, and the server cannot be reached to settle it at once.
  proxy.HoldToServer("UPDATE player_discord SET eos_id");
  devhost->Send("chat bob /link CODE-A\n");
  for (int i = 0; i < 1500 && proxy.Held() == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_GT(proxy.Held(), 0u);
  proxy.HoldToServer("");
  proxy.SetRefusing(true);
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 1, 30s));

  SandboxServer::Run("restart");
  proxy.SetRefusing(false);
  std::unique_ptr<SandboxDatabase> other_game_server =
      SandboxServer::SessionWithId(database_, update_session);
  ASSERT_NE(other_game_server, nullptr) << "no session got the id " << update_session;
  const long kills_before = SandboxServer::KillStatements(database_);
  // Beyond the first cool-down (5 s), after which the update's server is asked again.
  devhost->Send("sleep 5500\nchat bob /link CODE-B\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 2, 30s));
  const DevhostResult result = devhost->Stop();

  EXPECT_EQ(SandboxServer::KillStatements(database_), kills_before);
  // A killed session would have been replaced by the library's reconnection.
  EXPECT_EQ(SandboxServer::SessionId(*other_game_server), update_session);
  std::vector<std::string> texts;
  for (const std::string& line : result.WithPrefix("notify bob ")) texts.push_back(TextOf(line));
  EXPECT_THAT(texts, ElementsAre("Database unavailable", "Account linked"));
  PlayerDiscordRow linked = before[1];
  linked.eos_id = "EOS-BOB";
  linked.player_id = 101;
  linked.character_name = "bob";
  linked.tribe_id = 7;
  linked.tribe_name = "Raiders";
  linked.code = "Linked";
  EXPECT_EQ(database_.Rows(), (std::vector{before[0], linked}));
}

}  // namespace
}  // namespace veltrane::test
