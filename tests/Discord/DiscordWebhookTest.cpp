// The Discord announcement of a link: its text, its body and its way to a real HTTP receiver on
// 127.0.0.1 through the game server's HTTP POST.

#include <gmock/gmock.h>

#include "support/PluginTest.h"
#include "support/WebhookReceiver.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

constexpr char kLinkBob[] =
    "join bob eos=EOS-BOB id=101 tribe_id=7 tribe=Raiders\nchat bob /link CODE-1\n";

class DiscordWebhook : public PluginTest {
 protected:
  DiscordWebhook() {
    database_.InsertCode("discord-1", "CODE-1");
    Discord()["EnableDiscord"] = true;
    Discord()["WebHookUrl"] = receiver_.Url();
    // Every body handed over must be one Discord takes; one it would refuse is answered 400.
    receiver_.CheckDiscordRules();
  }

  // The status line of the one post, as the game server saw the receiver's answer.
  std::size_t AnsweredWith(const DevhostResult& result, int status) {
    return result.Count("http-status url=\"" + receiver_.Url() +
                        "\" status=" + std::to_string(status));
  }

  // The one body the receiver got, parsed.
  nlohmann::json OnlyBody() {
    EXPECT_TRUE(receiver_.WaitForRequests(1));
    const std::vector<HttpRequest> requests = receiver_.Requests();
    EXPECT_EQ(requests.size(), 1u);
    if (requests.empty()) return nullptr;
    return nlohmann::json::parse(requests.front().body);
  }

  WebhookReceiver receiver_{204};
};

TEST_F(DiscordWebhook, LinkIsAnnouncedToTheWebhook) {
  Settings()["debug"] = true;
  Settings()["MapName"] = "Ragnarok";
  const DevhostResult result = Run(kLinkBob);
  ASSERT_TRUE(receiver_.WaitForRequests(1));
  const HttpRequest request = receiver_.Requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.path, "/webhook");
  EXPECT_EQ(request.headers.at("content-type"), "application/json");
  EXPECT_EQ(request.body,
            "{\"content\":\"Player bob with EOS-ID EOS-BOB linked his account in the map "
            "Ragnarok\",\"username\":\"MyARK\",\"avatar_url\":null}");
  EXPECT_EQ(result.Count("http-post url=\"" + receiver_.Url() + "\""), 1u);
  EXPECT_EQ(result.Count("http-status url=\"" + receiver_.Url() + "\" status=204"), 1u);
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[info] Discord enable, trying to send a webhook.",
                          "[info] The user with ID EOS-BOB linked his account with discord."));
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
}

TEST_F(DiscordWebhook, DisabledAnnouncementSendsNothing) {
  Discord()["EnableDiscord"] = false;
  const DevhostResult result = Run(kLinkBob);
  EXPECT_EQ(result.Count("http-post "), 0u);
  EXPECT_THAT(receiver_.Requests(), IsEmpty());
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
}

TEST_F(DiscordWebhook, MissingOrEmptyAddressSendsNothing) {
  database_.InsertCode("discord-2", "CODE-2");
  Discord().erase("WebHookUrl");
  const DevhostResult missing = Run(kLinkBob);
  Discord()["WebHookUrl"] = "";
  const DevhostResult empty = Run("join eve eos=EOS-EVE id=202\nchat eve /link CODE-2\n");
  EXPECT_EQ(missing.Count("http-post "), 0u);
  EXPECT_EQ(empty.Count("http-post "), 0u);
  EXPECT_EQ(TextOf(*empty.First("notify eve ")), "Account linked");
}

TEST_F(DiscordWebhook, NonAsciiSenderNameArrivesAsWritten) {
  // The sender name used to be widened byte by byte, which garbled every non-ASCII character.
  Discord()["SenderName"] = "Ärk Wächter 🦖";
  Run(kLinkBob);
  EXPECT_EQ(OnlyBody()["username"], "Ärk Wächter 🦖");
}

