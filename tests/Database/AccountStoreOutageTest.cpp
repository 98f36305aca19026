// The account store when its server goes away, seen through a fault proxy in front of the sandbox
// server: what it answers, whether it touches the network during a cool-down, what it logs, and
// how it fails over along a host list. Grouped by how the server goes away.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CapturingLogSink.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"
#include "support/FaultProxy.h"
#include "support/SandboxDatabase.h"
#include "support/StoreAnswers.h"
#include "support/WaitUntil.h"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using veltrane::test::FaultProxy;
using veltrane::test::SandboxDatabase;
using veltrane::test::WaitUntil;

// Short enough to wait out in a test; the store's own default is seconds.
constexpr veltrane::CoolDownPolicy kShortCoolDown{300ms, 1200ms};

class AccountStoreOutage : public ::testing::Test {
 protected:
  void SetUp() override {
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
  }

  std::unique_ptr<MySql> OpenStore(const std::string& hosts, unsigned int timeout_seconds = 2) {
    const veltrane::test::SandboxSettings& settings = database_.Settings();
    return std::make_unique<MySql>(hosts, settings.user, settings.password, database_.Name(),
                                   settings.port, timeout_seconds, kShortCoolDown,
                                   [this] { return now_; });
  }
  std::string Through(const FaultProxy& proxy) const {
    return "127.0.0.1:" + std::to_string(proxy.Port());
  }

  static std::vector<std::string> Texts() {
    std::vector<std::string> texts;
    for (const CapturedLine& line : CapturingLogSink::Instance()->Lines()) {
      texts.push_back(line.text);
    }
    return texts;
  }
  std::string UnavailablePrefix(const FaultProxy& proxy) const {
    return "Database server " + Through(proxy) + " (database " + database_.Name() +
           ") unavailable: ";
  }
  // The stores' cool-downs run on this clock, which only the test moves.
  void WaitOutCoolDown() { now_ += kShortCoolDown.longest + 100ms; }

  // Waits (bounded) until the proxy has read more than before from its clients.
  static bool WaitForBytes(const FaultProxy& proxy, std::uint64_t before) {
    return WaitUntil(5s, [&] { return proxy.ReceivedFromClients() > before; });
  }

  SandboxDatabase database_;
  FaultProxy proxy_{database_.Settings().host, database_.Settings().port};
  MySql::Clock::time_point now_ = MySql::Clock::now();
};

// Refused

TEST_F(AccountStoreOutage, RefusedAtLoadSaysWhyOnceAndAnswersAtOnceDuringTheCoolDown) {
  proxy_.SetRefusing(true);
  auto store = OpenStore(Through(proxy_));

  int row_id = 0;
  EXPECT_EQ(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)), kCouldNotAsk);
  EXPECT_EQ(RunToEnd(*store, store->UpdateAccount(1, "EOS-1", "CODE-1", 1, "Rex", 0, "")),
            kCouldNotAsk);
  EXPECT_FALSE(RunToEnd(*store, store->UpdateAccountLogout("Rex", 0, "", "Updated", "EOS-1")));

  const std::vector<CapturedLine> lines = CapturingLogSink::Instance()->Lines();
  ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(Texts());
  EXPECT_EQ(lines[0].level, spdlog::level::critical);
  EXPECT_EQ(lines[0].text, "Failed to open connection!");
  EXPECT_EQ(lines[1].level, spdlog::level::err);
  EXPECT_TRUE(lines[1].text.starts_with(UnavailablePrefix(proxy_))) << lines[1].text;
  EXPECT_NE(lines[1].text.find("Can't connect"), std::string::npos) << lines[1].text;
  if (!database_.Settings().password.empty()) {
    EXPECT_EQ(lines[1].formatted.find(database_.Settings().password), std::string::npos);
  }
}

