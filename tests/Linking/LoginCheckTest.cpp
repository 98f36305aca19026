// The login hook end to end, in both store modes: the group given back or taken at login, the
// reminder to link, and nothing of it without the keys or while the database is away; and, with a
// non-blocking store, linked-only play's grace of 10 s (its warning at 5 s). One row a case; each
// runs "join bob" (EOS-BOB), then the row's lines.

#include <gmock/gmock.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "support/FaultProxy.h"
#include "support/PluginTest.h"

namespace veltrane::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

constexpr char kReminder[] = "Link your account: ask the bot for a code";
constexpr char kUsage[] = "Usage: /link <code>";
constexpr char kGroupAdd[] = "group-add eos=\"EOS-BOB\" group=\"Verified\"";
constexpr char kGroupRemove[] = "group-remove eos=\"EOS-BOB\" group=\"Verified\"";
// A reminder waits one second; this is well past it. The last chat line's reply comes after
// whatever the store was asked before it.
constexpr char kPastTheReminder[] = "sleep 2500\nchat bob /link\n";
constexpr char kWarning[] = "Link your account or be sent away";
constexpr char kKick[] = "kick bob text=\"Linked players only {here}\"";
constexpr char kSentAway[] =
    "[info] The user with ID EOS-BOB was sent away: he had not linked his account by the end of "
    "his grace.";

// What the test does while the devhost runs, once it has printed a line.
enum class MidRun { Nothing, LinkedElsewhere, DatabaseAnswersAgain };

struct LoginCase {
  std::string name;
  nlohmann::json settings;  // put into Settings
  bool linked = false;      // bob has a linked row
  bool in_group = false;    // bob is in Verified before he joins
  std::string after_join = {};
  std::vector<std::string> group_lines = {};
  std::vector<std::string> bob_texts = {};
  std::vector<std::string> log = {};  // the plugin's lines about EOS-BOB or the reminders
  bool outage = false;                // the database refuses every connection
  // After the row's lines a reload empties LinkReminder, then kPastTheReminder runs.
  bool reminder_turned_off = false;
  std::vector<std::string> kicks = {};
  std::string status = {};  // a line of a Veltrane.Status reply
  MidRun mid_run = MidRun::Nothing;
  std::string mid_run_after = {};  // the line the test waits for
};
void PrintTo(const LoginCase& row, std::ostream* out) { *out << row.name; }

const nlohmann::json kRestore = {{"UsePermissions", true}, {"RestoreGroupAtLogin", true}};
const nlohmann::json kRemove = {{"UsePermissions", true}, {"RemoveGroupWhenUnlinked", true}};
const nlohmann::json kRemind = {{"LinkReminderDelaySeconds", 1}};
const nlohmann::json kEverything = {{"UsePermissions", true},
                                    {"RestoreGroupAtLogin", true},
                                    {"RemoveGroupWhenUnlinked", true},
                                    {"LinkReminderDelaySeconds", 1}};

const nlohmann::json kRequire = {{"RequireLinkSeconds", 10}};

// A row ends by the time the grace would have ended: any kick has come by then.
const LoginCase kGraceCases[] = {
    {.name = "SentAwayWhenTheGraceEndsUnlinked",
     .settings = kRequire,
     .after_join = "wait-for 10000 notify bob\nwait-for 10000 kick bob\nrcon Veltrane.Status\n",
     .bob_texts = {kWarning},
     .log = {kSentAway},
     .kicks = {kKick},
     .status = "Linked-only play: 0 players in their grace; since load 1 sent away, 0 not sent "
               "away because the database could not answer"},
    {.name = "NotSentAwayWhenLinkedMeanwhile",
     .settings = kRequire,
     .after_join = "chat bob /link CODE-1\nsleep 11000\n",
     .bob_texts = {"Account linked"},
     .log = {"[info] The user with ID EOS-BOB linked his account with discord."}},
    // The store is asked at the end, not only at the warning.
    {.name = "NotSentAwayWhenLinkedOnAnotherServerAfterTheWarning",
     .settings = kRequire,
     .after_join = "wait-for 10000 notify bob\nsleep 7000\n",
     .bob_texts = {kWarning},
     .mid_run = MidRun::LinkedElsewhere,
     .mid_run_after = "notify bob"},
    {.name = "NotSentAwayWhenPutIntoTheExemptGroupBeforeTheEnd",
     .settings = {{"RequireLinkSeconds", 10},
                  {"UsePermissions", true},
                  {"RequireLinkExemptGroup", "Admins"}},
     .after_join = "wait-for 10000 notify bob\nperms add EOS-BOB Admins\nsleep 6000\n",
     .bob_texts = {kWarning}},
    // Back after his grace ended while he was away, he is warned at once, not at a new grace's
    // half, and sent away a warning's lead later.
    {.name = "NotSentAwayWhileAwayThenWarnedAtOnceOnHisReturn",
     .settings = kRequire,
     .after_join = std::string("wait-for 10000 notify bob\nlogout bob\nsleep 6000\n") + kJoinBob +
                   "wait-for 2000 notify bob\nwait-for 10000 kick bob\n",
     .bob_texts = {kWarning, kWarning},
     .log = {kSentAway},
     .kicks = {kKick}},
    {.name = "GraceNotStartedAfreshByARejoin",
     .settings = kRequire,
     .after_join = std::string("wait-for 10000 notify bob\nlogout bob\n") + kJoinBob +
                   "wait-for 15000 kick bob\n",
     .bob_texts = {kWarning},
     .log = {kSentAway},
     .kicks = {kKick}},
    // No warning and no kick on a guess; the end is asked again until the database answers.
    {.name = "NotSentAwayWhileTheDatabaseCannotAnswerThenSentAwayOnceItCan",
     .settings = kRequire,
     .after_join = "sleep 11000\nrcon Veltrane.Status\nwait-for 30000 kick bob\n",
     .log = {"[info] The user with ID EOS-BOB was not sent away at the end of his grace: the "
             "database could not say whether he has linked. It is asked again until it can.",
             kSentAway},
     .outage = true,
     .kicks = {kKick},
     .status = "Linked-only play: 1 player in their grace; since load 0 sent away, 1 not sent "
               "away because the database could not answer",
     .mid_run = MidRun::DatabaseAnswersAgain,
     .mid_run_after = "rcon-reply "},
};