TEST_F(DiscordWebhook, QuotesBackslashesAndLineBreaksStayInsideTheirValues) {
  // Inserted unescaped, these broke the body and let a player add members of their own.
  Discord()["CustomMessage"] = "{CharacterName}|{TribeName}";
  Discord()["SenderName"] = "line one\nline two \\ \"";
  Run("join bob eos=EOS-BOB id=101 name=\"Bob\\\",\\\"avatar_url\\\":\\\"http://evil\" "
      "tribe=\"back\\\\slash\\ttab\\nnew\"\nchat bob /link CODE-1\n");
  const nlohmann::json body = OnlyBody();
  // The markdown in the names is escaped (an underscore, a backslash), and no more.
  EXPECT_EQ(body, (nlohmann::json{
                      {"content", "Bob\",\"avatar\\_url\":\"http://evil|back\\\\slash\ttab\nnew"},
                      {"username", "line one\nline two \\ \""},
                      {"avatar_url", nullptr}}));
}

TEST_F(DiscordWebhook, BracesInTheAnnouncementStayAsTyped) {
  Discord()["CustomMessage"] = "{{linked}} {Unknown} {CharacterName}}";
  Discord()["SenderName"] = "{Bot}";
  Run(kLinkBob);
  const nlohmann::json body = OnlyBody();
  EXPECT_EQ(body["content"], "{{linked}} {Unknown} bob}");
  EXPECT_EQ(body["username"], "{Bot}");
}

TEST_F(DiscordWebhook, EmptyAnnouncementPostsNothingButConfirmsTheLink) {
  Settings()["debug"] = true;
  Discord()["CustomMessage"] = "";
  const DevhostResult result = Run(kLinkBob);
  EXPECT_EQ(result.Count("http-post "), 0u);
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[info] Discord enable, trying to send a webhook.",
                          "[info] The user with ID EOS-BOB linked his account with discord."));
}

TEST_F(DiscordWebhook, RejectedPostLeavesNoTraceInThePluginLog) {
  receiver_.SetStatus(500);
  const DevhostResult result = Run(kLinkBob);
  EXPECT_EQ(result.Count("http-status url=\"" + receiver_.Url() + "\" status=500"), 1u);
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
}

TEST_F(DiscordWebhook, BlankAnnouncementPostsNothingButConfirmsTheLink) {
  // Discord takes content of white space alone as no message at all.
  Discord()["CustomMessage"] = " \n\t{TribeName} ";
  const DevhostResult result = Run("join bob eos=EOS-BOB id=101 nostate\nchat bob /link CODE-1\n");
  EXPECT_EQ(result.Count("http-post "), 0u);
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
}

TEST_F(DiscordWebhook, SenderNameOf80CharactersIsTaken) {
  const std::string name = std::string(79, 'a') + "🦖";
  Discord()["SenderName"] = name;
  const DevhostResult result = Run(kLinkBob);
  EXPECT_EQ(OnlyBody()["username"], name);
  EXPECT_EQ(AnsweredWith(result, 204), 1u);
}

TEST_F(DiscordWebhook, OverlongAnnouncementIsCutToWhatDiscordTakesWithOneWarning) {
  // 2100 characters, and a 1990-character template with a 255-character name, were answered 400
  // and lost without a trace.
  database_.InsertCode("discord-2", "CODE-2");
  Discord()["CustomMessage"] = std::string(2100, 'x');
  const DevhostResult template_only = Run(kLinkBob);
  Discord()["CustomMessage"] = std::string(1975, 't') + "{CharacterName}";
  const DevhostResult with_name = Run("join eve eos=EOS-EVE id=202 name=" + std::string(255, 'n') +
                                      "\nchat eve /link CODE-2\n");
  ASSERT_TRUE(receiver_.WaitForRequests(2));
  const std::vector<HttpRequest> requests = receiver_.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(nlohmann::json::parse(requests[0].body)["content"], std::string(2000, 'x'));
  EXPECT_EQ(nlohmann::json::parse(requests[1].body)["content"],
            std::string(1975, 't') + std::string(25, 'n'));
  EXPECT_EQ(AnsweredWith(template_only, 204), 1u);
  EXPECT_EQ(AnsweredWith(with_name, 204), 1u);
  EXPECT_THAT(VeltraneLog(template_only),
              ElementsAre("[warning] The Discord announcement was cut to 2000 of its 2100 "
                          "characters."));
  EXPECT_THAT(VeltraneLog(with_name),
              ElementsAre("[warning] The Discord announcement was cut to 2000 of its 2230 "
                          "characters."));
  EXPECT_EQ(TextOf(*with_name.First("notify eve ")), "Account linked");
}

