// The webhook's pace on a clock the test moves, and the bound of the announcements waiting: what
// the devhost reaches only slowly (a minute's limit, 512 links faster than the posts).

#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "Discord/AnnouncementQueue.h"
#include "Discord/WebhookPace.h"

namespace {

// count posts from 0 ms on, every step_ms.
std::vector<int> Series(int count, int step_ms) {
  std::vector<int> times;
  for (int post = 0; post < count; ++post) times.push_back(post * step_ms);
  return times;
}

TEST(WebhookPace, PostsWithinBothWindows) {
  struct Row {
    const char* name;
    std::vector<int> posted_ms;
    int asked_ms;
    bool may_post;
  };
  const Row rows[] = {
      {"a quiet webhook", {}, 0, true},
      {"four in two seconds", Series(4, 10), 40, true},
      {"a fifth in two seconds", Series(5, 10), 1999, false},
      {"the first of five two seconds ago", Series(5, 10), 2000, true},
      {"five spread over two seconds", Series(5, 499), 1999, false},
      {"thirty in a minute, four in the last two seconds", Series(30, 400), 12000, false},
      {"the first of thirty a minute ago", Series(30, 400), 60000, true},
  };
  for (const Row& row : rows) {
    WebhookPace pace;
    const WebhookPace::Clock::time_point start{std::chrono::hours(1000)};
    for (const int ms : row.posted_ms) pace.Posted("hook-1", start + std::chrono::milliseconds(ms));
    const auto asked = start + std::chrono::milliseconds(row.asked_ms);
    EXPECT_EQ(pace.MayPost("hook-1", asked), row.may_post) << row.name;
    EXPECT_TRUE(pace.MayPost("hook-2", asked)) << row.name << ": another address";
  }
}

// Discord counts code points: an astral character is one, though two UTF-16 units. A post over
// 2,000 is refused, and the plugin never sees the answer.
TEST(AnnouncementQueue, MergesAsManyAsFitInDiscordsLimitWithTheirLineBreaks) {
  // 1,000 characters in 1,500 units.
  const std::u16string astral_half = [] {
    std::u16string text;
    for (int repeat = 0; repeat < 500; ++repeat) text += u"\U0001F600a";
    return text;
  }();
  struct Row {
    const char* name;
    std::u16string second;
    std::vector<std::size_t> merged;  // announcements per message, in order
  };
  const Row rows[] = {
      {"1,000 + the line break + 999 is exactly 2,000", std::u16string(999, u'b'), {2}},
      {"1,000 + the line break + 1,000 is 2,001", std::u16string(1000, u'b'), {1, 1}},
  };
  for (const Row& row : rows) {
    AnnouncementQueue queue;
    queue.Add(astral_half);
    queue.Add(row.second);
    std::vector<std::size_t> merged;
    while (queue.Waiting() > 0) merged.push_back(queue.Take().announcements);
    EXPECT_EQ(merged, row.merged) << row.name;
  }
}

// The flood begins once, at the first drop, and ends, counted once, when the queue is well below
// its bound again.
TEST(AnnouncementQueue, BeyondTheBoundTheOldestAreDroppedAndCountedOnce) {
  AnnouncementQueue queue;
  std::size_t floods_begun = 0;
  for (std::size_t link = 0; link < AnnouncementQueue::kMostWaiting + 3; ++link)
    floods_begun += queue.Add(u"link " + std::u16string(1, char16_t(u'0' + link % 10))) ? 1 : 0;
  EXPECT_EQ(floods_begun, 1u);
  EXPECT_EQ(queue.Waiting(), AnnouncementQueue::kMostWaiting);
  EXPECT_EQ(queue.TakeOverflow(), 0u) << "still at its bound";
  EXPECT_EQ(queue.Dropped(), 3u);
  EXPECT_TRUE(queue.Take().content.starts_with(u"link 3\nlink 4\n"));
  EXPECT_EQ(queue.TakeOverflow(), 3u);
  EXPECT_EQ(queue.TakeOverflow(), 0u);
}

}  // namespace
