// The pure rules on text: what player names become in an announcement, the announcement's
// placeholders, which codes are state words, which columns the store can use, who has no identity,
// and the bound and the retries of the writes in doubt.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "Database/ColumnRequirements.h"
#include "Database/DefaultIdentity.h"
#include "Database/StateWords.h"
#include "Database/WritesInDoubt.h"
#include "Discord/AnnouncementText.h"
#include "Discord/Markdown.h"
#include "Discord/Mentions.h"
#include "host/Tools.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(Mentions, EveryMentionFormIsBrokenWithAZeroWidthSpace) {
  EXPECT_EQ(NeutraliseMentions(u"@everyone @here"), u"@\u200Beveryone @\u200Bhere");
  EXPECT_EQ(NeutraliseMentions(u"<@123> <@!4> <@&5> <#6>"),
            u"<\u200B@\u200B123> <\u200B@\u200B!4> <\u200B@\u200B&5> <\u200B#6>");
  EXPECT_EQ(NeutraliseMentions(u"a<"), u"a<\u200B") << "a '<' at the end may start one";
  EXPECT_EQ(NeutraliseMentions(u"1 < 2 <3"), u"1 < 2 <3");
  EXPECT_EQ(NeutraliseMentions(u""), u"");
}

TEST(Markdown, EachMarkdownCharacterGetsOneBackslash) {
  EXPECT_EQ(EscapeMarkdown(u"**bold** _x_ ~~s~~ `c` ||h|| > # - [a](b) \\"),
            u"\\*\\*bold\\*\\* \\_x\\_ \\~\\~s\\~\\~ \\`c\\` \\|\\|h\\|\\| \\> \\# \\- "
            u"\\[a\\]\\(b\\) \\\\");
  EXPECT_EQ(EscapeMarkdown(u"Alice the Brave \u00e9"), u"Alice the Brave \u00e9");
}

// Every value holds placeholders, so that a value expanded again shows.
AnnouncementValues TrickyValues() {
  return {.character_name = u"{EOS}{MapName}{PlayerId}",
          .map_name = u"{TribeName}",
          .player_id = 41,
          .eos_id = u"{CharacterName}",
          .tribe_id = -7,
          .tribe_name = u"{eos}{TRIBEID}"};
}

TEST(Announcement, EachPlaceholderIsReplacedOnceAndEveryValueShowsAsTyped) {
  // Replaced one placeholder after another, a name holding placeholders showed the player's EOS
  // id, the map and his player id instead of the name.
  const AnnouncementValues tricky = TrickyValues();
  AnnouncementValues plain = tricky;
  plain.character_name = u"Bob";
  plain.map_name = u"TheIsland";
  plain.eos_id = u"0002aaaa0002aaaa0002aaaa0002aaaa";
  plain.tribe_name = u"Raiders";
  AnnouncementValues map_before_name = plain;
  map_before_name.map_name = u"Map@";
  map_before_name.character_name = u"everyone";
  AnnouncementValues mentions = plain;
  mentions.character_name = u"everyone";
  mentions.tribe_name = u"#1>";
  AnnouncementValues own_placeholder = plain;
  own_placeholder.character_name = u"{CharacterName}";
  own_placeholder.tribe_name = u"{TribeName}{TribeName}";
  AnnouncementValues wide = plain;
  wide.character_name = u"Zo\u00eb \U0001F996";
  struct Row {
    std::u16string template_text;
    AnnouncementValues values;
    std::u16string expected;
  };
  const std::vector<Row> rows = {
      {u"{CharacterName}", tricky, u"{EOS}{MapName}{PlayerId}"},
      {u"{CharacterName}|{PlayerId}|{EOS}|{MapName}|{TribeId}|{TribeName}", tricky,
       u"{EOS}{MapName}{PlayerId}|41|{CharacterName}|{TribeName}|-7|{eos}{TRIBEID}"},
      {u"{TribeName}{MapName}{EOS}{CharacterName}", tricky,
       u"{eos}{TRIBEID}{TribeName}{CharacterName}{EOS}{MapName}{PlayerId}"},
      {u"{CharacterName} / {TribeName}", own_placeholder,
       u"{CharacterName} / {TribeName}{TribeName}"},
      // Letter case and repetition.
      {u"{eos} {EOS} {Eos} {charactername}{CHARACTERNAME} {playerid}{TRIBEID}", plain,
       u"0002aaaa0002aaaa0002aaaa0002aaaa 0002aaaa0002aaaa0002aaaa0002aaaa "
       u"0002aaaa0002aaaa0002aaaa0002aaaa BobBob 41-7"},
      // Braces and unknown placeholders stay as written.
      {u"{{EOS}} {Unknown} {EOS {CharacterName}} {} {", plain,
       u"{0002aaaa0002aaaa0002aaaa0002aaaa} {Unknown} {EOS Bob} {} {"},
      {u"{Character Name} {TribeName {CharacterName", plain,
       u"{Character Name} {TribeName {CharacterName"},
      {u"", tricky, u""},
      {u"No placeholder \U0001F996", plain, u"No placeholder \U0001F996"},
      {u"{CharacterName} on {MapName}", wide, u"Zo\u00eb \U0001F996 on TheIsland"},
      // The mention neutraliser and the markdown escaping are kept.
      {u"@{CharacterName} <{TribeName}", mentions, u"@\u200Beveryone <\u200B\\#1\\>"},
      {u"{MapName}{CharacterName}", map_before_name, u"Map@\u200Beveryone"},
      {u"**{CharacterName}**", plain, u"**Bob**"},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ComposeAnnouncement(row.template_text, row.values), row.expected)
        << AsaApi::Tools::Utf8Encode(row.template_text);
  }
}

