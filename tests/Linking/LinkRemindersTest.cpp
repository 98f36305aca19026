// The reminders, and linked-only play's graces, waiting for their time on a clock the test hands
// in.

#include <gmock/gmock.h>

#include <cstddef>
#include <string>
#include <vector>

#include "Linking/LinkGraces.h"
#include "Linking/LinkReminders.h"
#include "Plugin/PluginLog.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;

const LinkReminders::Clock::time_point kLogin{};

// A player's own id for each i. Built by appending: GCC 12 at -O3 warns -Wrestrict, wrongly, on
// a chain of operator+ over a literal.
std::u16string PlayerId(std::size_t i) {
  std::u16string id(u"p");
  id += char16_t(u'0' + i % 10);
  id += char16_t(i);
  return id;
}

TEST(LinkReminders, DueOnceInTheOrderOfTheirTimeAndALoginReplacesTheOneWaiting) {
  LinkReminders reminders;
  reminders.Add(u"bob", kLogin + 60s);
  reminders.Add(u"eve", kLogin + 30s);
  reminders.Add(u"bob", kLogin + 90s);  // he logged in again
  EXPECT_THAT(reminders.TakeDue(kLogin + 59s), ElementsAre(u"eve"));
  EXPECT_THAT(reminders.TakeDue(kLogin + 89s), IsEmpty());
  EXPECT_THAT(reminders.TakeDue(kLogin + 90s), ElementsAre(u"bob"));
  EXPECT_THAT(reminders.TakeDue(kLogin + 1h), IsEmpty());
}

TEST(LinkReminders, BoundGivesUpTheFirstDueAndATickTakesItsBudget) {
  PluginLog::Init("Veltrane");  // the bound's warning
  LinkReminders reminders;
  for (std::size_t i = 0; i <= LinkReminders::kMostWaiting; ++i)
    reminders.Add(PlayerId(i), kLogin + 1s * i);
  EXPECT_EQ(reminders.Waiting(), LinkReminders::kMostWaiting);
  EXPECT_EQ(reminders.GivenUp(), 1u);
  const std::vector<std::u16string> due = reminders.TakeDue(kLogin + 1h);
  ASSERT_EQ(due.size(), LinkReminders::kDuePerTick);
  EXPECT_EQ(due.front(), PlayerId(1));
}

TEST(LinkGraces, WarningAtHalfAGraceUnderTwoMinutesAndAMinuteBeforeALongerOne) {
  EXPECT_EQ(LinkGraces::WarningLead(10s), 5s);
  EXPECT_EQ(LinkGraces::WarningLead(119s), 59500ms);
  EXPECT_EQ(LinkGraces::WarningLead(120s), 60s);
  EXPECT_EQ(LinkGraces::WarningLead(24h), 60s);
}

TEST(LinkGraces, BoundForgetsTheEarliestLoginAndAnAnswerAboutAGraceGoneChangesNothing) {
  PluginLog::Init("Veltrane");  // the bound's warning
  LinkGraces graces;
  for (std::size_t i = 0; i <= LinkGraces::kMostRemembered; ++i)
    graces.Login(PlayerId(i), kLogin + 1ms * i, 10s);
  EXPECT_EQ(graces.Remembered(), LinkGraces::kMostRemembered);
  const std::vector<LinkGraces::Due> due = graces.TakeDue(kLogin + 6s);
  ASSERT_EQ(due.size(), LinkGraces::kDuePerTick);
  EXPECT_EQ(due.front().eos_id, PlayerId(1));
  // Cancelled by a reload and started again: the answer asked for the first grace is no verdict.
  graces.Clear();
  graces.Login(PlayerId(1), kLogin + 7s, 10s);
  graces.Decided(due.front());
  EXPECT_THAT(graces.TakeToSendAway(), IsEmpty());
  EXPECT_EQ(graces.InGrace(), 1u);
}

}  // namespace
