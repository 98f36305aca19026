// The link command after the database server restarted under a link update whose answer was lost:
// the server hands the update's session id out again, here to another game server's session under
// the same database user. These tests restart the sandbox server.

#include <gmock/gmock.h>

#include <chrono>
#include <thread>

#include "support/FaultProxy.h"
#include "support/PluginTest.h"
#include "support/SandboxServer.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAre;
using namespace std::chrono_literals;

// Held on its way, the update never ran; its answer held, it ran before the restart.
struct HeldUpdate {
  const char* name;
  bool update_ran;
};
class RestartedServer : public PluginTest, public ::testing::WithParamInterface<HeldUpdate> {};

// Fixed fault: Bob's next command killed another game server's session that had been given the
// id of the session his lost update was sent on; that server's statement failed with "Lost
// connection". Fixed fault: an update that landed while no session could be opened to end it was
// forgotten: at his next command he was "already linked" without his link being finished.
TEST_P(RestartedServer, LinkUpdateInDoubtIsSettledLeavingAnotherGameServersSessionWithItsIdAlone) {
  const bool update_ran = GetParam().update_ran;
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

  // His update or its answer is held, and the server cannot be reached to settle it at once.
  if (update_ran) {
    proxy.HoldToClient("Rows matched:");
  } else {
    proxy.HoldToServer("UPDATE player_discord SET eos_id");
  }
  devhost->Send("chat bob /link CODE-A\n");
  for (int i = 0; i < 1500 && proxy.Held() == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_GT(proxy.Held(), 0u);
  proxy.HoldToServer("");
  proxy.HoldToClient("");
  proxy.SetRefusing(true);
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", 1, 30s));

  SandboxServer::Run("restart");
  proxy.SetRefusing(false);
  std::unique_ptr<SandboxDatabase> other_game_server =
      SandboxServer::SessionWithId(database_, update_session);
  ASSERT_NE(other_game_server, nullptr) << "no session got the id " << update_session;
  const long kills_before = SandboxServer::KillStatements(database_);
  // Beyond the first cool-down (5 s), after which the tick asks the update's server again.
  devhost->Send("sleep 5500\nchat bob /link CODE-B\n");
  ASSERT_TRUE(devhost->WaitForLine("notify bob ", update_ran ? 3 : 2, 30s));
  const DevhostResult result = devhost->Stop();

  EXPECT_EQ(SandboxServer::KillStatements(database_), kills_before);
  // A killed session would have been replaced by the library's reconnection.
  EXPECT_EQ(SandboxServer::SessionId(*other_game_server), update_session);
  std::vector<std::string> texts;
  for (const std::string& line : result.WithPrefix("notify bob ")) texts.push_back(TextOf(line));
  std::vector<std::string> told{"Database unavailable", "Account linked", "Already linked"};
  if (!update_ran) told.pop_back();
  EXPECT_EQ(texts, told);
  PlayerDiscordRow linked = before[update_ran ? 0 : 1];
  linked.eos_id = "EOS-BOB";
  linked.player_id = 101;
  linked.character_name = "bob";
  linked.tribe_id = 7;
  linked.tribe_name = "Raiders";
  linked.code = "Linked";
  const std::vector<PlayerDiscordRow> after =
      update_ran ? std::vector{linked, before[1]} : std::vector{before[0], linked};
  EXPECT_EQ(database_.Rows(), after);
}

INSTANTIATE_TEST_SUITE_P(, RestartedServer,
                         ::testing::Values(HeldUpdate{"HeldOnItsWay", false},
                                           HeldUpdate{"RanAndItsAnswerHeld", true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace veltrane::test
