// Names that players chose show in the link announcement as typed: they cannot ping the Discord
// server, and their markdown is plain text. The administrator's template can do both.

#include <gmock/gmock.h>

#include <sstream>

#include "support/PluginTest.h"
#include "support/WebhookReceiver.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAre;

// U+200B, as the body carries it (UTF-8).
#define ZWSP "\u200B"

class AnnouncementMentions : public PluginTest {
 protected:
  AnnouncementMentions() {
    Discord()["EnableDiscord"] = true;
    Discord()["WebHookUrl"] = receiver_.Url();
    Discord()["CustomMessage"] = "{CharacterName}|{TribeName}";
  }

  // Each player of joins links with a code of its own; answers the announcements posted, in order
  // (several may share a message, one a line).
  std::vector<std::string> LinkAll(const std::vector<std::string>& joins) {
    std::string script;
    for (std::size_t i = 0; i < joins.size(); ++i) {
      const std::string code = "CODE-" + std::to_string(i + 1);
      database_.InsertCode("discord-" + std::to_string(i + 1), code);
      script += joins[i] + "\n";
      script += "chat p" + std::to_string(i + 1) + " /link " + code + "\n";
    }
    Run(script);
    std::vector<std::string> contents;
    for (const HttpRequest& request : receiver_.Requests()) {
      std::istringstream content(
          nlohmann::json::parse(request.body).at("content").get<std::string>());
      for (std::string line; std::getline(content, line);) contents.push_back(line);
    }
    return contents;
  }

  WebhookReceiver receiver_{204};
};

TEST_F(AnnouncementMentions, EveryMentionFormInANameOrTribeNameIsPlainText) {
  const std::vector<std::string> contents = LinkAll({
      R"(join p1 name="@everyone" tribe="@here")",
      R"(join p2 name="<@123456789012345678>" tribe="<@&987654321098765432>")",
      R"(join p3 name="<#555> and <@!42>" tribe="mail@example <3")",
  });
  EXPECT_THAT(contents, ElementsAre("@" ZWSP "everyone|@" ZWSP "here",
                                    "<" ZWSP "@" ZWSP "123456789012345678\\>|<" ZWSP "@" ZWSP
                                    "&987654321098765432\\>",
                                    "<" ZWSP "\\#555\\> and <" ZWSP "@" ZWSP "!42\\>|mail@" ZWSP
                                    "example <3"));
}

TEST_F(AnnouncementMentions, TemplateMentionsStayAndNamesCannotCompleteOne) {
  // The role and @here are the administrator's; the player's values must not turn "@" or "<"
  // before their places into mentions, nor a "<" at the end of one value with the next.
  Discord()["CustomMessage"] =
      "@here <@&111> welcome @{CharacterName}, <{TribeName} {CharacterName}{TribeName}";
  const std::vector<std::string> contents = LinkAll({
      R"(join p1 name="everyone<" tribe="#222>")",
  });
  EXPECT_THAT(contents, ElementsAre("@here <@&111> welcome @" ZWSP "everyone<" ZWSP ", <" ZWSP
                                    "\\#222\\> everyone<" ZWSP "\\#222\\>"));
}

TEST_F(AnnouncementMentions, BodyKeepsItsThreeMembersInOrder) {
  Discord()["SenderName"] = "Bot <@&7>";
  database_.InsertCode("discord-1", "CODE-1");
  Run("join bob name=\"@everyone\" tribe=Raiders\nchat bob /link CODE-1\n");
  ASSERT_TRUE(receiver_.WaitForRequests(1));
  EXPECT_EQ(receiver_.Requests().at(0).body, "{\"content\":\"@" ZWSP
                                             "everyone|Raiders\",\"username\":\"Bot <@&7>\","
                                             "\"avatar_url\":null}");
}

TEST_F(AnnouncementMentions, NamesWithoutMentionsGetNoZeroWidthSpace) {
  const std::vector<std::string> contents = LinkAll({
      R"(join p1 name="Zoë <the> 1" tribe="a < b")",
  });
  EXPECT_THAT(contents, ElementsAre("Zoë <the\\> 1|a < b"));
}

TEST_F(AnnouncementMentions, MarkdownInANameShowsAsTyped) {
  // A masked link in a name reached the channel as a phishing link under the server's name.
  const std::vector<std::string> contents = LinkAll({
      R"x(join p1 name="[free nitro](https://evil.example/x)" tribe="**bold** __under__")x",
      R"(join p2 name="||spoiler|| ~~gone~~" tribe="> quoted")",
      R"(join p3 name="# Heading" tribe="-# small `code` back\\slash")",
  });
  EXPECT_THAT(contents,
              ElementsAre(R"(\[free nitro\]\(https://evil.example/x\)|\*\*bold\*\* \_\_under\_\_)",
                          R"(\|\|spoiler\|\| \~\~gone\~\~|\> quoted)",
                          R"(\# Heading|\-\# small \`code\` back\\slash)"));
}

TEST_F(AnnouncementMentions, TemplateKeepsItsMarkdownAroundAName) {
  Discord()["CustomMessage"] = "**{CharacterName}** of [{TribeName}](https://example.org/t) @here";
  const std::vector<std::string> contents = LinkAll({
      R"x(join p1 name="*x*" tribe="a](https://evil.example) [b")x",
  });
  EXPECT_THAT(
      contents,
      ElementsAre(
          R"(**\*x\*** of [a\]\(https://evil.example\) \[b](https://example.org/t) @here)"));
}

}  // namespace
}  // namespace veltrane::test
