// The account store on tables that another party (the Discord bot, an admin) created: other
// collations, which ignore or fold characters the plugin's own does not, and other column types.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "CapturingLogSink.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"
#include "StoreOnSandbox.h"
#include "support/SandboxDatabase.h"

namespace {

using veltrane::test::PlayerDiscordRow;
using veltrane::test::SandboxDatabase;

const std::string kStoreHeader = VELTRANE_SOURCE_DIR "/src/Database/MysqlDB.h";

class ForeignTableStore {
 protected:
  void StartLog() {
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
  }

  std::unique_ptr<MySql> OpenStore() { return OpenStoreOn(database_); }

  static std::vector<CapturedLine> LogLines() { return CapturingLogSink::Instance()->Lines(); }

  void InsertRow(const std::string& eos_id, int player_id, const std::string& code) {
    database_.InsertRow({0, eos_id, "discord-" + eos_id, player_id, "Rex", 5, "Tribe", code});
  }

  SandboxDatabase database_;
};

// Each state word hidden among the characters that the Unicode collations skip.
std::vector<std::string> DisguisedStateWords() {
  std::vector<std::string> disguised = {"linked ", "UPDATED", "0 "};
  for (const std::string word : {"Linked", "Updated", "0", ""}) {
    for (const char ignorable : {'\x01', '\x08', '\x0E', '\x1F', '\x7F'}) {
      disguised.push_back(ignorable + word);
      disguised.push_back(word + ignorable);
      if (word.size() > 1) disguised.push_back(word.substr(0, 2) + ignorable + word.substr(2));
    }
    disguised.push_back("\x01\x7F" + word + "\x1F");
  }
  return disguised;
}

class ForeignCollation : public ForeignTableStore, public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override { StartLog(); }

  // Creates the table in the collation, or skips when this server does not have it.
  void CreateTableOrSkip() {
    const std::string collation = GetParam();
    const std::string charset = collation.substr(0, collation.find('_'));
    try {
      database_.CreateForeignTable("CHARACTER SET " + charset + " COLLATE " + collation);
    } catch (const std::runtime_error& error) {
      if (std::string(error.what()).find("Unknown collation") == std::string::npos) throw;
      GTEST_SKIP() << "this server has no " << collation;
    }
  }

  bool IgnoresControlCharacters() const {
    const std::string collation = GetParam();
    return collation.find("unicode") != std::string::npos ||
           collation.find("uca1400") != std::string::npos ||
           collation.find("0900") != std::string::npos;
  }
};

// Fixed fault: on a Unicode-collated table, "Linked" with a control character inside took every
// linked row, "0" with one every waiting row, and the player was told the link was made.
TEST_P(ForeignCollation, NoTypedCodeOrIdReachesARowInAState) {
  CreateTableOrSkip();
  if (IsSkipped()) return;
  auto store = OpenStore();
  ASSERT_TRUE(LogLines().empty());
  InsertRow("EOS-ALICE", 55, "Linked");
  InsertRow("EOS-CAROL", 56, "Updated");
  database_.Execute("INSERT INTO player_discord (discord_id) VALUES ('discord-waiting')");
  database_.Execute("INSERT INTO player_discord (discord_id, code) VALUES ('discord-empty', '')");
  database_.InsertCode("discord-real", "REAL-1");
  const std::vector<PlayerDiscordRow> before = database_.Rows();
  if (IgnoresControlCharacters()) {
    // The threat is real here: the server itself takes the disguised word for the state word.
    ASSERT_EQ(
        database_.Query("SELECT COUNT(*) FROM player_discord WHERE code = 'Li\x01nked'")[0][0],
        "1");
  }

  for (const std::string& typed : DisguisedStateWords()) {
    SCOPED_TRACE(::testing::PrintToString(typed));
    int row_id = 0;
    EXPECT_FALSE(RunToEnd(*store, store->IsCodeExist(typed, row_id)));
    for (const PlayerDiscordRow& row : before) {
      EXPECT_FALSE(RunToEnd(
          *store, store->UpdateAccount(row.id, "EOS-THIEF", typed, 66, "Thief", 6, "Thieves")));
    }
    EXPECT_FALSE(RunToEnd(*store, store->IsPlayerExist(typed)));
    EXPECT_FALSE(RunToEnd(*store, store->IsPlayerIDExist(typed)));
    EXPECT_TRUE(
        RunToEnd(*store, store->UpdateAccountLogout("Thief", 6, "Thieves", "Updated", typed)));
    ASSERT_EQ(database_.Rows(), before);
  }

  // A real code still links its row, and only that one.
  int row_id = 0;
  ASSERT_TRUE(RunToEnd(*store, store->IsCodeExist("REAL-1", row_id)));
  ASSERT_TRUE(RunToEnd(
      *store, store->UpdateAccount(row_id, "EOS-BOB", "REAL-1", 101, "Bob", 7, "Raiders")));
  std::vector<PlayerDiscordRow> expected = before;
  expected.back() = {before.back().id, "EOS-BOB", "discord-real", 101, "Bob", 7,
                     "Raiders",        "Linked"};
  EXPECT_EQ(database_.Rows(), expected);
  EXPECT_TRUE(LogLines().empty());
}