const LoginCase kCases[] = {
    {"LinkedPlayerWithoutTheGroupGetsItBack",
     kRestore,
     true,
     false,
     "chat bob /link\n",
     {kGroupAdd},
     {kUsage},
     {"[info] The user with ID EOS-BOB is linked and was given the group Verified back."},
     false},
    {"LinkedPlayerInTheGroupIsLeftAlone",
     kRestore,
     true,
     true,
     "chat bob /link\n",
     {},
     {kUsage},
     {},
     false},
    {"UnlinkedPlayerInTheGroupLosesIt",
     kRemove,
     false,
     true,
     "chat bob /link\n",
     {kGroupRemove},
     {kUsage},
     {"[info] The user with ID EOS-BOB is not linked and was removed from the group Verified."},
     false},
    {"LinkedPlayerInTheGroupKeepsIt",
     kRemove,
     true,
     true,
     "chat bob /link\n",
     {},
     {kUsage},
     {},
     false},
    {"UnlinkedPlayerIsRemindedOnceAfterTheDelay",
     kRemind,
     false,
     false,
     std::string("wait-for 10000 notify bob\n") + kPastTheReminder,
     {},
     {kReminder, kUsage},
     {},
     false},
    {"PlayerWhoLeftIsNotReminded",
     kRemind,
     false,
     false,
     "leave bob\nsleep 2500\n",
     {},
     {},
     {},
     false},
    {"PlayerWhoLinkedMeanwhileIsNotReminded",
     kRemind,
     false,
     false,
     std::string("chat bob /link CODE-1\n") + kPastTheReminder,
     {},
     {"Account linked", kUsage},
     {"[info] The user with ID EOS-BOB linked his account with discord."},
     false},
    {"NothingWithoutTheKeys",
     {{"UsePermissions", true}},
     true,
     false,
     kPastTheReminder,
     {},
     {kUsage},
     {},
     false},
    {"OutageAtLoginGivesNoGroup",
     kEverything,
     true,
     false,
     kPastTheReminder,
     {},
     {kUsage},
     {},
     true},
    {"OutageAtLoginTakesNoGroupAndGivesNoReminder",
     kEverything,
     false,
     true,
     kPastTheReminder,
     {},
     {kUsage},
     {},
     true},
    {"ReminderTurnedOffByAReloadAsksNothing",
     kRemind,
     false,
     false,
     "chat bob /link\n",
     {},
     {kUsage, kUsage},
     {"[info] Link reminders dropped because a reload turned LinkReminder off: 1"},
     false,
     true},
};

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size())
    ++count;
  return count;
}

class LoginCheck : public PluginTest,
                   public ::testing::WithParamInterface<std::tuple<LoginCase, bool>> {
 protected:
  LoginCheck() { UseNonBlockingStore(std::get<1>(GetParam())); }
  // The script, then a reload that turns the reminder off while bob's waits, and kPastTheReminder.
  // The waiting reminder used to ask the store when it fell due: nothing may reach it.
  DevhostResult RunTurningTheReminderOff(const std::string& script) {
    ConnectThrough(proxy_);
    auto devhost = StartReady(script);
    Messages()["LinkReminder"] = "";
    devhost_.WriteConfig(config_);
    devhost->Send("rcon Veltrane.Reload\n");
    EXPECT_TRUE(devhost->WaitForLine("rcon-reply "));
    const auto sent = proxy_.ReceivedFromClients();
    devhost->Send(kPastTheReminder);
    EXPECT_TRUE(devhost->WaitForLine("notify bob ", 2));
    EXPECT_EQ(proxy_.ReceivedFromClients(), sent);
    return devhost->Stop();
  }

  FaultProxy proxy_{database_.Settings().host, database_.Settings().port};
};

