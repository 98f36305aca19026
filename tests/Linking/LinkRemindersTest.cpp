// The reminders waiting for their time, on a clock the test hands in.

#include <gmock/gmock.h>

#include "Linking/LinkReminders.h"
#include "Plugin/PluginLog.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using namespace std::chrono_literals;

const LinkReminders::Clock::time_point kLogin{};

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
    reminders.Add(u"p" + std::u16string(1, char16_t(u'0' + i % 10)) + char16_t(i), kLogin + 1s * i);
  EXPECT_EQ(reminders.Waiting(), LinkReminders::kMostWaiting);
  EXPECT_EQ(reminders.GivenUp(), 1u);
  const std::vector<std::u16string> due = reminders.TakeDue(kLogin + 1h);
  ASSERT_EQ(due.size(), LinkReminders::kDuePerTick);
  EXPECT_EQ(due.front(), u"p1" + std::u16string(1, char16_t(1)));
}

}  // namespace