INSTANTIATE_TEST_SUITE_P(Collations, ForeignCollation,
                         ::testing::Values("utf8mb4_general_ci", "utf8mb4_unicode_ci",
                                           "utf8mb4_unicode_520_ci", "utf8mb4_uca1400_ai_ci",
                                           "utf8mb4_0900_ai_ci", "latin1_swedish_ci",
                                           "utf8mb4_bin"));

struct UnfaithfulColumn {
  const char* column;
  const char* definition;  // empty: the column is missing
  const char* reason;
};

void PrintTo(const UnfaithfulColumn& column, std::ostream* out) { *out << column.reason; }

class ForeignColumns : public ForeignTableStore, public ::testing::TestWithParam<UnfaithfulColumn> {
 protected:
  void SetUp() override { StartLog(); }
};

// Fixed fault: with an integer code column "/link abc" linked every row whose code was 0, and a
// tinyint player_id stored two players as 127.
TEST_P(ForeignColumns, TableThatCannotHoldTheValuesIsRefusedAndNeverTouched) {
  database_.CreateForeignTable("", {{GetParam().column, GetParam().definition}});
  database_.Execute("INSERT INTO player_discord (discord_id) VALUES ('discord-1')");
  database_.Execute("INSERT INTO player_discord (discord_id) VALUES ('discord-2')");
  const std::vector<std::vector<std::optional<std::string>>> before =
      database_.Query("SELECT * FROM player_discord ORDER BY id");

  auto store = OpenStore();
  const std::vector<CapturedLine> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, spdlog::level::critical);
  EXPECT_EQ(lines[0].text, "(" + kStoreHeader +
                               " MySql::MySql) Table player_discord cannot hold the plugin's "
                               "values faithfully, so the account store is off: " +
                               GetParam().reason);

  int row_id = 0;
  EXPECT_FALSE(RunToEnd(*store, store->IsCodeExist("abc", row_id)));
  EXPECT_FALSE(RunToEnd(*store, store->UpdateAccount(1, "EOS-1", "abc", 300, "Rex", 300, "T")));
  EXPECT_FALSE(RunToEnd(*store, store->IsPlayerExist("0")));
  EXPECT_FALSE(RunToEnd(*store, store->UpdateAccountLogout("Rex", 1, "T", "Updated", "0")));
  EXPECT_EQ(database_.Query("SELECT * FROM player_discord ORDER BY id"), before);
  EXPECT_EQ(database_.Query("SELECT COUNT(*) FROM information_schema.STATISTICS WHERE "
                            "TABLE_SCHEMA = DATABASE() AND INDEX_NAME <> 'PRIMARY'")[0][0],
            "0");
  EXPECT_EQ(LogLines().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Types, ForeignColumns,
    ::testing::Values(
        UnfaithfulColumn{"code", "int(11) NOT NULL DEFAULT 0",
                         "code is int(11), not a character column"},
        UnfaithfulColumn{"eos_id", "varbinary(50) NOT NULL DEFAULT '0'",
                         "eos_id is varbinary(50), not a character column"},
        UnfaithfulColumn{"character_name", "enum('None','Rex') NOT NULL DEFAULT 'None'",
                         "character_name is enum('None','Rex'), not a character column"},
        UnfaithfulColumn{"player_id", "tinyint(4) NOT NULL DEFAULT 0",
                         "player_id is tinyint(4), not an integer column that holds every signed "
                         "32-bit value"},
        UnfaithfulColumn{"tribe_id", "int(10) unsigned NOT NULL DEFAULT 0",
                         "tribe_id is int(10) unsigned, not an integer column that holds every "
                         "signed 32-bit value"},
        UnfaithfulColumn{"tribe_id", "varchar(20) NOT NULL DEFAULT '0'",
                         "tribe_id is varchar(20), not an integer column that holds every signed "
                         "32-bit value"},
        UnfaithfulColumn{"tribe_name", "", "tribe_name is missing"},
        // Too short for what the plugin writes: every link failed (error 1406) and players were
        // told DatabaseUnavailable for good; with 6 every logout refresh failed on "Updated".
        UnfaithfulColumn{"code", "varchar(5) NOT NULL DEFAULT '0'",
                         "code is varchar(5), shorter than the 7 characters of the state word "
                         "\"Updated\""},
        UnfaithfulColumn{"code", "varchar(6) NOT NULL DEFAULT '0'",
                         "code is varchar(6), shorter than the 7 characters of the state word "
                         "\"Updated\""},
        UnfaithfulColumn{"eos_id", "varchar(20) NOT NULL DEFAULT '0'",
                         "eos_id is varchar(20), shorter than the 32 characters of an EOS id"},
        UnfaithfulColumn{"character_name", "char(31) NOT NULL DEFAULT 'None'",
                         "character_name is char(31), shorter than the 32 characters of a name"},
        UnfaithfulColumn{"tribe_name", "varchar(16) NOT NULL DEFAULT 'None'",
                         "tribe_name is varchar(16), shorter than the 32 characters of a name"}));