TEST(StateWords, CodesTheCollationWouldTakeForAStateWord) {
  for (const char* word : {"Linked", "LINKED", "updated", "Updated  ", "0", "L\xc3\xaenked"}) {
    EXPECT_TRUE(veltrane::IsStateWord(word)) << word;
  }
  for (const char* code : {"Link", "Linked1", "00", " 0", "ABC123", ""}) {
    EXPECT_FALSE(veltrane::IsStateWord(code)) << code;
  }
}

TEST(DefaultIdentity, EmptyOrZeroOnceIgnoredCharactersAreGone) {
  for (const char* eos : {"", "0", " 0 ", "\t0\x7f", "   "}) {
    EXPECT_TRUE(veltrane::IsDefaultIdentity(eos)) << eos;
  }
  for (const char* eos : {"00", "0a", "508b2abb65a039077cb2c06daf41182c"}) {
    EXPECT_FALSE(veltrane::IsDefaultIdentity(eos)) << eos;
  }
}

std::vector<veltrane::ColumnDescription> GoodColumns() {
  return {{"id", "int", "int(11)"},
          {"eos_id", "varchar", "varchar(50)"},
          {"discord_id", "varchar", "varchar(50)"},
          {"player_id", "int", "int(11)"},
          {"character_name", "varchar", "varchar(255)"},
          {"tribe_id", "int", "int(11)"},
          {"tribe_name", "varchar", "varchar(255)"},
          {"code", "varchar", "varchar(50)"}};
}

TEST(ColumnRequirements, TheStoresOwnTableHasNoProblem) {
  EXPECT_THAT(veltrane::ColumnProblems(GoodColumns()), IsEmpty());
  std::vector<veltrane::ColumnDescription> upper = GoodColumns();
  for (auto& column : upper) {
    for (char& c : column.name) c = static_cast<char>(std::toupper(c));
    for (char& c : column.column_type) c = static_cast<char>(std::toupper(c));
  }
  EXPECT_THAT(veltrane::ColumnProblems(upper), IsEmpty()) << "names and types ignore case";
  EXPECT_THAT(veltrane::ColumnProblems({}), ElementsAre("the table is missing"));
}

TEST(ColumnRequirements, EachUnfitColumnIsNamedInTheStoresOrder) {
  std::vector<veltrane::ColumnDescription> columns = GoodColumns();
  columns[7] = {"code", "varchar", "varchar(6)"};
  columns[5] = {"tribe_id", "tinyint", "tinyint(4)"};
  columns[3] = {"player_id", "int", "int(10) unsigned"};
  columns[1] = {"eos_id", "int", "int(11)"};
  columns.erase(columns.begin() + 4);  // character_name
  EXPECT_THAT(
      veltrane::ColumnProblems(columns),
      ElementsAre(
          "eos_id is int(11), not a character column",
          "player_id is int(10) unsigned, not an integer column that holds every signed "
          "32-bit value",
          "character_name is missing",
          "tribe_id is tinyint(4), not an integer column that holds every signed 32-bit "
          "value",
          "code is varchar(6), shorter than the 7 characters of the state word \"Updated\""));
}

TEST(WritesInDoubt, TheOldestIsGivenUpAtTheBoundAndAServerAwayWaitsTwiceAsLongEachTime) {
  using namespace std::chrono_literals;
  veltrane::WritesInDoubt writes;
  veltrane::WriteInDoubt write;
  for (std::size_t i = 0; i < veltrane::WritesInDoubt::kMostRemembered; ++i) {
    write.eos_id = "p" + std::to_string(i);
    EXPECT_EQ(writes.Add(write), std::nullopt);
  }
  write.eos_id = "away";
  write.server = {"away", 1};
  EXPECT_EQ(writes.Add(write)->eos_id, "p0");
  const auto now = veltrane::WritesInDoubt::Clock::time_point() + 1h;
  std::vector<std::chrono::nanoseconds> waits;
  for (int failed = 0; failed < 4; ++failed) {
    writes.Postpone(write.server, now, {5s, 20s});
    waits.push_back(writes.LinkUpdateOf(write.eos_id)->retry_at - now);
  }
  EXPECT_THAT(waits, ElementsAre(5s, 10s, 20s, 20s));
  EXPECT_TRUE(writes.AnyDue(now)) << "the other server's writes";
}

}  // namespace
