// The account store when its server is unreachable, restarted or stalled. These tests restart and
// stop the sandbox server itself (scripts/sandbox-db) and leave it running when they end.

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <future>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "CapturingLogSink.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"
#include "RefusingPort.h"
#include "support/FaultProxy.h"
#include "support/SandboxDatabase.h"
#include "support/SandboxServer.h"
#include "support/StoppedProcess.h"
#include "support/StoreAnswers.h"

namespace {

using namespace std::chrono_literals;
using veltrane::test::FaultProxy;
using veltrane::test::SandboxDatabase;
using veltrane::test::SandboxServer;

// Holds the server stopped with SIGSTOP and lets it go on however the test ends.
class StalledServer {
 public:
  explicit StalledServer(pid_t pid) : pid_(pid) { veltrane::test::StopEveryThread(pid_); }
  StalledServer(const StalledServer&) = delete;
  StalledServer& operator=(const StalledServer&) = delete;
  ~StalledServer() { Resume(); }

  void Resume() {
    if (pid_ != 0) ::kill(pid_, SIGCONT);
    pid_ = 0;
  }

 private:
  pid_t pid_;
};

class AccountStoreFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
  }

  std::unique_ptr<MySql> OpenStore(int port, unsigned int timeout_seconds,
                                   veltrane::CoolDownPolicy cool_down = {}) {
    const veltrane::test::SandboxSettings& settings = database_.Settings();
    return std::make_unique<MySql>(settings.host, settings.user, settings.password,
                                   database_.Name(), port, timeout_seconds, cool_down,
                                   [this] { return now_; });
  }

  SandboxDatabase database_;
  // The stores' cool-downs run on this clock, which only the test moves.
  MySql::Clock::time_point now_ = MySql::Clock::now();
};

TEST_F(AccountStoreFaults, UnreachableServerIsOneCriticalLineWithItsReasonAndEveryAnswerFalse) {
  RefusingPort nothing_listens;
  auto store = OpenStore(nothing_listens.port(), 10);

  EXPECT_FALSE(RunToEnd(*store, store->IsPlayerExist("EOS-1")));
  EXPECT_FALSE(RunToEnd(*store, store->IsPlayerIDExist("EOS-1")));
  int row_id = 0;
  EXPECT_FALSE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));
  EXPECT_FALSE(RunToEnd(*store, store->UpdateAccount(1, "EOS-1", "CODE-1", 1, "Rex", 0, "")));
  EXPECT_FALSE(RunToEnd(*store, store->UpdateAccountLogout("Rex", 0, "", "Updated", "EOS-1")));

  const std::vector<CapturedLine> lines = CapturingLogSink::Instance()->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, spdlog::level::critical);
  EXPECT_EQ(lines[0].text, "Failed to open connection!");
  EXPECT_TRUE(IsPluginLogLine(lines[0].formatted, "critical", "Failed to open connection!"))
      << lines[0].formatted;
  // The reason follows; the store answers at once from then on, without a line of its own.
  EXPECT_EQ(lines[1].level, spdlog::level::err);
  EXPECT_TRUE(lines[1].text.starts_with(
      "Database server 127.0.0.1:" + std::to_string(nothing_listens.port()) + " (database " +
      database_.Name() + ") unavailable: "))
      << lines[1].text;
}

TEST_F(AccountStoreFaults, FirstStatementAfterServerRestartSucceedsThroughReconnection) {
  SandboxServer::RequireServing(database_.Settings().port);
  auto store = OpenStore(database_.Settings().port, 10);
  database_.InsertCode("discord-1", "CODE-1");
  int row_id = 0;
  ASSERT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));

  SandboxServer::Run("restart");

  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));
  EXPECT_TRUE(RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", "CODE-1", 1, "Rex", 0, "")));
  EXPECT_TRUE(RunToEnd(*store, store->IsPlayerIDExist("EOS-1")));
  EXPECT_TRUE(CapturingLogSink::Instance()->Lines().empty());
}

// Fixed fault: without read and write timeouts a stalled server held the game thread forever.
TEST_F(AccountStoreFaults, StatementOnStalledServerFailsAndTheNextWorksAfterItResumes) {
  SandboxServer::RequireServing(database_.Settings().port);
  constexpr unsigned int kTimeoutSeconds = 2;
  constexpr veltrane::CoolDownPolicy kCoolDown{500ms, 500ms};
  auto store = OpenStore(database_.Settings().port, kTimeoutSeconds, kCoolDown);
  database_.InsertCode("discord-1", "CODE-1");
  int row_id = 0;
  ASSERT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));

  StalledServer stalled(SandboxServer::Pid());
  const auto started = std::chrono::steady_clock::now();
  std::future<Answered<bool>> answer = std::async(std::launch::async, [&store] {
    int stalled_row_id = 0;
    return RunToEnd(*store, store->IsCodeExist("CODE-1", stalled_row_id));
  });
  // Generous against a loaded machine, yet far short of "never": only a hang fails this.
  const bool came_back = answer.wait_for(kTimeoutSeconds * 10s) == std::future_status::ready;
  const auto waited = std::chrono::steady_clock::now() - started;
  stalled.Resume();
  ASSERT_TRUE(came_back) << "a statement on the stalled server did not time out";
  EXPECT_FALSE(answer.get());
  RecordProperty(
      "stalled_statement_ms",
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));

  // The stall was an outage: the next statement waits out its cool-down.
  now_ += kCoolDown.longest + 100ms;
  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));
  EXPECT_TRUE(RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", "CODE-1", 1, "Rex", 0, "")));
  EXPECT_EQ(CapturingLogSink::Instance()->Lines().size(), 2u);  // its start and its end
}