class ForeignTable : public ForeignTableStore, public ::testing::Test {
 protected:
  void SetUp() override { StartLog(); }
};

TEST_F(ForeignTable, EveryUnfaithfulColumnIsNamedInTheOneLine) {
  database_.CreateForeignTable(
      "", {{"player_id", "smallint NOT NULL DEFAULT 0"}, {"code", "bigint NOT NULL DEFAULT 0"}});
  auto store = OpenStore();
  const std::vector<CapturedLine> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(lines[0].text.ends_with(
      ": player_id is smallint(6), not an integer column that holds every signed 32-bit value; "
      "code is bigint(20), not a character column"))
      << lines[0].text;
}

TEST_F(ForeignTable, OtherFaithfulColumnTypesAreTakenAsTheyAre) {
  database_.CreateForeignTable("ENGINE=MyISAM CHARACTER SET utf8mb4 COLLATE utf8mb4_unicode_ci",
                               {{"eos_id", "char(64) NOT NULL DEFAULT '0'"},
                                {"player_id", "bigint NOT NULL DEFAULT 0"},
                                {"character_name", "text NOT NULL"},
                                {"tribe_id", "bigint(20) NOT NULL DEFAULT 0"},
                                {"tribe_name", "tinytext NOT NULL"},
                                {"code", "char(40) NOT NULL DEFAULT '0'"}});
  // Column names are compared without regard to case, as the server does.
  database_.Execute("ALTER TABLE player_discord CHANGE code CODE char(40) NOT NULL DEFAULT '0'");
  database_.Execute(
      "INSERT INTO player_discord (discord_id, character_name, tribe_name, code) VALUES "
      "('discord-1', 'None', 'None', 'CODE-1')");
  auto store = OpenStore();
  EXPECT_TRUE(LogLines().empty());
  int row_id = 0;
  EXPECT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-1", row_id)));
  EXPECT_TRUE(RunToEnd(*store, store->UpdateAccount(row_id, "EOS-1", "CODE-1", -2147483647 - 1,
                                                    "Zoë 🦖", 2147483647, "Ærger")));
  EXPECT_EQ(database_.Rows(),
            (std::vector<PlayerDiscordRow>{{1, "EOS-1", "discord-1", -2147483647 - 1, "Zoë 🦖",
                                            2147483647, "Ærger", "Linked"}}));
}

TEST_F(ForeignTable, ColumnsJustLongEnoughLinkAndRefreshAndRefuseWhatDoesNotFit) {
  database_.CreateForeignTable("CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci",
                               {{"eos_id", "char(32) NOT NULL DEFAULT '0'"},
                                {"character_name", "varchar(32) NOT NULL DEFAULT 'None'"},
                                {"tribe_name", "varchar(32) NOT NULL DEFAULT 'None'"},
                                {"code", "varchar(7) NOT NULL DEFAULT '0'"}});
  const int row = database_.InsertCode("discord-1", "CODE-1");
  auto store = OpenStore();
  EXPECT_TRUE(LogLines().empty());
  const std::string eos_id(32, 'e');
  const std::string name_of_32 = "Zoë " + std::string(27, 'z') + "🦖";
  ASSERT_TRUE(RunToEnd(
      *store, store->UpdateAccount(row, eos_id, "CODE-1", 101, name_of_32, 7, name_of_32)));
  EXPECT_TRUE(
      RunToEnd(*store, store->UpdateAccountLogout(name_of_32, 8, "Raiders", "Updated", eos_id)));
  EXPECT_EQ(database_.Rows(),
            (std::vector<PlayerDiscordRow>{
                {1, eos_id, "discord-1", 101, name_of_32, 8, "Raiders", "Updated"}}));
  // A longer name than the column holds stays a statement the server refuses.
  EXPECT_FALSE(RunToEnd(
      *store, store->UpdateAccountLogout(name_of_32 + "!", 8, "Raiders", "Updated", eos_id)));
  const std::vector<CapturedLine> lines = LogLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].text.find("The server refused the statement: error 1406: "), std::string::npos)
      << lines[0].text;
  EXPECT_EQ(database_.Rows().at(0).character_name, name_of_32);
}

}  // namespace