// Fixed fault: a store that could not connect at load stayed without connection until a reload.
TEST_F(AccountStoreOutage, RefusedAtLoadThenBackCreatesTheTableAndAnswers) {
  proxy_.SetRefusing(true);
  auto store = OpenStore(Through(proxy_));
  ASSERT_FALSE(RunToEnd(*store, store->IsPlayerExist("EOS-1")));

  proxy_.SetRefusing(false);
  WaitOutCoolDown();
  int row_id = 0;
  EXPECT_EQ(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)), kNo);
  database_.InsertCode("discord-1", "CODE-1");  // the table is there now
  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));
  EXPECT_TRUE(RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", "CODE-1", 1, "Rex", 0, "")));
  EXPECT_TRUE(RunToEnd(*store, store->IsPlayerIDExist("EOS-1")));

  const std::vector<std::string> texts = Texts();
  ASSERT_EQ(texts.size(), 3u) << ::testing::PrintToString(texts);
  EXPECT_TRUE(
      texts[2].starts_with("Database server " + Through(proxy_) + " available again after "))
      << texts[2];
  EXPECT_TRUE(texts[2].ends_with(" s")) << texts[2];
}

TEST_F(AccountStoreOutage, RetryAfterTheCoolDownUsesTheNetworkOnceAndNotBefore) {
  auto store = OpenStore(Through(proxy_));
  int row_id = 0;
  ASSERT_FALSE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));
  proxy_.DropConnections();
  proxy_.SetRefusing(true);

  // Fails on the network: the outage starts.
  EXPECT_EQ(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)), kCouldNotAsk);
  proxy_.SetRefusing(false);
  const std::uint64_t accepted = proxy_.Accepted();
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(RunToEnd(*store, store->IsPlayerExist("EOS-1")), kCouldNotAsk);
  EXPECT_EQ(proxy_.Accepted(), accepted) << "the store connected during the cool-down";

  WaitOutCoolDown();
  EXPECT_EQ(RunToEnd(*store, store->IsPlayerExist("EOS-1")), kNo);
  EXPECT_EQ(proxy_.Accepted(), accepted + 1);

  const std::vector<std::string> texts = Texts();
  ASSERT_EQ(texts.size(), 2u) << ::testing::PrintToString(texts);
  EXPECT_TRUE(texts[0].starts_with(UnavailablePrefix(proxy_))) << texts[0];
  EXPECT_TRUE(texts[1].starts_with("Database server " + Through(proxy_) + " available again"));
}

// Stalled

TEST_F(AccountStoreOutage, StalledMidStatementIsOneOutageAndTheServerBackEndsIt) {
  auto store = OpenStore(Through(proxy_), 1);
  database_.InsertCode("discord-1", "CODE-1");
  int row_id = 0;
  ASSERT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));

  proxy_.SetStalled(true);
  std::future<Answered<bool>> answer = std::async(std::launch::async, [&store] {
    int stalled_row_id = 0;
    return RunToEnd(*store, store->IsCodeExist("CODE-1", stalled_row_id));
  });
  ASSERT_EQ(answer.wait_for(30s), std::future_status::ready) << "the statement did not time out";
  EXPECT_EQ(answer.get(), kCouldNotAsk);
  EXPECT_FALSE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));  // during the cool-down
  proxy_.SetStalled(false);

  WaitOutCoolDown();
  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));
  EXPECT_TRUE(RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", "CODE-1", 1, "Rex", 0, "")));
  const std::vector<std::string> texts = Texts();
  ASSERT_EQ(texts.size(), 2u) << ::testing::PrintToString(texts);
  EXPECT_TRUE(texts[0].starts_with(UnavailablePrefix(proxy_))) << texts[0];
}

// Lost

TEST_F(AccountStoreOutage, UpdateLostAfterItWasSentIsInDoubt) {
  auto store = OpenStore(Through(proxy_));
  database_.InsertCode("discord-1", "CODE-1");
  int row_id = 0;
  ASSERT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));

  proxy_.SetDelay(10s, 0us);  // the statement leaves the store but is held in the proxy
  const std::uint64_t before = proxy_.ReceivedFromClients();
  std::future<Answered<bool>> linked = std::async(std::launch::async, [&store, row_id] {
    return RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", "CODE-1", 1, "Rex", 0, ""));
  });
  ASSERT_TRUE(WaitForBytes(proxy_, before));
  proxy_.DropConnections();
  ASSERT_EQ(linked.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(linked.get(), kInDoubt);
  EXPECT_EQ(store->WritesInDoubt(), 1u);
}

