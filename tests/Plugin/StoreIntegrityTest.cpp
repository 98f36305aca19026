// Players and admins against the account store through the game: tables that another party
// created, identities equal to the column's default, and statements that the server refuses.
// Every case checks the table byte for byte: only the row whose code was typed may change.

#include <gmock/gmock.h>

#include <stdexcept>

#include "support/PluginTest.h"

namespace veltrane::test {
namespace {

using ::testing::Each;
using ::testing::ElementsAre;

const std::string kStoreLine = "(" VELTRANE_SOURCE_DIR "/src/Database/MysqlDB.h ";

class StoreIntegrity : public PluginTest {
 protected:
  StoreIntegrity() { Settings()["UpdatePlayerDataOnLogout"] = true; }

  // Replaces the plugin's table by one that another party created.
  void UseForeignTable(const std::string& table_options,
                       const std::map<std::string, std::string>& column_definitions = {}) {
    database_.Execute("DROP TABLE player_discord");
    database_.CreateForeignTable(table_options, column_definitions);
  }

  // Rows in every state: linked, refreshed, waiting without code, with an empty code, and one
  // waiting with the code REAL-1, which is the last.
  void InsertRowsInEveryState() {
    InsertLinkedRow("EOS-ALICE", 55, "Alice", 3, "Builders", "Linked");
    InsertLinkedRow("EOS-CAROL", 56, "Carol", 4, "Diggers", "Updated");
    database_.Execute("INSERT INTO player_discord (discord_id) VALUES ('discord-waiting')");
    database_.Execute("INSERT INTO player_discord (discord_id, code) VALUES ('discord-empty', '')");
    database_.InsertCode("discord-real", "REAL-1");
  }

