// The account store against the sandbox server: the table, the questions, the updates, quoting,
// the state-word guard and the store's log lines.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CapturingLogSink.h"
#include "CorpusCheck.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"
#include "StoreOnSandbox.h"
#include "support/SandboxDatabase.h"
#include "support/StoreAnswers.h"

namespace {

using namespace std::string_literals;
using veltrane::test::PlayerDiscordRow;
using veltrane::test::SandboxDatabase;

const std::string kStoreHeader = VELTRANE_SOURCE_DIR "/src/Database/MysqlDB.h";

// A login of this fixture's database with only the given privileges on it, dropped afterwards.
class RestrictedUser {
 public:
  RestrictedUser(SandboxDatabase& database, const std::string& privileges)
      : database_(database), name_(database.Name() + "_u") {
    database_.Execute("CREATE USER '" + name_ + "'@'127.0.0.1' IDENTIFIED BY '" + kPassword + "'");
    database_.Execute("GRANT " + privileges + " ON " + database_.Name() + ".* TO '" + name_ +
                      "'@'127.0.0.1'");
  }
  ~RestrictedUser() { database_.Execute("DROP USER IF EXISTS '" + name_ + "'@'127.0.0.1'"); }

  const std::string& name() const { return name_; }
  static constexpr const char* kPassword = "restricted-Pw1";

 private:
  SandboxDatabase& database_;
  std::string name_;
};

// Every case with a blocking and with a non-blocking store (the parameter).
class AccountStore : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
  }

  std::unique_ptr<MySql> OpenStore() { return OpenStoreOn(database_, GetParam()); }

  std::unique_ptr<MySql> OpenStoreAs(const RestrictedUser& user) {
    return OpenStoreOn(database_, GetParam(), user.name(), RestrictedUser::kPassword);
  }

  static std::vector<CapturedLine> LogLines() { return CapturingLogSink::Instance()->Lines(); }

  int InsertLinkedRow(const std::string& eos_id, int player_id, const std::string& code) {
    return database_.InsertRow(
        {0, eos_id, "discord-" + eos_id, player_id, "Rex", 5, "Tribe", code});
  }

  // Columns that lead an index of player_discord, with whether that index is unique.
  std::vector<std::vector<std::optional<std::string>>> LeadingIndexColumns() {
    return database_.Query(
        "SELECT COLUMN_NAME, NON_UNIQUE FROM information_schema.STATISTICS WHERE TABLE_SCHEMA = "
        "DATABASE() AND TABLE_NAME = 'player_discord' AND SEQ_IN_INDEX = 1 AND INDEX_NAME <> "
        "'PRIMARY' ORDER BY COLUMN_NAME");
  }

  SandboxDatabase database_;
};

using Rows = std::vector<std::vector<std::optional<std::string>>>;

TEST_P(AccountStore, CreatesTheMissingTableWithItsColumnsAndLookupIndexes) {
  auto store = OpenStore();
  EXPECT_EQ(database_.Query("SELECT COLUMN_NAME, COLUMN_TYPE, IS_NULLABLE, COLUMN_DEFAULT, "
                            "COLLATION_NAME, EXTRA FROM information_schema.COLUMNS WHERE "
                            "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'player_discord' "
                            "ORDER BY ORDINAL_POSITION"),
            (Rows{{"id", "int(11)", "NO", std::nullopt, std::nullopt, "auto_increment"},
                  {"eos_id", "varchar(50)", "NO", "'0'", "utf8mb4_general_ci", ""},
                  {"discord_id", "varchar(50)", "NO", "'0'", "utf8mb4_general_ci", ""},
                  {"player_id", "int(11)", "NO", "0", std::nullopt, ""},
                  {"character_name", "varchar(255)", "NO", "'None'", "utf8mb4_general_ci", ""},
                  {"tribe_id", "int(11)", "NO", "0", std::nullopt, ""},
                  {"tribe_name", "varchar(255)", "NO", "'None'", "utf8mb4_general_ci", ""},
                  {"code", "varchar(50)", "NO", "'0'", "utf8mb4_general_ci", ""}}));
  EXPECT_EQ(LeadingIndexColumns(), (Rows{{"code", "1"}, {"eos_id", "1"}}));
  EXPECT_TRUE(LogLines().empty());
}