TEST_P(LoginCheck, GroupAndReminderFollowTheLink) {
  const LoginCase& row = std::get<0>(GetParam());
  Settings().update(row.settings);
  Settings()["debug"] = true;
  if (row.settings.contains("LinkReminderDelaySeconds")) Messages()["LinkReminder"] = kReminder;
  if (row.settings.contains("RequireLinkSeconds")) {
    Messages()["KickUnlinked"] = "Linked players only {{here}}";
    Messages()["RequireLinkWarning"] = kWarning;
  }
  if (row.linked) InsertLinkedRow("EOS-BOB", 101, "Bob", 7, "Raiders", "Linked");
  database_.InsertCode("discord-1", "CODE-1");
  if (row.outage) {
    ConnectThrough(proxy_);
    proxy_.SetRefusing(true);
  }
  // The reload's part does not differ between the store modes.
  if (row.reminder_turned_off && std::get<1>(GetParam())) GTEST_SKIP();
  const std::string script = std::string("perms on\n") +
                             (row.in_group ? "perms add EOS-BOB Verified\n" : "") + kJoinBob +
                             "echo joined\n" + row.after_join;
  DevhostResult result;
  if (row.reminder_turned_off) {
    result = RunTurningTheReminderOff(script);
  } else if (row.mid_run == MidRun::Nothing) {
    result = Run(script);
  } else {
    const std::unique_ptr<DevhostProcess> devhost = Start(script);
    ASSERT_TRUE(devhost->WaitForLine(row.mid_run_after, 1, std::chrono::seconds(20)));
    if (row.mid_run == MidRun::LinkedElsewhere) {
      InsertLinkedRow("EOS-BOB", 101, "Bob", 7, "Raiders", "Linked");
    } else {
      proxy_.SetRefusing(false);
    }
    result = devhost->Stop(std::chrono::seconds(60));
  }

  std::vector<std::string> group_lines = result.WithPrefix("group-add ");
  for (const std::string& line : result.WithPrefix("group-remove ")) group_lines.push_back(line);
  EXPECT_THAT(group_lines, ElementsAreArray(row.group_lines));
  EXPECT_THAT(NotifiedTexts(result, "bob"), ElementsAreArray(row.bob_texts));
  std::vector<std::string> about_bob;
  for (const std::string& line : VeltraneLog(result))
    if (line.find("EOS-BOB") != std::string::npos || line.find("reminders") != std::string::npos)
      about_bob.push_back(line);
  EXPECT_THAT(about_bob, ElementsAreArray(row.log));
  // The game's own login runs in every case; the hook is there only when a key asks for it.
  EXPECT_EQ(result.Count("game-login bob"), 1 + Occurrences(row.after_join, "join bob"));
  const bool wanted = row.settings.contains("RestoreGroupAtLogin") ||
                      row.settings.contains("RemoveGroupWhenUnlinked") ||
                      row.settings.contains("LinkReminderDelaySeconds") ||
                      row.settings.contains("RequireLinkSeconds");
  EXPECT_EQ(result.Count("hook-install ", "PostLogin"), wanted ? 1u : 0u);
  EXPECT_EQ(result.Count("hook-remove ", "PostLogin"), wanted ? 1u : 0u);
  EXPECT_EQ(result.Count("error "), 0u);
  // Linked-only play: the kick runs the game's logout through the plugin's hook, like a logout.
  EXPECT_THAT(result.WithPrefix("kick "), ElementsAreArray(row.kicks));
  EXPECT_EQ(result.Count("game-logout bob"),
            row.kicks.size() + Occurrences(row.after_join, "logout bob"));
  if (!row.status.empty()) {
    EXPECT_THAT(RconReplies(result), Contains(HasSubstr(row.status)));
  }
  // A reminder waits for its delay.
  const auto joined = std::find(result.lines.begin(), result.lines.end(), "echo \"joined\"");
  const auto reminded = std::find_if(
      result.lines.begin(), result.lines.end(),
      [](const std::string& line) { return line.find(kReminder) != std::string::npos; });
  EXPECT_TRUE(reminded == result.lines.end() || reminded > joined);
}

std::string RowName(const ::testing::TestParamInfo<std::tuple<LoginCase, bool>>& info) {
  return std::get<0>(info.param).name + (std::get<1>(info.param) ? "NonBlocking" : "Blocking");
}

INSTANTIATE_TEST_SUITE_P(Cases, LoginCheck,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         RowName);
INSTANTIATE_TEST_SUITE_P(Graces, LoginCheck,
                         ::testing::Combine(::testing::ValuesIn(kGraceCases),
                                            ::testing::Values(true)),
                         RowName);

}  // namespace
}  // namespace veltrane::test
