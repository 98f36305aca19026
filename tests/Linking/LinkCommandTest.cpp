// The link chat command end to end: what the player is told, what the table holds afterwards and
// what the log says, grouped by outcome.

#include <gmock/gmock.h>

#include "support/PluginTest.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class LinkCommandCases : public PluginTest {
 protected:
  LinkCommandCases() { Settings()["debug"] = true; }

  // The one message that bob was shown.
  static std::string OnlyMessageToBob(const DevhostResult& result) {
    const std::vector<std::string> messages = PlayerMessages(result);
    EXPECT_EQ(messages.size(), 1u);
    return messages.empty() ? "" : messages.front();
  }

  PlayerDiscordRow WaitingRow(int id, const std::string& discord_id, const std::string& code) {
    return {id, "0", discord_id, 0, "None", 0, "None", code};
  }
};
using LinkCommand = InBothStoreModes<LinkCommandCases>;

// Usage

TEST_P(LinkCommand, CommandAloneAnswersCmdUsage) {
  const DevhostResult result = Run(std::string(kJoinBob) + "chat bob /link\nchat bob /link   \n");
  EXPECT_THAT(
      PlayerMessages(result),
      ElementsAre("notify bob rgba=1,0,0,1 scale=1.3 secs=10 text=\"Usage: /link <code>\"",
                  "notify bob rgba=1,0,0,1 scale=1.3 secs=10 text=\"Usage: /link <code>\""));
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
}

// Already linked

TEST_P(LinkCommand, LinkedPlayerIsRefusedBeforeTheCodeIsLookedAt) {
  InsertLinkedRow("EOS-BOB", 101, "Bob", 7, "Raiders", "Linked");
  database_.InsertCode("discord-2", "CODE-2");
  const DevhostResult result = Run(std::string(kJoinBob) + "chat bob /link CODE-2\n");
  EXPECT_EQ(TextOf(OnlyMessageToBob(result)), "Already linked");
  EXPECT_EQ(FieldText(OnlyMessageToBob(result), "rgba"), kErrorRgba);
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[info] The user with ID EOS-BOB tried to link his account again."));
  EXPECT_EQ(database_.Rows().at(1), WaitingRow(2, "discord-2", "CODE-2"));
}

TEST_P(LinkCommand, RowWithPlayerIdZeroDoesNotCountAsLinked) {
  InsertLinkedRow("EOS-BOB", 0, "Bob", 7, "Raiders", "Linked");
  database_.InsertCode("discord-2", "CODE-2");
  const DevhostResult result = Run(std::string(kJoinBob) + "chat bob /link CODE-2\n");
  EXPECT_EQ(TextOf(OnlyMessageToBob(result)), "Account linked");
  EXPECT_EQ(database_.Rows().at(1).code, "Linked");
}

TEST_P(LinkCommand, SamePlayerIsRefusedAfterLinking) {
  database_.InsertCode("discord-1", "CODE-1");
  database_.InsertCode("discord-2", "CODE-2");
  const DevhostResult result =
      Run(std::string(kJoinBob) + "chat bob /link CODE-1\nchat bob /link CODE-2\n");
  EXPECT_THAT(PlayerMessages(result), ElementsAre(HasSubstr("text=\"Account linked\""),
                                                  HasSubstr("text=\"Already linked\"")));
  EXPECT_EQ(database_.Rows().at(1), WaitingRow(2, "discord-2", "CODE-2"));
}

// Invalid code

TEST_P(LinkCommand, UnknownCodeAnswersInvalidCodeAndChangesNothing) {
  database_.InsertCode("discord-1", "CODE-1");
  const DevhostResult result = Run(std::string(kJoinBob) + "chat bob /link CODE-9\n");
  EXPECT_EQ(TextOf(OnlyMessageToBob(result)), "Invalid code");
  EXPECT_EQ(FieldText(OnlyMessageToBob(result), "rgba"), kErrorRgba);
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[info] The user with ID EOS-BOB tried to link use a invalid code."));
  EXPECT_THAT(database_.Rows(), ElementsAre(WaitingRow(1, "discord-1", "CODE-1")));
}