TEST_P(AccountStore, TableOfTheOutsidePartyKeepsItsRowsAndGetsEachIndexOnce) {
  database_.CreatePlayerDiscordTable();
  database_.InsertCode("discord-1", "CODE-1");
  InsertLinkedRow("EOS-A", 11, "Linked");
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  OpenStore().reset();
  OpenStore().reset();

  EXPECT_EQ(database_.Rows(), before);
  EXPECT_EQ(LeadingIndexColumns(), (Rows{{"code", "1"}, {"eos_id", "1"}}));
  EXPECT_TRUE(LogLines().empty());
}

TEST_P(AccountStore, LinkingByCodeFillsTheRowAndRetiresTheCode) {
  auto store = OpenStore();
  database_.InsertCode("discord-1", "K7Q2-XY");
  const std::vector<PlayerDiscordRow> before = database_.Rows();
  EXPECT_FALSE(RunToEnd(*store, store->IsPlayerExist("EOS-NEW")));

  int row_id = 0;
  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("K7Q2-XY", row_id)));
  EXPECT_EQ(row_id, before[0].id);
  EXPECT_TRUE(RunToEnd(
      *store, store->UpdateAccount(row_id, "EOS-NEW", "K7Q2-XY", 42, "Rex", 7, "Raptors")));

  EXPECT_EQ(database_.Rows(), std::vector{before[0].LinkedBy("EOS-NEW", 42, "Rex", 7, "Raptors")});
  EXPECT_EQ(database_.Rows()[0].discord_id, "discord-1");
  EXPECT_FALSE(RunToEnd(*store, store->IsCodeExist("K7Q2-XY", row_id)));
  EXPECT_TRUE(RunToEnd(*store, store->IsPlayerExist("EOS-NEW")));
  EXPECT_TRUE(RunToEnd(*store, store->IsPlayerIDExist("EOS-NEW")));
}

TEST_P(AccountStore, RowWithPlayerIdZeroExistsButHasNoPlayerId) {
  auto store = OpenStore();
  InsertLinkedRow("EOS-ZERO", 0, "Linked");
  EXPECT_TRUE(RunToEnd(*store, store->IsPlayerExist("EOS-ZERO")));
  EXPECT_FALSE(RunToEnd(*store, store->IsPlayerIDExist("EOS-ZERO")));
  // Fixed fault: a negative player id counted as no player id, so that player linked again.
  InsertLinkedRow("EOS-NEGATIVE", -5, "Linked");
  EXPECT_TRUE(RunToEnd(*store, store->IsPlayerIDExist("EOS-NEGATIVE")));
}

// Fixed fault: an update that linked no row answered true, and the player was told "linked".
TEST_P(AccountStore, CodeNoRowHoldsLinksNothingAndAnswersFalse) {
  auto store = OpenStore();
  const int row = database_.InsertCode("discord-1", "REAL-CODE");
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  int row_id = 0;
  EXPECT_FALSE(RunToEnd(*store, store->IsCodeExist("OTHER-CODE", row_id)));
  EXPECT_EQ(RunToEnd(*store, store->UpdateAccount(row, "EOS-1", "OTHER-CODE", 1, "Rex", 0, "")),
            kNo);
  EXPECT_EQ(database_.Rows(), before);
}

// Fixed fault: two game servers sharing the table both told their player the code was theirs.
TEST_P(AccountStore, PlayerWhoLosesTheRaceForACodeIsNotLinked) {
  auto first_server = OpenStore();
  auto second_server = OpenStore();
  database_.InsertCode("discord-1", "RACE-CODE");
  const std::vector<PlayerDiscordRow> before = database_.Rows();
  int first_row = 0;
  int second_row = 0;
  ASSERT_TRUE(RunToEnd(*first_server, first_server->IsCodeExist("RACE-CODE", first_row)));
  ASSERT_TRUE(RunToEnd(*second_server, second_server->IsCodeExist("RACE-CODE", second_row)));

  EXPECT_TRUE(RunToEnd(*first_server, first_server->UpdateAccount(first_row, "EOS-FAST",
                                                                  "RACE-CODE", 1, "Fast", 0, "")));
  EXPECT_FALSE(RunToEnd(
      *second_server,
      second_server->UpdateAccount(second_row, "EOS-SLOW", "RACE-CODE", 2, "Slow", 0, "")));

  EXPECT_EQ(database_.Rows(), std::vector{before[0].LinkedBy("EOS-FAST", 1, "Fast", 0, "")});
}