// Fixed fault: an update waiting for a row that another session held went on on the server after
// the store had given up on it, and linked the row later.
TEST_F(AccountStoreOutage, UpdateWaitingForAHeldRowIsEndedByTheServerAlsoAfterAReconnection) {
  auto store = OpenStore(Through(proxy_), 1);
  const int row = database_.InsertCode("discord-1", "CODE-1");
  const std::vector<veltrane::test::PlayerDiscordRow> before = database_.Rows();
  std::optional<SandboxDatabase> holder;
  for (int connection = 1; connection <= 2; ++connection) {
    SCOPED_TRACE(connection == 1 ? "first connection" : "after a reconnection");
    holder.emplace(database_.Settings(), database_.Name());
    holder->Execute("START TRANSACTION");
    holder->Query("SELECT id FROM player_discord WHERE code = 'CODE-1' FOR UPDATE");
    // The server's own deadline answered before the client gave up: nothing is in doubt.
    EXPECT_EQ(RunToEnd(*store, store->UpdateAccount(row, "EOS-1", "CODE-1", 1, "Rex", 0, "")),
              kCouldNotAsk);
    EXPECT_EQ(store->WritesInDoubt(), 0u);
    // The server clears the ended statement from its process list a moment after its error.
    EXPECT_TRUE(veltrane::test::WaitUntil(std::chrono::seconds(2), [&] {
      return database_
                 .Query(
                     "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = "
                     "DATABASE() AND INFO LIKE 'UPDATE player_discord%'")
                 .at(0)
                 .at(0) == "0";
    }));
    holder->Execute("COMMIT");
    EXPECT_EQ(database_.Rows(), before);
    // The store's session ends; the deadlines must come with the next one.
    ASSERT_EQ(database_.KillOtherSessions(), 2);  // the store's and the holder's
    int row_id = 0;
    if (!RunToEnd(*store, store->IsCodeExist("CODE-1", row_id))) {
      WaitOutCoolDown();
      ASSERT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));
    }
  }
  int refused = 0;
  for (const std::string& text : Texts()) {
    if (text.find("MySql::UpdateAccount) The server refused the statement: error 1969: ") !=
        std::string::npos)
      ++refused;
  }
  EXPECT_EQ(refused, 2) << ::testing::PrintToString(Texts());
}

// Every write that the store sent and gave up on is settled the same way: its session ended on its
// server, the table asked there, its follow-up told what the table says. Held on its way, the
// write never lands, even once the network lets it through; its answer held, it has landed.
// Fixed fault: a refresh or a deletion held past the timeout landed later, behind the plugin's
// back.
struct WriteInDoubtCase {
  const char* name;
  veltrane::WriteKind kind;
  const char* on_its_way;  // the statement's start, held on its way to the server
  bool answer_held;        // instead, it runs and its answer comes too late
};

class WriteGivenUpOn : public AccountStoreOutage,
                       public ::testing::WithParamInterface<WriteInDoubtCase> {};

TEST_P(WriteGivenUpOn, IsSettledOnItsServerAndFollowedUpAsTheTableSays) {
  using veltrane::WriteKind;
  const WriteInDoubtCase& row = GetParam();
  auto store = OpenStore(Through(proxy_), 1);
  const int code_row = database_.InsertCode("discord-1", "CODE-1");
  database_.InsertRow({0, "EOS-2", "discord-2", 2, "Old", 1, "Tribe", "Linked"});
  const std::optional<std::vector<LinkedAccount>> links =
      store->FindLinks(AccountIdKind::EOSId, "EOS-2");
  ASSERT_TRUE(links);
  std::vector<veltrane::test::PlayerDiscordRow> expected = database_.Rows();
  std::vector<std::pair<std::string, bool>> followed;
  const WriteFollowUp note = [&](const std::string& eos_id, bool holds) {
    followed.emplace_back(eos_id, holds);
  };

  if (row.answer_held) {
    proxy_.SetDelay(0us, 10s);
  } else {
    proxy_.HoldToServer(row.on_its_way);
  }
  StoreAnswer answer = StoreAnswer::Known;
  std::string player = "EOS-2";
  if (row.kind == WriteKind::LinkUpdate) {
    player = "EOS-1";
    answer =
        RunToEnd(*store, store->UpdateAccount(code_row, "EOS-1", "CODE-1", 1, "Rex", 0, "", note))
            .answer;
    if (row.answer_held) expected[0] = expected[0].LinkedBy("EOS-1", 1, "Rex", 0, "");
  } else if (row.kind == WriteKind::LogoutRefresh) {
    answer =
        RunToEnd(*store, store->UpdateAccountLogout("New", 3, "Tribe", "Updated", "EOS-2", note))
            .answer;
    if (row.answer_held)
      expected[1] = {expected[1].id, "EOS-2", "discord-2", 2, "New", 3, "Tribe", "Updated"};
  } else {
    answer = store->DeleteLinks(AccountIdKind::EOSId, "EOS-2", *links, IDatabase::kNoDeadline, note)
                 .answer;
    if (row.answer_held) expected.pop_back();
  }
  ASSERT_EQ(answer, StoreAnswer::InDoubt);
  EXPECT_EQ(store->WritesInDoubt(), 1u);
  proxy_.SetDelay(0us, 0us);
  proxy_.HoldToServer("");
  RunToEnd(*store, store->SettleWritesInDoubt(false));
  EXPECT_THAT(followed, ElementsAre(std::pair(player, row.answer_held)));
  EXPECT_EQ(store->WritesInDoubt(), 0u);

  // Whatever still held the write is gone with its session: it reaches no server.
  proxy_.ReleaseHeld();
  store.reset();
  EXPECT_TRUE(WaitUntil(5s, [&] { return proxy_.OpenConnections() == 0; }));
  EXPECT_EQ(database_.Rows(), expected);
}