// A link update whose answer is lost, through a proxy, and the same update settled later by
// DecideLinkInDoubt: on a server that restarted meanwhile and gave the update's session id to a
// session of another game server (the same user), or on the same server still running.
struct LostSessionCase {
  const char* name;
  bool update_ran;        // the answer was lost, rather than the statement on its way
  bool server_restarted;  // and the id was handed to the other session
  bool update_session_ended;
};

class LostUpdateSession : public AccountStoreFaults,
                          public ::testing::WithParamInterface<LostSessionCase> {};

void PrintTo(const LostSessionCase& row, std::ostream* out) { *out << row.name; }

// Fixed fault: after a restart the store killed, at the player's next command, another game
// server's session that had been given the lost update's session id.
TEST_P(LostUpdateSession, OnlyTheUpdatesOwnSessionIsEnded) {
  const LostSessionCase& row = GetParam();
  SandboxServer::RequireServing(database_.Settings().port);
  SandboxServer::RestartWithRoomForIds(database_);
  FaultProxy proxy(database_.Settings().host, database_.Settings().port);
  auto store = OpenStore(proxy.Port(), 1);
  database_.InsertCode("discord-1", "CODE-1");
  const std::vector<veltrane::test::PlayerDiscordRow> before = database_.Rows();
  int row_id = 0;
  ASSERT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));
  const auto store_sessions = database_.Query(
      "SELECT ID FROM information_schema.PROCESSLIST WHERE DB = DATABASE() AND ID <> "
      "CONNECTION_ID()");
  ASSERT_EQ(store_sessions.size(), 1u);
  const unsigned long update_session = std::stoul(*store_sessions.at(0).at(0));

  if (row.update_ran) {
    proxy.HoldToClient("Rows matched:");
  } else {
    proxy.HoldToServer("UPDATE player_discord");
  }
  ASSERT_EQ(RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", "CODE-1", 1, "Rex", 0, "")),
            kInDoubt);
  proxy.HoldToClient("");
  proxy.HoldToServer("");

  std::unique_ptr<SandboxDatabase> other_game_server;
  if (row.server_restarted) {
    SandboxServer::Run("restart");
    other_game_server = SandboxServer::SessionWithId(database_, update_session);
    ASSERT_NE(other_game_server, nullptr) << "no session got the id " << update_session;
  }
  const long kills_before = SandboxServer::KillStatements(database_);
  EXPECT_EQ(RunToEnd(*store, store->DecideLinkInDoubt("EOS-1")),
            row.update_ran ? LinkInDoubt::Landed : LinkInDoubt::DidNotLand);
  EXPECT_EQ(store->WritesInDoubt(), 0u);

  EXPECT_EQ(SandboxServer::KillStatements(database_) - kills_before,
            row.update_session_ended ? 1 : 0);
  if (other_game_server) {
    // Its own session still answers: a killed one would have been replaced by the reconnection.
    EXPECT_EQ(SandboxServer::SessionId(*other_game_server), update_session);
  }
  const bool session_with_that_id =
      !database_
           .Query(fmt::format("SELECT ID FROM information_schema.PROCESSLIST WHERE ID = {} AND "
                              "DB = DATABASE()",
                              update_session))
           .empty();
  EXPECT_EQ(session_with_that_id, other_game_server != nullptr);
  proxy.ReleaseHeld();
  store.reset();
  std::vector<veltrane::test::PlayerDiscordRow> expected = before;
  if (row.update_ran) {
    expected[0].eos_id = "EOS-1";
    expected[0].player_id = 1;
    expected[0].character_name = "Rex";
    expected[0].tribe_name = "";
    expected[0].code = "Linked";
  }
  EXPECT_EQ(database_.Rows(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    , LostUpdateSession,
    ::testing::Values(LostSessionCase{"HeldOnItsWayThenRestartAndIdReused", false, true, false},
                      LostSessionCase{"AnswerLostThenRestartAndIdReused", true, true, false},
                      LostSessionCase{"HeldOnItsWayOnTheSameServer", false, false, true}),
    [](const ::testing::TestParamInfo<LostSessionCase>& info) { return info.param.name; });

}  // namespace