TEST_F(DiscordWebhook, CutKeepsWholeCharactersEscapesAndNeutralisedMentions) {
  Discord()["CustomMessage"] = std::string(1999, 'x') + "{CharacterName}";
  database_.InsertCode("discord-2", "CODE-2");
  database_.InsertCode("discord-3", "CODE-3");
  Run("join p1 eos=EOS-1 id=1 name=\"🦖🦖\"\nchat p1 /link CODE-1\n"
      "join p2 eos=EOS-2 id=2 name=\"*x\"\nchat p2 /link CODE-2\n"
      "join p3 eos=EOS-3 id=3 name=\"@everyone\"\nchat p3 /link CODE-3\n");
  ASSERT_TRUE(receiver_.WaitForRequests(3));
  std::vector<std::string> contents;
  for (const HttpRequest& request : receiver_.Requests()) {
    EXPECT_EQ(request.discord_refusal, "");
    contents.push_back(nlohmann::json::parse(request.body)["content"]);
  }
  const std::string kept(1999, 'x');
  // The dinosaur is two UTF-16 units, and the escaped asterisk two characters: the cut takes
  // the first whole, and leaves out the backslash that would have escaped nothing.
  EXPECT_THAT(contents, UnorderedElementsAre(kept + "🦖", kept, kept + "@"));
}

TEST_F(DiscordWebhook, ReloadWithAMistypedDiscordSettingKeepsAnnouncingAsBefore) {
  // A mistyped setting used to go live at reload; every later link then failed after its update.
  auto devhost = StartReady(kJoinBob);
  Discord()["SenderName"] = 42;
  devhost_.WriteConfig(config_);
  devhost->Send("rcon Veltrane.Reload\nchat bob /link CODE-1\n");
  const DevhostResult result = devhost->Stop();
  EXPECT_EQ(result.Count("rcon-reply id=1 text=\"Settings.Discord.SenderName: expected text, "
                         "found a number\""),
            1u);
  EXPECT_EQ(OnlyBody().value("username", ""), "MyARK");
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
}

// The placeholders of the announcement text.
class Announcement : public DiscordWebhook {
 protected:
  std::string ContentFor(const std::string& custom_message, const std::string& join) {
    Discord()["CustomMessage"] = custom_message;
    Run(join + "chat bob /link CODE-1\n");
    return OnlyBody().value("content", "");
  }
};

TEST_F(Announcement, DefaultTemplateNamesCharacterEosIdAndMap) {
  Discord().erase("CustomMessage");
  Run(kLinkBob);
  EXPECT_EQ(OnlyBody()["content"],
            "Player bob with EOS-ID EOS-BOB linked his account in the map TheIsland");
}

TEST_F(Announcement, PlaceholdersIgnoreCaseAndRepeat) {
  EXPECT_EQ(ContentFor("{charactername}/{CHARACTERNAME} {playerid} {eos} {MAPNAME} {tribeid} "
                       "{tribename} {eOs}",
                       "join bob eos=EOS-BOB id=101 tribe_id=-7 tribe=Raiders\n"),
            "bob/bob 101 EOS-BOB TheIsland -7 Raiders EOS-BOB");
}

TEST_F(Announcement, PlaceholdersInNamesShowAsTyped) {
  // Replaced one after another, a character named so was announced as his EOS id, the map and his
  // player id.
  EXPECT_EQ(ContentFor("{CharacterName} / {TribeName} on {MapName}",
                       "join bob eos=EOS-BOB id=101 name=\"{EOS}{MapName}{PlayerId}\" "
                       "tribe=\"{CharacterName}{tribeid}\"\n"),
            "{EOS}{MapName}{PlayerId} / {CharacterName}{tribeid} on TheIsland");
}

TEST_F(Announcement, NonAsciiNamesAndEosIdAppearAsTheGameGaveThem) {
  EXPECT_EQ(ContentFor("{CharacterName} {EOS} {TribeName} {MapName}",
                       "join bob eos=\"EOS-é\" id=101 name=\"Zoë 🦖\" tribe=\"Ärger\"\n"),
            "Zoë 🦖 EOS-é Ärger TheIsland");
}

TEST_F(Announcement, PlayerWithoutPlayerStateIsAnnouncedWithAnEmptyTribeName) {
  EXPECT_EQ(
      ContentFor("[{TribeName}] {TribeId}", "join bob eos=EOS-BOB id=101 nostate tribe_id=3\n"),
      "[] 3");
}

}  // namespace
}  // namespace veltrane::test