INSTANTIATE_TEST_SUITE_P(
    , WriteGivenUpOn,
    ::testing::Values(
        WriteInDoubtCase{"LinkUpdateHeldOnItsWay", veltrane::WriteKind::LinkUpdate,
                         "UPDATE player_discord SET eos_id", false},
        WriteInDoubtCase{"LinkUpdateAnsweredTooLate", veltrane::WriteKind::LinkUpdate, "", true},
        WriteInDoubtCase{"RefreshHeldOnItsWay", veltrane::WriteKind::LogoutRefresh,
                         "UPDATE player_discord SET character_name", false},
        WriteInDoubtCase{"RefreshAnsweredTooLate", veltrane::WriteKind::LogoutRefresh, "", true},
        WriteInDoubtCase{"DeletionHeldOnItsWay", veltrane::WriteKind::Deletion,
                         "DELETE FROM player_discord", false},
        WriteInDoubtCase{"DeletionAnsweredTooLate", veltrane::WriteKind::Deletion, "", true}),
    [](const ::testing::TestParamInfo<WriteInDoubtCase>& info) { return info.param.name; });

// A server that cannot be reached decides nothing, and is not asked again before a cool-down.
TEST_F(AccountStoreOutage, LostUpdateOnAServerThatIsAwayStaysUndecided) {
  auto store = OpenStore(Through(proxy_), 1);
  database_.InsertCode("discord-1", "CODE-1");
  int row_id = 0;
  ASSERT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));

  proxy_.HoldToClient("Rows matched:");
  EXPECT_FALSE(RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", "CODE-1", 1, "Rex", 0, "")));
  proxy_.SetRefusing(true);
  EXPECT_EQ(RunToEnd(*store, store->DecideLinkInDoubt("EOS-1")), LinkInDoubt::Undecided);
  proxy_.SetRefusing(false);
  const std::uint64_t accepted = proxy_.Accepted();
  EXPECT_EQ(RunToEnd(*store, store->DecideLinkInDoubt("EOS-1")), LinkInDoubt::Undecided);
  EXPECT_FALSE(store->SettlingDue());
  EXPECT_EQ(proxy_.Accepted(), accepted) << "asked again during the cool-down";

  WaitOutCoolDown();
  EXPECT_TRUE(store->SettlingDue());
  EXPECT_EQ(RunToEnd(*store, store->DecideLinkInDoubt("EOS-1")), LinkInDoubt::Landed);
}

TEST_F(AccountStoreOutage, ConnectionCutBetweenStatementsCostsAtMostOneAnswer) {
  auto store = OpenStore(Through(proxy_));
  database_.InsertCode("discord-1", "CODE-1");
  int row_id = 0;
  ASSERT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));

  proxy_.DropConnections();
  int could_not_ask = 0;
  for (int i = 0; i < 2; ++i) {
    if (const Answered<bool> found = RunToEnd(*store, store->IsCodeExist("CODE-1", row_id));
        !found) {
      ++could_not_ask;
      EXPECT_NE(found.answer, StoreAnswer::Known);
      WaitOutCoolDown();
    }
  }
  EXPECT_LE(could_not_ask, 1);
  EXPECT_EQ(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)), kYes);
}

