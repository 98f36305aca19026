// The login hook end to end, in both store modes: the group given back or taken at login, the
// reminder to link, and nothing of it without the keys or while the database is away. One row a
// case; each runs "join bob" (EOS-BOB), then the row's lines.

#include <gmock/gmock.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "support/FaultProxy.h"
#include "support/PluginTest.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAreArray;

constexpr char kReminder[] = "Link your account: ask the bot for a code";
constexpr char kUsage[] = "Usage: /link <code>";
constexpr char kGroupAdd[] = "group-add eos=\"EOS-BOB\" group=\"Verified\"";
constexpr char kGroupRemove[] = "group-remove eos=\"EOS-BOB\" group=\"Verified\"";
// A reminder waits one second; this is well past it. The last chat line's reply comes after
// whatever the store was asked before it.
constexpr char kPastTheReminder[] = "sleep 2500\nchat bob /link\n";

struct LoginCase {
  std::string name;
  nlohmann::json settings;  // put into Settings
  bool linked = false;      // bob has a linked row
  bool in_group = false;    // bob is in Verified before he joins
  std::string after_join;
  std::vector<std::string> group_lines;
  std::vector<std::string> bob_texts;
  std::vector<std::string> log;  // the plugin's lines about EOS-BOB or the reminders
  bool outage = false;           // the database refuses every connection
  // After the row's lines a reload empties LinkReminder, then kPastTheReminder runs.
  bool reminder_turned_off = false;
};
void PrintTo(const LoginCase& row, std::ostream* out) { *out << row.name; }

const nlohmann::json kRestore = {{"UsePermissions", true}, {"RestoreGroupAtLogin", true}};
const nlohmann::json kRemove = {{"UsePermissions", true}, {"RemoveGroupWhenUnlinked", true}};
const nlohmann::json kRemind = {{"LinkReminderDelaySeconds", 1}};
const nlohmann::json kEverything = {{"UsePermissions", true},
                                    {"RestoreGroupAtLogin", true},
                                    {"RemoveGroupWhenUnlinked", true},
                                    {"LinkReminderDelaySeconds", 1}};

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
  const DevhostResult result =
      row.reminder_turned_off ? RunTurningTheReminderOff(script) : Run(script);

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
  EXPECT_EQ(result.Count("game-login bob"), 1u);
  const bool wanted = row.settings.contains("RestoreGroupAtLogin") ||
                      row.settings.contains("RemoveGroupWhenUnlinked") ||
                      row.settings.contains("LinkReminderDelaySeconds");
  EXPECT_EQ(result.Count("hook-install ", "PostLogin"), wanted ? 1u : 0u);
  EXPECT_EQ(result.Count("hook-remove ", "PostLogin"), wanted ? 1u : 0u);
  EXPECT_EQ(result.Count("error "), 0u);
  // A reminder waits for its delay.
  const auto joined = std::find(result.lines.begin(), result.lines.end(), "echo \"joined\"");
  const auto reminded = std::find_if(
      result.lines.begin(), result.lines.end(),
      [](const std::string& line) { return line.find(kReminder) != std::string::npos; });
  EXPECT_TRUE(reminded == result.lines.end() || reminded > joined);
}

INSTANTIATE_TEST_SUITE_P(Cases, LoginCheck,
                         ::testing::Combine(::testing::ValuesIn(kCases), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<LoginCase, bool>>& info) {
                           return std::get<0>(info.param).name +
                                  (std::get<1>(info.param) ? "NonBlocking" : "Blocking");
                         });

}  // namespace
}  // namespace veltrane::test