TEST_P(LinkCommand, CodeAlreadyUsedAnswersInvalidCode) {
  database_.InsertCode("discord-1", "CODE-1");
  const DevhostResult result = Run(std::string(kJoinBob) +
                                   "join eve eos=EOS-EVE id=202\n"
                                   "chat bob /link CODE-1\nchat eve /link CODE-1\n");
  EXPECT_THAT(PlayerMessages(result), ElementsAre(StartsWith("notify bob "),
                                                  "notify eve rgba=1,0,0,1 scale=1.3 secs=10 "
                                                  "text=\"Invalid code\""));
  EXPECT_EQ(database_.Rows().at(0).eos_id, "EOS-BOB");
}

TEST_P(LinkCommand, StateWordsTypedAsCodesAnswerInvalidCode) {
  // A typed "Linked" used to rewrite every linked row with this player's data.
  InsertLinkedRow("EOS-ALICE", 55, "Alice", 3, "Builders", "Linked");
  InsertLinkedRow("EOS-CAROL", 56, "Carol", 4, "Diggers", "Updated");
  database_.Execute("INSERT INTO player_discord (discord_id) VALUES ('discord-without-code')");
  const std::vector<PlayerDiscordRow> before = database_.Rows();
  const DevhostResult result = Run(
      std::string(kJoinBob) +
      "chat bob /link Linked\nchat bob /link lInKeD\nchat bob /link UPDATED\nchat bob /link 0\n");
  const std::vector<std::string> messages = PlayerMessages(result);
  ASSERT_EQ(messages.size(), 4u);
  for (const std::string& message : messages) EXPECT_EQ(TextOf(message), "Invalid code");
  EXPECT_EQ(database_.Rows(), before);
}

// The server refused the update: the code may well be good, so the player is not told it is wrong.
TEST_P(LinkCommand, FailedUpdateTellsNoLinkAndSkipsGroupAndAnnouncement) {
  database_.InsertCode("discord-1", "CODE-1");
  database_.Execute(
      "CREATE TRIGGER refuse_link BEFORE UPDATE ON player_discord FOR EACH ROW "
      "SIGNAL SQLSTATE '45000' SET MESSAGE_TEXT = 'refused'");
  Settings()["UsePermissions"] = true;
  Discord()["EnableDiscord"] = true;
  Discord()["WebHookUrl"] = "http://127.0.0.1:9/webhook";
  const DevhostResult result =
      Run("perms on\n" + std::string(kJoinBob) + "chat bob /link CODE-1\n");
  EXPECT_EQ(TextOf(OnlyMessageToBob(result)), "Database unavailable");
  EXPECT_EQ(result.Count("group-add "), 0u);
  EXPECT_EQ(result.Count("http-post "), 0u);
  EXPECT_THAT(database_.Rows(), ElementsAre(WaitingRow(1, "discord-1", "CODE-1")));
}

// Success

TEST_P(LinkCommand, LinkWritesThePlayerIntoTheRowAndConfirmsOnScreen) {
  database_.InsertCode("discord-1", "CODE-1");
  const DevhostResult result = Run(std::string(kJoinBob) + "chat bob /link CODE-1\n");
  EXPECT_EQ(OnlyMessageToBob(result),
            "notify bob rgba=0.16202937,0.70837575,0.29177064,1 scale=1.3 secs=10 "
            "text=\"Account linked\"");
  EXPECT_THAT(database_.Rows(), ElementsAre(PlayerDiscordRow{1, "EOS-BOB", "discord-1", 101, "bob",
                                                             7, "Raiders", "Linked"}));
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[info] The user with ID EOS-BOB linked his account with discord."));
}

TEST_P(LinkCommand, ChatModeRepliesUnderTheSenderName) {
  database_.InsertCode("discord-1", "CODE-1");
  Settings()["NotificationMode"] = false;
  const DevhostResult result =
      Run(std::string(kJoinBob) + "chat bob /link\nchat bob /link CODE-1\n");
  EXPECT_THAT(PlayerMessages(result),
              ElementsAre("chat-message bob sender=\"Veltrane Bot\" text=\"Usage: /link <code>\"",
                          "chat-message bob sender=\"Veltrane Bot\" text=\"Account linked\""));
}