// Fixed fault: a code that two rows held linked both to the player, whose EOS id then held two
// linked rows.
TEST_P(AccountStore, CodeThatTwoRowsHoldLinksTheFirstOnly) {
  auto store = OpenStore();
  database_.InsertCode("discord-1", "SHARED");
  database_.InsertCode("discord-2", "SHARED");
  database_.InsertCode("discord-3", "ELSE");
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  int row_id = 0;
  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("SHARED", row_id)));
  EXPECT_EQ(row_id, before[0].id);
  EXPECT_TRUE(RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", "SHARED", 3, "Rex", 4, "T")));
  EXPECT_EQ(database_.Rows(),
            (std::vector{before[0].LinkedBy("EOS-1", 3, "Rex", 4, "T"), before[1], before[2]}));

  // A row that no longer holds the code is not linked by its id.
  EXPECT_FALSE(
      RunToEnd(*store, store->UpdateAccount(before[0].id, "EOS-2", "SHARED", 5, "Max", 0, "")));
  EXPECT_EQ(
      RunToEnd(*store, store->UpdateAccount(before[2].id, "EOS-2", "SHARED", 5, "Max", 0, "")),
      kNo);
}

TEST_P(AccountStore, LogoutRefreshUpdatesEveryRowOfTheEosIdOnly) {
  auto store = OpenStore();
  InsertLinkedRow("EOS-1", 5, "Linked");
  InsertLinkedRow("EOS-1", 5, "Linked");
  InsertLinkedRow("EOS-2", 6, "Linked");
  std::vector<PlayerDiscordRow> expected = database_.Rows();

  EXPECT_TRUE(
      RunToEnd(*store, store->UpdateAccountLogout("Newname", 9, "New tribe", "Updated", "EOS-1")));

  for (PlayerDiscordRow* row : {&expected[0], &expected[1]}) {
    row->character_name = "Newname";
    row->tribe_id = 9;
    row->tribe_name = "New tribe";
    row->code = "Updated";
  }
  EXPECT_EQ(database_.Rows(), expected);
}

TEST_P(AccountStore, LogoutRefreshOfAnUnknownEosIdChangesNothingAndAnswersTrue) {
  auto store = OpenStore();
  InsertLinkedRow("EOS-1", 5, "Linked");
  const std::vector<PlayerDiscordRow> before = database_.Rows();
  EXPECT_TRUE(RunToEnd(
      *store, store->UpdateAccountLogout("Newname", 9, "New tribe", "Updated", "EOS-NONE")));
  EXPECT_EQ(database_.Rows(), before);
}

TEST_P(AccountStore, NegativeIdsKeepTheirSign) {
  auto store = OpenStore();
  const int row = database_.InsertCode("discord-1", "NEG");
  ASSERT_TRUE(RunToEnd(
      *store, store->UpdateAccount(row, "EOS-1", "NEG", -12, "Rex", -2147483647 - 1, "T")));
  EXPECT_EQ(database_.Rows()[0].player_id, -12);
  EXPECT_EQ(database_.Rows()[0].tribe_id, -2147483647 - 1);
  ASSERT_TRUE(RunToEnd(*store, store->UpdateAccountLogout("Rex", -7, "T", "Updated", "EOS-1")));
  EXPECT_EQ(database_.Rows()[0].tribe_id, -7);
}

TEST_P(AccountStore, CodeInOtherLetterCaseOrWithTrailingSpacesMatches) {
  auto store = OpenStore();
  const int row = database_.InsertCode("discord-1", "AbC9");
  for (const std::string typed : {"abc9", "ABC9   ", "aBc9  "}) {
    int row_id = 0;
    EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist(typed, row_id))) << typed;
    EXPECT_EQ(row_id, row) << typed;
  }
  EXPECT_TRUE(RunToEnd(*store, store->UpdateAccount(row, "EOS-1", "aBc9  ", 1, "Rex", 0, "")));
  EXPECT_EQ(database_.Rows()[0].code, "Linked");
}