// SQL errors

// A refused statement is no answer either (a dropped table must not turn every code into a wrong
// one), but no outage: the next statement goes to the server at once.
TEST_F(AccountStoreOutage, RefusedStatementCouldNotAskAndOpensNoCoolDown) {
  auto store = OpenStore(Through(proxy_));
  database_.Execute("DROP TABLE player_discord");

  int row_id = 0;
  EXPECT_EQ(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)), kCouldNotAsk);
  EXPECT_EQ(RunToEnd(*store, store->UpdateAccount(1, "EOS-1", "CODE-1", 1, "Rex", 0, "")),
            kCouldNotAsk);

  database_.CreatePlayerDiscordTable();
  database_.InsertCode("discord-1", "CODE-1");
  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));  // at once: no cool-down
  for (const std::string& text : Texts()) {
    EXPECT_EQ(text.find("unavailable"), std::string::npos) << text;
  }
}

TEST_F(AccountStoreOutage, RevokedPrivilegeCouldNotAskAndOpensNoCoolDown) {
  database_.CreatePlayerDiscordTable();
  database_.InsertCode("discord-1", "CODE-1");
  const std::string user = "ro_" + database_.Name();
  const std::string account = database_.Quote(user) + "@'127.0.0.1'";
  database_.Execute("CREATE USER " + account + " IDENTIFIED BY 'read-only-pass'");
  database_.Execute("GRANT SELECT ON " + database_.Name() + ".* TO " + account);
  struct DropUser {
    SandboxDatabase& database;
    std::string account;
    ~DropUser() { database.Execute("DROP USER IF EXISTS " + account); }
  } drop_user{database_, account};
  auto store = std::make_unique<MySql>(Through(proxy_), user, "read-only-pass", database_.Name(), 0,
                                       2, kShortCoolDown);
  int row_id = 0;
  ASSERT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));

  EXPECT_EQ(RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", "CODE-1", 1, "Rex", 0, "")),
            kCouldNotAsk);
  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));  // at once: no cool-down
  for (const std::string& text : Texts()) {
    EXPECT_EQ(text.find("unavailable"), std::string::npos) << text;
  }
}

// Galera reports a write that lost certification as this same deadlock error. The server undid
// the whole statement, so the store sends it again: a deadlock is no outage, and it links.
TEST_F(AccountStoreOutage, DeadlockVictimIsSentAgainAndOpensNoCoolDown) {
  auto store = OpenStore(Through(proxy_), 20);
  const int row = database_.InsertCode("discord-1", "CODE-X");
  for (int i = 0; i < 50; ++i) database_.InsertCode("filler", "FILL-" + std::to_string(i));

  // This session has written more than the store will, so that the server picks the store's
  // statement as the deadlock's victim, and holds the place in the eos_id index that the store's
  // update writes to.
  database_.Execute("START TRANSACTION");
  database_.Execute("UPDATE player_discord SET tribe_id = 5 WHERE id > 1");
  database_.Query("SELECT id FROM player_discord WHERE eos_id = 'EOS-1' FOR UPDATE");
  std::future<Answered<bool>> linked = std::async(std::launch::async, [&store, row] {
    return RunToEnd(*store, store->UpdateAccount(row, "EOS-1", "CODE-X", 1, "Rex", 0, ""));
  });
  // The server lists the store's update while it waits; it has taken the row before that.
  // Only this fixture's database: other tests may be linking elsewhere on the server.
  ASSERT_TRUE(WaitUntil(5s, [&] {
    return database_
               .Query(
                   "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = DATABASE() "
                   "AND INFO LIKE 'UPDATE player_discord SET eos_id%' AND TIME_MS > 100")
               .at(0)
               .at(0) != "0";
  })) << "the store's update never waited for the row";
  database_.Execute("UPDATE player_discord SET tribe_id = 5 WHERE id = 1");  // closes the cycle
  database_.Execute("COMMIT");

  ASSERT_EQ(linked.wait_for(30s), std::future_status::ready);
  EXPECT_EQ(linked.get(), kYes);
  EXPECT_TRUE(RunToEnd(*store, store->IsPlayerIDExist("EOS-1")));  // at once: no cool-down
  int row_id = 0;
  EXPECT_FALSE(RunToEnd(*store, store->IsCodeExist("CODE-X", row_id)));
  EXPECT_EQ(Texts(), std::vector<std::string>{});
}