TEST_P(LinkCommand, WordsAfterTheCodeAndRunsOfSpacesAreIgnored) {
  database_.InsertCode("discord-1", "CODE-1");
  const DevhostResult result = Run(std::string(kJoinBob) + "chat bob /link   CODE-1 please now\n");
  EXPECT_EQ(TextOf(OnlyMessageToBob(result)), "Account linked");
  EXPECT_EQ(database_.Rows().at(0).code, "Linked");
}

TEST_P(LinkCommand, MessagesDurationReachesTheHostUnchanged) {
  Settings()["MessagesDuration"] = 3600;
  const DevhostResult result = Run(std::string(kJoinBob) + "chat bob /link\n");
  EXPECT_EQ(Field(OnlyMessageToBob(result), "secs"), nlohmann::json(3600));
}

TEST_P(LinkCommand, DebugOffWritesNoInfoLines) {
  Settings()["debug"] = false;
  database_.InsertCode("discord-1", "CODE-1");
  const DevhostResult result = Run(std::string(kJoinBob) +
                                   "chat bob /link CODE-9\nchat bob /link CODE-1\n"
                                   "chat bob /link CODE-1\n");
  EXPECT_EQ(PlayerMessages(result).size(), 3u);
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
}

// Names and ids beyond ASCII

TEST_P(LinkCommand, NonAsciiNamesAreStoredAsUtf8) {
  database_.InsertCode("discord-1", "CODE-1");
  const DevhostResult result = Run(
      "join bob eos=EOS-BOB id=101 name=\"Zoë 🦖\" tribe_id=-4 tribe=\"Ärger's \\\"Clan\\\"\"\n"
      "chat bob /link CODE-1\n");
  EXPECT_EQ(TextOf(OnlyMessageToBob(result)), "Account linked");
  const PlayerDiscordRow row = database_.Rows().at(0);
  EXPECT_EQ(row.character_name, "Zoë 🦖");
  EXPECT_EQ(row.tribe_name, "Ärger's \"Clan\"");
  EXPECT_EQ(row.tribe_id, -4);
}

TEST_P(LinkCommand, NonAsciiEosIdAndCodeReachTheStoreWithQuestionMarks) {
  database_.InsertCode("discord-1", "C?DE");
  const DevhostResult result = Run("join bob eos=\"EOS-é-1\" id=101\nchat bob /link CÖDE\n");
  EXPECT_EQ(TextOf(OnlyMessageToBob(result)), "Account linked");
  EXPECT_EQ(database_.Rows().at(0).eos_id, "EOS-?-1");
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[info] The user with ID EOS-?-1 linked his account with discord."));
}

TEST_P(LinkCommand, PlayerWithoutPlayerStateIsStoredWithAnEmptyTribeName) {
  database_.InsertCode("discord-1", "CODE-1");
  const DevhostResult result = Run("join bob eos=EOS-BOB id=101 nostate\nchat bob /link CODE-1\n");
  EXPECT_EQ(TextOf(OnlyMessageToBob(result)), "Account linked");
  EXPECT_EQ(database_.Rows().at(0).tribe_name, "");
}

// Players who get nothing at all

TEST_P(LinkCommand, DeadPlayerAndPlayerWithoutCharacterGetNothing) {
  database_.InsertCode("discord-1", "CODE-1");
  const DevhostResult result =
      Run("join bob eos=EOS-BOB id=101 dead\njoin eve eos=EOS-EVE id=202 nochar\n"
          "chat bob /link CODE-1 # no reply\nchat bob /link # no reply\n"
          "chat eve /link CODE-1 # no reply\nchat eve /link # no reply\n");
  EXPECT_THAT(PlayerMessages(result), IsEmpty());
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
  EXPECT_THAT(database_.Rows(), ElementsAre(WaitingRow(1, "discord-1", "CODE-1")));
}

INSTANTIATE_IN_BOTH_STORE_MODES(LinkCommand);

}  // namespace
}  // namespace veltrane::test