// Fixed fault: a player who typed "Linked" (or "linked ", ...) rewrote every linked row with
// their own data.
TEST_P(AccountStore, StateWordsAreNeverCodes) {
  auto store = OpenStore();
  InsertLinkedRow("EOS-LINKED", 1, "Linked");
  InsertLinkedRow("EOS-UPDATED", 2, "Updated");
  database_.Execute("INSERT INTO player_discord (discord_id) VALUES ('discord-without-code')");
  database_.InsertCode("discord-waiting", "REAL-1");
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  for (const std::string typed :
       {"Linked", "linked", "LINKED", "Linked ", "lInKeD   ", "Updated", "updated", "UPDATED  ",
        "0", "0 ", "Línked", "LINKÉD", "Üpdated"}) {
    SCOPED_TRACE(typed);
    // Without the guard the server would match it: the case is a real threat.
    ASSERT_EQ(database_.Query("SELECT COUNT(*) FROM player_discord WHERE code = " +
                              database_.Quote(typed))[0][0],
              "1");
    int row_id = 0;
    EXPECT_FALSE(RunToEnd(*store, store->IsCodeExist(typed, row_id)));
    for (const PlayerDiscordRow& row : before) {
      EXPECT_FALSE(RunToEnd(
          *store, store->UpdateAccount(row.id, "EOS-THIEF", typed, 66, "Thief", 6, "Thieves")));
    }
    EXPECT_EQ(database_.Rows(), before);
  }
  int row_id = 0;
  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("REAL-1", row_id)));
  EXPECT_TRUE(LogLines().empty());
}

TEST_P(AccountStore, CodesThatMerelyResembleStateWordsStillLink) {
  auto store = OpenStore();
  for (const std::string code : {"Linked2", "Link", "00", "Updates", " Linked", "Linked\t"}) {
    SCOPED_TRACE(code);
    database_.Execute("DELETE FROM player_discord");
    database_.InsertCode("discord-1", code);
    int row_id = 0;
    EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist(code, row_id)));
    EXPECT_TRUE(RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", code, 1, "Rex", 0, "")));
  }
}

// Fixed fault: values went into the statements unescaped, so a quote broke the statement and a
// crafted code or name could rewrite other rows.
TEST_P(AccountStore, HostileTextsAreStoredAndComparedExactly) {
  auto store = OpenStore();
  veltrane::test::ExpectCorpusStoredAndMatchedExactly(*store, database_);
  EXPECT_TRUE(LogLines().empty());
}

TEST_P(AccountStore, RefusedTableStatementIsLoggedAndWithoutTableTheStoreIsOff) {
  RestrictedUser reader(database_, "SELECT, UPDATE");
  auto store = OpenStoreAs(reader);

  const std::vector<CapturedLine> lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].level, spdlog::level::err);
  EXPECT_EQ(lines[0].text.rfind("(" + kStoreHeader +
                                    " MySql::MySql) The server refused the statement: error 1142: "
                                    "CREATE command denied",
                                0),
            0u)
      << lines[0].text;
  EXPECT_EQ(lines[1].level, spdlog::level::critical);
  EXPECT_EQ(lines[1].text, "(" + kStoreHeader + " MySql::MySql) Failed to create table!");
  EXPECT_TRUE(IsPluginLogLine(lines[1].formatted, "critical", lines[1].text)) << lines[1].formatted;
  EXPECT_EQ(lines[2].level, spdlog::level::critical);
  EXPECT_EQ(lines[2].text, "(" + kStoreHeader +
                               " MySql::MySql) Table player_discord cannot hold the plugin's "
                               "values faithfully, so the account store is off: the table is "
                               "missing");
  int row_id = 0;
  EXPECT_FALSE(RunToEnd(*store, store->IsCodeExist("ANY", row_id)));
  EXPECT_FALSE(RunToEnd(*store, store->UpdateAccount(1, "EOS-1", "ANY", 1, "Rex", 0, "")));
  EXPECT_EQ(LogLines().size(), 3u);
}