// A statement that is the victim every time: the server's refusal, logged once, and no outage.
TEST_F(AccountStoreOutage, UpdateThatIsEveryTimeTheVictimCouldNotAskAfterThreeAttempts) {
  auto store = OpenStore(Through(proxy_));
  const int row = database_.InsertCode("discord-1", "CODE-X");
  const std::vector<veltrane::test::PlayerDiscordRow> before = database_.Rows();
  // The attempts are counted in a table that no rollback undoes.
  database_.Execute("CREATE TABLE attempts (n int) ENGINE=MyISAM");
  database_.Execute(
      "CREATE TRIGGER always_the_victim BEFORE UPDATE ON player_discord FOR EACH ROW BEGIN INSERT "
      "INTO attempts VALUES (1); SIGNAL SQLSTATE '40001' SET MYSQL_ERRNO = 1213, MESSAGE_TEXT = "
      "'Deadlock found when trying to get lock; try restarting transaction'; END");

  EXPECT_EQ(RunToEnd(*store, store->UpdateAccount(row, "EOS-1", "CODE-X", 1, "Rex", 0, "")),
            kCouldNotAsk);
  EXPECT_EQ(database_.Query("SELECT COUNT(*) FROM attempts").at(0).at(0),
            std::to_string(MySql::kDeadlockAttempts));
  EXPECT_EQ(database_.Rows(), before);
  int row_id = 0;
  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-X", row_id)));  // at once: no cool-down
  const std::vector<std::string> texts = Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find("MySql::UpdateAccount) The server refused the statement: error 1213: "
                          "Deadlock found when trying to get lock"),
            std::string::npos)
      << texts[0];
}

// A list of servers

TEST_F(AccountStoreOutage, FirstServerThatAnswersAtLoadServesAndTheLogNamesIt) {
  FaultProxy second(database_.Settings().host, database_.Settings().port);
  proxy_.SetRefusing(true);
  auto store = OpenStore(Through(proxy_) + "," + Through(second));

  int row_id = 0;
  EXPECT_EQ(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)), kNo);
  const std::vector<std::string> texts = Texts();
  ASSERT_EQ(texts.size(), 3u) << ::testing::PrintToString(texts);
  EXPECT_TRUE(texts[0].starts_with(UnavailablePrefix(proxy_))) << texts[0];
  EXPECT_EQ(texts[1], "Connected to database server " + Through(second));
  EXPECT_TRUE(texts[2].starts_with("Database server " + Through(second) + " available again"));
}

TEST_F(AccountStoreOutage, FailedServerHandsOverToTheNextWithoutACoolDown) {
  FaultProxy second(database_.Settings().host, database_.Settings().port);
  auto store = OpenStore(Through(proxy_) + "," + Through(second));
  database_.InsertCode("discord-1", "CODE-1");
  int row_id = 0;
  ASSERT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));

  proxy_.SetRefusing(true);
  proxy_.DropConnections();
  // One answer may be lost with the server; the next goes to the second at once.
  if (const Answered<bool> found = RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)); !found) {
    EXPECT_NE(found.answer, StoreAnswer::Known);
  }
  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));
  EXPECT_TRUE(RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", "CODE-1", 1, "Rex", 0, "")));
  EXPECT_EQ(second.Accepted(), 1u);

  const std::vector<std::string> texts = Texts();
  EXPECT_EQ(texts.front(), "Connected to database server " + Through(proxy_));
  EXPECT_EQ(
      std::count(texts.begin(), texts.end(), "Connected to database server " + Through(second)), 1);
}

TEST_F(AccountStoreOutage, EveryServerDownStartsTheCoolDownAndTheFirstIsTriedAgainFirst) {
  FaultProxy second(database_.Settings().host, database_.Settings().port);
  proxy_.SetRefusing(true);
  second.SetRefusing(true);
  auto store = OpenStore(Through(proxy_) + "," + Through(second));
  int row_id = 0;
  EXPECT_EQ(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)), kCouldNotAsk);

  proxy_.SetRefusing(false);
  second.SetRefusing(false);
  WaitOutCoolDown();
  EXPECT_EQ(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)), kNo);
  EXPECT_EQ(proxy_.Accepted(), 1u);
  EXPECT_EQ(second.Accepted(), 0u);
}

}  // namespace
