// The announcements of many links at once, through the queue, the devhost's posts and a webhook
// receiver on 127.0.0.1: paced, merged, each once, and what becomes of those still waiting at a
// reload and at the unload.

#include <gmock/gmock.h>

#include <sstream>
#include <string>
#include <vector>

#include "support/PluginTest.h"
#include "support/WaitUntil.h"
#include "support/WebhookReceiver.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

class AnnouncementPace : public PluginTest {
 protected:
  AnnouncementPace() {
    Discord()["EnableDiscord"] = true;
    Discord()["WebHookUrl"] = receiver_.Url();
    Discord()["CustomMessage"] = prefix_ + "{CharacterName} linked";
    receiver_.CheckDiscordRules();
  }

  // More players each join and link with a code of his own, one right after the other; the
  // announcements that leads to are added to announcements_, in order.
  std::string LinkScript(int players) {
    std::string script;
    for (int player = int(announcements_.size()) + 1; players-- > 0; ++player) {
      std::string name("p");  // appended: GCC 12 at -O3 takes "p" + ... for overlapping copies
      name += std::to_string(player);
      database_.InsertCode("discord-" + name, "CODE-" + name);
      script += "join " + name + " eos=EOS-" + name + " id=" + std::to_string(player) + "\nchat " +
                name + " /link CODE-" + name + "\n";
      announcements_.push_back(prefix_ + name + " linked");
    }
    return script;
  }

  // The announcements the receiver got, in order, each message split into its lines.
  std::vector<std::string> Received() {
    std::vector<std::string> lines;
    for (const HttpRequest& request : receiver_.Requests()) {
      std::istringstream content(nlohmann::json::parse(request.body).value("content", ""));
      for (std::string line; std::getline(content, line);) lines.push_back(line);
    }
    return lines;
  }

  // Waits until the receiver has every announcement of the script.
  bool WaitForEveryAnnouncement() {
    return WaitUntil(std::chrono::seconds(30),
                     [&] { return Received().size() >= announcements_.size(); });
  }

  // Never six posts in two seconds at the receiver; the plugin spaces them 2.5 s, and the rest is
  // for the game server's HTTP worker.
  void ExpectNeverSixInTwoSeconds() {
    const std::vector<HttpRequest> requests = receiver_.Requests();
    for (std::size_t post = 5; post < requests.size(); ++post) {
      EXPECT_GE(requests[post].received - requests[post - 5].received,
                std::chrono::milliseconds(1500))
          << "post " << post;
    }
  }

  std::string prefix_;  // of every announcement
  std::vector<std::string> announcements_;
  WebhookReceiver receiver_{204};
};

// Announcements too long to share a message: a burst of twelve is five posts within the pace,
// and seven waiting.
class WaitingAnnouncements : public AnnouncementPace {
 protected:
  WaitingAnnouncements() {
    prefix_ = std::string(1100, 'x') + " ";
    Discord()["CustomMessage"] = prefix_ + "{CharacterName} linked";
  }

  // Twelve links one right after the other, and the first five posts (one a tick, well within
  // the pace's two seconds), then lines with config.json as reloaded; the devhost stopped.
  DevhostResult BurstThen(const std::string& lines, const nlohmann::json& reloaded = {}) {
    auto devhost = StartReady(LinkScript(12));
    EXPECT_TRUE(receiver_.WaitForRequests(5));
    if (!reloaded.is_null()) devhost_.WriteConfig(reloaded);
    devhost->Send(lines);
    return devhost->Stop();
  }

  // The first five were posted, each on its own, and no more.
  void ExpectTheFirstFivePosted() {
    EXPECT_EQ(Received(),
              std::vector<std::string>(announcements_.begin(), announcements_.begin() + 5));
  }

  void ExpectReloadDropsTheWaiting(const nlohmann::json& reloaded) {
    const DevhostResult result = BurstThen("rcon Veltrane.Reload\n", reloaded);
    EXPECT_EQ(RconReplies(result), std::vector<std::string>{"Reloaded config"});
    EXPECT_THAT(VeltraneLog(result), ElementsAre("[info] Discord announcements dropped because "
                                                 "the webhook was turned off or its address "
                                                 "changed: 7"));
    ExpectTheFirstFivePosted();
  }
};

TEST_F(AnnouncementPace, LoneLinkGoesAtOnceAndABurstIsPacedAndMergedWithEachAnnouncementOnce) {
  // Three to a message: the burst needs more posts than the pace allows in two seconds.
  prefix_ = std::string(600, 'y') + " ";
  Discord()["CustomMessage"] = prefix_ + "{CharacterName} linked";
  auto devhost = StartReady(LinkScript(1));
  // Posted while the game runs on, not left for the unload.
  ASSERT_TRUE(receiver_.WaitForRequests(1));
  devhost->Send(LinkScript(20));
  ASSERT_TRUE(WaitForEveryAnnouncement());
  devhost->Stop();
  EXPECT_THAT(Received(), ElementsAreArray(announcements_));
  const std::vector<HttpRequest> requests = receiver_.Requests();
  EXPECT_LT(requests.size(), announcements_.size());
  ExpectNeverSixInTwoSeconds();
}

// Each load used to start with an empty pace: five posts right after the load.
TEST_F(WaitingAnnouncements, UnloadAndLoadInABurstKeepThePace) {
  auto devhost = StartReady(LinkScript(5));
  ASSERT_TRUE(receiver_.WaitForRequests(5));
  devhost->Send("unload\nload\n" + LinkScript(5));
  ASSERT_TRUE(WaitForEveryAnnouncement());
  devhost->Stop();
  EXPECT_THAT(Received(), ElementsAreArray(announcements_));
  ExpectNeverSixInTwoSeconds();
}

TEST_F(WaitingAnnouncements, ReloadThatTurnsDiscordOffDropsThemWithOneLine) {
  nlohmann::json reloaded = config_;
  reloaded["Settings"]["Discord"]["EnableDiscord"] = false;
  ExpectReloadDropsTheWaiting(reloaded);
}

TEST_F(WaitingAnnouncements, ReloadThatChangesTheAddressDropsThemWithOneLine) {
  WebhookReceiver moved(204);
  nlohmann::json reloaded = config_;
  reloaded["Settings"]["Discord"]["WebHookUrl"] = moved.Url();
  ExpectReloadDropsTheWaiting(reloaded);
  EXPECT_THAT(moved.Requests(), IsEmpty());
}

TEST_F(WaitingAnnouncements, UnloadPostsWhatThePaceAllowsAndDropsTheRestWithOneWarning) {
  const DevhostResult result = BurstThen("unload\n");
  EXPECT_THAT(VeltraneLog(result), ElementsAre("[warning] Discord announcements dropped at unload "
                                               "because the webhook's pace allowed no more "
                                               "posts: 7"));
  ExpectTheFirstFivePosted();
}

}  // namespace
}  // namespace veltrane::test
