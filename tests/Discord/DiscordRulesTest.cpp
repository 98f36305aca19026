// Discord's limits on a webhook message, on the text alone: where the content is cut, and which
// sender names are refused; and the tests' webhook receiver, which refuses what Discord refuses.

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "Discord/DiscordRules.h"
#include "support/WebhookReceiver.h"

namespace veltrane {
namespace {

const std::u16string kDinosaur = u"\U0001F996";  // two UTF-16 units, one character

TEST(DiscordContentCut, ContentWithinTheLimitIsKeptWhole) {
  const std::u16string content = std::u16string(1999, u'x') + kDinosaur;
  const DiscordContent fitted = FitDiscordContent(content);
  EXPECT_FALSE(fitted.cut);
  EXPECT_EQ(fitted.text, content);
  EXPECT_EQ(fitted.characters_before, 2000u);
}

TEST(DiscordContentCut, CutCountsCharactersAndKeepsSurrogatePairsWhole) {
  const std::u16string content = std::u16string(1998, u'x') + kDinosaur + kDinosaur + u"y";
  const DiscordContent fitted = FitDiscordContent(content);
  EXPECT_TRUE(fitted.cut);
  EXPECT_EQ(fitted.characters_before, 2001u);
  EXPECT_EQ(fitted.text, std::u16string(1998, u'x') + kDinosaur + kDinosaur);
  EXPECT_EQ(CountCharacters(fitted.text), 2000u);
}

TEST(DiscordContentCut, ABackslashLeftWithoutItsCharacterGoesToo) {
  // An escaped backslash ("\\") at the end is a whole escape and stays; the first half of "\*"
  // would show a backslash the player never typed.
  const std::u16string kept(1998, u'x');
  EXPECT_EQ(FitDiscordContent(kept + u"\\\\\\*").text, kept + u"\\\\");
  EXPECT_EQ(FitDiscordContent(kept + u"x\\*").text, kept + u"x");
  EXPECT_EQ(FitDiscordContent(kept + u"\\\\x").text, kept + u"\\\\");
}

TEST(DiscordSenderName, NamesDiscordRefusesAreNamedAndTheOthersPass) {
  EXPECT_EQ(DiscordNameProblem(u"MyARK"), "");
  EXPECT_EQ(DiscordNameProblem(std::u16string(79, u'a') + kDinosaur), "");
  EXPECT_EQ(DiscordNameProblem(u""), "Discord refuses a name that is empty or only white space");
  EXPECT_EQ(DiscordNameProblem(u"\u3000 \u00A0"),
            "Discord refuses a name that is empty or only white space");
  EXPECT_EQ(DiscordNameProblem(std::u16string(80, u'a') + kDinosaur),
            "Discord refuses a name of more than 80 characters, found 81");
  EXPECT_EQ(DiscordNameProblem(u"CLYDE"),
            R"(Discord refuses a name that contains "clyde" or "discord", in any letter case)");
  EXPECT_EQ(DiscordNameProblem(u"Ark to Discord"),
            R"(Discord refuses a name that contains "clyde" or "discord", in any letter case)");
}

TEST(DiscordRulesOfTheReceiver, RefuseWhatDiscordRefuses) {
  // The bodies Discord answered 400, and the largest it takes, so that a 204 means something.
  const std::string dinosaur = "🦖";
  const auto body = [](const std::string& content, const std::string& username) {
    return nlohmann::json{{"content", content}, {"username", username}, {"avatar_url", nullptr}}
        .dump();
  };
  EXPECT_EQ(test::DiscordRefusal(body("hi", std::string(100, 'a'))),
            "username has 100 characters, over 80");
  EXPECT_EQ(test::DiscordRefusal(body("hi", "")), "username is empty");
  EXPECT_EQ(test::DiscordRefusal(body("hi", "my Clyde")),
            R"(username contains "clyde" or "discord")");
  EXPECT_EQ(test::DiscordRefusal(body("hi", "DiScOrD relay")),
            R"(username contains "clyde" or "discord")");
  EXPECT_EQ(test::DiscordRefusal(body(std::string(2100, 'x'), "MyARK")),
            "content has 2100 characters, over 2000");
  EXPECT_EQ(test::DiscordRefusal(body(" \n ", "MyARK")), "content is empty");
  EXPECT_EQ(test::DiscordRefusal(
                body(std::string(1999, 'x') + dinosaur, std::string(79, 'a') + dinosaur)),
            "");
}

}  // namespace
}  // namespace veltrane