TEST_P(AccountStore, IndexThatCannotBeAddedIsLoggedAndTheStoreWorksOn) {
  database_.CreatePlayerDiscordTable();
  database_.InsertCode("discord-1", "CODE-1");
  RestrictedUser without_index_right(database_, "SELECT, UPDATE, CREATE");
  auto store = OpenStoreAs(without_index_right);

  const std::vector<CapturedLine> lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  for (const CapturedLine& refused : {lines[0], lines[1]}) {
    EXPECT_EQ(refused.level, spdlog::level::err);
    EXPECT_EQ(refused.text.rfind("(" + kStoreHeader +
                                     " MySql::MySql) The server refused the statement: error "
                                     "1142: INDEX command denied",
                                 0),
              0u)
        << refused.text;
  }
  EXPECT_EQ(lines[2].level, spdlog::level::warn);
  EXPECT_EQ(lines[2].text,
            "Could not add an index on player_discord (eos_id, code); lookups will scan the whole "
            "table");
  EXPECT_TRUE(LeadingIndexColumns().empty());
  int row_id = 0;
  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));
  EXPECT_TRUE(RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", "CODE-1", 1, "Rex", 0, "")));
}

// Fixed fault: a player whose EOS id read "0" refreshed every waiting row at logout, and their
// codes were lost.
TEST_P(AccountStore, DefaultOrEmptyEosIdOwnsNoRow) {
  auto store = OpenStore();
  database_.InsertCode("discord-1", "CODE-1");
  InsertLinkedRow("0", 5, "Linked");
  InsertLinkedRow("", 6, "Linked");
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  for (const std::string eos_id : {"0", "", "0 ", " "}) {
    SCOPED_TRACE(::testing::PrintToString(eos_id));
    EXPECT_FALSE(RunToEnd(*store, store->IsPlayerExist(eos_id)));
    EXPECT_FALSE(RunToEnd(*store, store->IsPlayerIDExist(eos_id)));
    EXPECT_TRUE(
        RunToEnd(*store, store->UpdateAccountLogout("Thief", 6, "Thieves", "Updated", eos_id)));
    EXPECT_EQ(database_.Rows(), before);
  }
  EXPECT_TRUE(LogLines().empty());
}

// Fixed fault: a dropped table, a revoked privilege or a value too long for its column answered
// false and left nothing in the log.
TEST_P(AccountStore, EveryRefusedStatementIsOneErrorLineWithTheServersError) {
  database_.CreateForeignTable("", {{"character_name", "varchar(32) NOT NULL DEFAULT 'None'"}});
  const int row = database_.InsertCode("discord-1", "CODE-1");
  const std::vector<PlayerDiscordRow> before = database_.Rows();
  RestrictedUser user(database_, "SELECT, CREATE, INDEX");
  // A table privilege, so that revoking it takes effect on the open session.
  const std::string on_table = " ON " + database_.Name() + ".player_discord ";
  const std::string to_user = "'" + user.name() + "'@'127.0.0.1'";
  database_.Execute("GRANT UPDATE" + on_table + "TO " + to_user);
  auto store = OpenStoreAs(user);
  ASSERT_TRUE(LogLines().empty());

  EXPECT_FALSE(RunToEnd(
      *store, store->UpdateAccount(row, "EOS-1", "CODE-1", 1, std::string(33, 'n'), 0, "")));
  database_.Execute("REVOKE UPDATE" + on_table + "FROM " + to_user);
  EXPECT_FALSE(RunToEnd(*store, store->UpdateAccount(row, "EOS-1", "CODE-1", 1, "Rex", 0, "")));
  database_.Execute("DROP TABLE player_discord");
  int row_id = 0;
  EXPECT_FALSE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));

  const std::string prefix = "(" + kStoreHeader + " ";
  const std::vector<CapturedLine> lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0].text, prefix +
                               "MySql::UpdateAccount) The server refused the statement: error "
                               "1406: Data too long for column 'character_name' at row 1");
  EXPECT_EQ(lines[1].text, prefix +
                               "MySql::UpdateAccount) The server refused the statement: error "
                               "1142: UPDATE command denied to user " +
                               to_user + " for table `" + database_.Name() + "`.`player_discord`");
  EXPECT_EQ(lines[2].text, prefix +
                               "MySql::IsCodeExist) The server refused the statement: error "
                               "1146: Table '" +
                               database_.Name() + ".player_discord' doesn't exist");
  for (const CapturedLine& line : lines) {
    EXPECT_EQ(line.level, spdlog::level::err);
    EXPECT_EQ(line.formatted.find(RestrictedUser::kPassword), std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(StoreModes, AccountStore, ::testing::Bool(),
                         veltrane::test::StoreModeName);

}  // namespace
