// The admin commands' arguments and reply texts, without host or database: which ids a command
// line names, and that a reply always fits in one RCON packet.

#include <gmock/gmock.h>

#include <string>
#include <vector>

#include "Admin/AdminCommandText.h"

namespace veltrane {
namespace {

using ::testing::ElementsAre;
using ::testing::Optional;

constexpr char kEOSId[] = "0123456789abcdefABCDEF0123456789";
constexpr char kDiscordId[] = "123456789012345678";

std::optional<AccountId> Parse(const std::string& arguments) {
  return ParseAccountIdArgument("Veltrane.Linked " + arguments);
}

TEST(AccountIdArgument, ThirtyTwoHexCharactersAreAnEOSIdAndSnowflakesADiscordId) {
  EXPECT_THAT(Parse(kEOSId), Optional(AccountId{AccountIdKind::EOSId, kEOSId}));
  EXPECT_THAT(Parse("12345678901234567"),
              Optional(AccountId{AccountIdKind::DiscordId, "12345678901234567"}));
  EXPECT_THAT(Parse("18446744073709551615"),
              Optional(AccountId{AccountIdKind::DiscordId, "18446744073709551615"}));
  // 32 digits are hex characters too: an EOS id, never a Discord id.
  EXPECT_THAT(Parse(std::string(32, '7')),
              Optional(AccountId{AccountIdKind::EOSId, std::string(32, '7')}));
  // White space of any kind around and between the words.
  EXPECT_THAT(ParseAccountIdArgument("\tVeltrane.Unlink \t " + std::string(kDiscordId) + " \r\n"),
              Optional(AccountId{AccountIdKind::DiscordId, kDiscordId}));
}

TEST(AccountIdArgument, EveryOtherFormIsRefused) {
  for (const std::string& arguments :
       {std::string(), std::string("   "), std::string(31, 'a'), std::string(33, 'a'),
        std::string(31, 'a') + "g", std::string(16, '1'), std::string(21, '1'),
        std::string(51, '1'), std::string(kDiscordId) + " " + kDiscordId,
        std::string(kEOSId) + " x", std::string("-12345678901234567"),
        std::string("1234567890123456\xd9\xa1"), std::string("0x") + std::string(30, 'a'),
        std::string("'") + std::string(30, 'a') + "'", std::string(kDiscordId) + ";"}) {
    EXPECT_EQ(Parse(arguments), std::nullopt) << '"' << arguments << '"';
  }
  EXPECT_EQ(ParseAccountIdArgument("Veltrane.Linked"), std::nullopt);
  EXPECT_EQ(ParseAccountIdArgument(""), std::nullopt);
}

LinkedAccount Link(std::string character_name) {
  return {7, "00a1", "4242", 41, std::move(character_name), 3, "Explorers", "Linked"};
}

TEST(LinkDescription, NamesAreQuotedSoThatNoLineCanBeForged) {
  EXPECT_EQ(DescribeLink(Link("Ada")),
            "EOS id 00a1, Discord id 4242, player id 41, character \"Ada\", tribe \"Explorers\", "
            "Linked");
  const std::string forged = DescribeLink(Link("Ada\"\n4 links for EOS id x:\\"));
  EXPECT_EQ(forged.find('\n'), std::string::npos);
  EXPECT_NE(forged.find("character \"Ada\\\"\\n4 links for EOS id x:\\\\\""), std::string::npos)
      << forged;
  // Ids that are no plain word are quoted as well.
  LinkedAccount odd = Link("Ada");
  odd.eos_id = "a b";
  odd.discord_id = "1,2";
  EXPECT_EQ(DescribeLink(odd).rfind("EOS id \"a b\", Discord id \"1,2\", ", 0), 0u);
}

TEST(LinkDescription, TheLogRowHoldsEveryColumn) {
  EXPECT_EQ(DescribeRow(Link("Zo\xc3\xab {x}")),
            "id=7 eos_id=\"00a1\" discord_id=\"4242\" player_id=41 character_name=\"Zo\xc3\xab "
            "{x}\" tribe_id=3 tribe_name=\"Explorers\" code=\"Linked\"");
}

// The code column as the store read it, and how the reply line and the log row end.
struct StateCase {
  const char* state;
  const char* line_end;
  const char* row_end;
};

TEST(LinkDescription, AStateWordIsShownAsReadAndAnythingElseAsAWaitingCode) {
  for (const StateCase& c :
       {StateCase{"Linked", ", Linked", " code=\"Linked\""},
        StateCase{"updated", ", updated", " code=\"updated\""},
        StateCase{"Updat\xc3\xa9\x64", ", \"Updat\xc3\xa9\x64\"", " code=\"Updat\xc3\xa9\x64\""},
        StateCase{"", ", a code waiting on a linked row",
                  " code=(a code waiting on a linked row)"}}) {
    SCOPED_TRACE(c.state);
    LinkedAccount link = Link("Ada");
    link.state = c.state;
    EXPECT_TRUE(DescribeLink(link).ends_with(c.line_end)) << DescribeLink(link);
    EXPECT_TRUE(DescribeRow(link).ends_with(c.row_end)) << DescribeRow(link);
  }
}

std::vector<std::string> Lines(std::size_t count, std::size_t line_bytes) {
  std::vector<std::string> lines{"header"};
  for (std::size_t i = 0; i < count; ++i) lines.push_back(std::string(line_bytes, 'x'));
  return lines;
}

TEST(ReplyFit, AReplyThatFitsIsLeftWhole) {
  const std::vector<std::string> lines = Lines(3, 10);
  EXPECT_EQ(FitReply(lines), lines);
  EXPECT_EQ(JoinReply(FitReply(lines)), "header\nxxxxxxxxxx\nxxxxxxxxxx\nxxxxxxxxxx");
  // Exactly at the limit is still whole.
  EXPECT_EQ(FitReply(lines, JoinReply(lines).size()), lines);
}

TEST(ReplyFit, ALongListIsCutWithTheCountOfWhatIsLeftOut) {
  const std::vector<std::string> fitted = FitReply(Lines(1000, 100));
  EXPECT_LE(JoinReply(fitted).size(), kMaxReplyBytes);
  ASSERT_GE(fitted.size(), 3u);
  EXPECT_EQ(fitted.front(), "header");
  const std::size_t shown = fitted.size() - 2;
  EXPECT_EQ(fitted.back(), "... and " + std::to_string(1000 - shown) + " more");
  // One more line would not have fitted, even with a count one digit shorter.
  EXPECT_GT(JoinReply(fitted).size() + 101 - 1, kMaxReplyBytes);

  // One byte short of the whole: the last line goes, and is counted.
  const std::vector<std::string> lines = Lines(3, 10);
  EXPECT_THAT(FitReply(lines, JoinReply(lines).size() - 1),
              ElementsAre("header", "xxxxxxxxxx", "... and 2 more"));
}

TEST(ReplyFit, ALineTooLongForTheReplyIsCountedNotCut) {
  const std::vector<std::string> lines{"header", "short", std::string(5000, 'y'), "after"};
  EXPECT_THAT(FitReply(lines), ElementsAre("header", "short", "... and 2 more"));
}

TEST(ReplyFit, AnOverlongFirstLineIsCutAtACharacterBoundary) {
  // Two-byte characters: a cut in the middle of one would leave invalid UTF-8.
  std::string first;
  for (int i = 0; i < 3000; ++i) first += "\xc3\xa9";
  const std::vector<std::string> fitted = FitReply({first, std::string(100, 's')});
  ASSERT_EQ(fitted.size(), 2u);
  EXPECT_EQ(fitted[1], "... and 1 more");
  EXPECT_LE(JoinReply(fitted).size(), kMaxReplyBytes);
  EXPECT_EQ(fitted[0].size() % 2, 0u);
  EXPECT_EQ(first.rfind(fitted[0], 0), 0u);
  EXPECT_EQ(FitReply({first}).at(0).size(), kMaxReplyBytes);
}

}  // namespace
}  // namespace veltrane