  static std::vector<std::string> MessagesTo(const DevhostResult& result, const std::string& name) {
    std::vector<std::string> texts;
    for (const std::string& line : PlayerMessages(result)) {
      if (line.starts_with("notify " + name + " ")) texts.push_back(TextOf(line));
    }
    return texts;
  }
};

class ForeignCollationInGame : public StoreIntegrity,
                               public ::testing::WithParamInterface<const char*> {};

// Fixed fault: on a Unicode-collated table "/link Linked" with a control character inside took
// every linked row, and the player was told the link was made.
TEST_P(ForeignCollationInGame, OnlyTheRowOfTheTypedCodeChanges) {
  const std::string collation = GetParam();
  try {
    UseForeignTable("CHARACTER SET " + collation.substr(0, collation.find('_')) + " COLLATE " +
                    collation);
  } catch (const std::runtime_error& error) {
    if (std::string(error.what()).find("Unknown collation") == std::string::npos) throw;
    GTEST_SKIP() << "this server has no " << collation;
  }
  InsertRowsInEveryState();
  const std::vector<PlayerDiscordRow> before = database_.Rows();
  // Every one of mallory's words must reach the store, not stop at the limit on wrong codes.
  Settings()["MaxCodeAttempts"] = 0;

  std::string script = "join mallory eos=EOS-MALLORY id=666\n";
  std::size_t attempts = 0;
  for (const std::string word : {"Linked", "Updated", "0"}) {
    for (const char ignorable : {'\x01', '\x08', '\x0E', '\x1F', '\x7F'}) {
      script += "chat mallory /link " + word.substr(0, 1) + ignorable + word.substr(1) + "\n";
      script += "chat mallory /link " + word + ignorable + "\n";
      attempts += 2;
    }
  }
  script += "chat mallory /link \x01\n";
  ++attempts;
  script +=
      "join bob eos=EOS-BOB id=101 name=Bob tribe_id=7 tribe=Raiders\nchat bob /link REAL-1\n"
      "logout mallory\nlogout bob\n";
  const DevhostResult result = Run(script);

  const std::vector<std::string> to_mallory = MessagesTo(result, "mallory");
  EXPECT_EQ(to_mallory.size(), attempts);
  EXPECT_THAT(to_mallory, Each(std::string("Invalid code")));
  EXPECT_THAT(MessagesTo(result, "bob"), ElementsAre("Account linked"));
  std::vector<PlayerDiscordRow> expected = before;
  expected.back() = {before.back().id, "EOS-BOB", "discord-real", 101, "Bob", 7,
                     "Raiders",        "Updated"};
  EXPECT_EQ(database_.Rows(), expected);
  EXPECT_THAT(VeltraneLog(result), ::testing::IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Collations, ForeignCollationInGame,
                         ::testing::Values("utf8mb4_general_ci", "utf8mb4_unicode_ci",
                                           "utf8mb4_unicode_520_ci", "utf8mb4_uca1400_ai_ci",
                                           "utf8mb4_0900_ai_ci", "latin1_swedish_ci",
                                           "utf8mb4_bin"));

// Fixed fault: a player whose EOS id read "0" linked a code, and at logout the refresh wrote his
// names into every waiting row, whose codes were lost.
TEST_F(StoreIntegrity, EmptyOrDefaultEosIdLinksNothingAndIsNotRefreshed) {
  Settings()["debug"] = true;
  UseForeignTable("CHARACTER SET utf8mb4 COLLATE utf8mb4_uca1400_ai_ci");
  InsertRowsInEveryState();
  // As a link before this fix left it.
  InsertLinkedRow("0", 5, "Zero", 1, "Zeros", "Linked");
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  const DevhostResult result =
      Run("join zero eos=0 id=5 name=Zero\njoin empty eos=\"\" id=6\njoin padded eos=\"0 \" id=7\n"
          "join hidden eos=\"\\u00010\\u007f\" id=8\n"
          "chat zero /link REAL-1\nchat empty /link REAL-1\nchat padded /link REAL-1\n"
          "chat hidden /link REAL-1\n"
          "logout zero\nlogout empty\nlogout padded\nlogout hidden\n");

  for (const std::string name : {"zero", "empty", "padded", "hidden"}) {
    EXPECT_THAT(MessagesTo(result, name), ElementsAre("Invalid code")) << name;
  }
  const std::string refused =
      "[warning] Refused to link a player whose EOS id is empty or reads as \"0\".";
  EXPECT_THAT(VeltraneLog(result), ElementsAre(refused, refused, refused, refused));
  EXPECT_EQ(database_.Rows(), before);
  EXPECT_EQ(result.Count("game-logout "), 4u);
}

// Fixed fault: with an integer code column "/link abc" linked every row whose code was 0.
TEST_F(StoreIntegrity, TableWithAnIntegerCodeIsRefusedAtLoadAndNeverTouched) {
  UseForeignTable("", {{"code", "int(11) NOT NULL DEFAULT 0"}});
  database_.Execute("INSERT INTO player_discord (discord_id) VALUES ('discord-1')");
  database_.Execute("INSERT INTO player_discord (discord_id) VALUES ('discord-2')");
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  const DevhostResult result =
      Run("join bob eos=EOS-BOB id=101\nchat bob /link abc\nchat bob /link 0\nlogout bob\n");

  // A store that is off cannot ask, as when its server is away.
  EXPECT_THAT(MessagesTo(result, "bob"),
              ElementsAre("Database unavailable", "Database unavailable"));
  EXPECT_EQ(database_.Rows(), before);
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[critical] " + kStoreLine +
                          "MySql::MySql) Table player_discord cannot hold the plugin's values "
                          "faithfully, so the account store is off: code is int(11), not a "
                          "character column"));
}

// Fixed fault: a value too long for its column answered the player "Invalid code" and left nothing
// in the log.
TEST_F(StoreIntegrity, RefusedStatementIsAnErrorLineWithTheServersError) {
  UseForeignTable("", {{"character_name", "varchar(32) NOT NULL DEFAULT 'None'"}});
  database_.InsertCode("discord-1", "CODE-1");
  const std::vector<PlayerDiscordRow> before = database_.Rows();

  const DevhostResult result =
      Run("join bob eos=EOS-BOB id=101 name=\"Bob the Second, Keeper of Long Names\"\n"
          "chat bob /link CODE-1\n");

  EXPECT_THAT(MessagesTo(result, "bob"), ElementsAre("Database unavailable"));
  EXPECT_EQ(database_.Rows(), before);
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[error] " + kStoreLine +
                          "MySql::UpdateAccount) The server refused the statement: error 1406: "
                          "Data too long for column 'character_name' at row 1"));
}

}  // namespace
}  // namespace veltrane::test
