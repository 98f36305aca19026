// The webhook's pace on a clock the test moves, and the bound of the announcements waiting: what
// the devhost reaches only slowly (a minute's limit, 512 links faster than the posts).

#include <gmock/gmock.h>
#include <unistd.h>

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "Database/CapturingLogSink.h"
#include "Discord/AnnouncementQueue.h"
#include "Discord/PaceFile.h"
#include "Discord/WebhookPace.h"
#include "Plugin/PluginLog.h"

namespace {

using ::testing::IsEmpty;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

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
      // Discord may get the first late and the sixth early: each window has a margin.
      {"the first of five 2.499 s ago", Series(5, 10), 2499, false},
      {"the first of five 2.5 s ago", Series(5, 10), 2500, true},
      {"five spread over two seconds", Series(5, 499), 1999, false},
      {"thirty in a minute, four in the last two seconds", Series(30, 400), 12000, false},
      {"the first of thirty 60.499 s ago", Series(30, 400), 60499, false},
      {"the first of thirty 60.5 s ago", Series(30, 400), 60500, true},
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

// A folder of its own for the pace file, removed again.
class PaceFileFolder : public ::testing::Test {
 protected:
  PaceFileFolder() {
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
    fs::create_directories(folder_);
  }
  ~PaceFileFolder() override { fs::remove_all(folder_); }
  std::string FileText() const {
    std::ifstream file(fs::path(folder_) / kPaceFileName);
    return {std::istreambuf_iterator<char>(file), {}};
  }
  const std::string folder_ =
      (fs::temp_directory_path() / ("veltrane-pace-" + std::to_string(::getpid()))).string();
};

constexpr char kAddress[] = "https://discord.com/api/webhooks/1/the-token";
// The unload's clocks; the next load's steady clock starts elsewhere, as in a new process.
const WebhookPace::Clock::time_point kUnloadSteady{1000h};
const std::chrono::system_clock::time_point kUnloadWall{std::chrono::hours(490000)};
const WebhookPace::Clock::time_point kLoadSteady{3h};
const std::string kIgnored =
    "The webhook pace kept at the last unload is ignored: webhook-pace.json ";

TEST_F(PaceFileFolder, PostsOfTheLastLoadCountAcrossALoadWithBothClocksMoved) {
  struct Row {
    const char* name;
    std::vector<int> posted_ms;                     // up to the unload
    std::chrono::milliseconds wall_clock_moved_on;  // from the unload to the load
    bool may_post;
  };
  const Row rows[] = {
      {"five, the first's window and margin not yet passed", Series(5, 10), 2459ms, false},
      {"five, the first's window and margin passed", Series(5, 10), 2460ms, true},
      {"thirty in the minute", Series(30, 2000), 1s, false},
      {"a wall clock set back: its future is no post", Series(5, 10), -1s, true},
  };
  for (const Row& row : rows) {
    WebhookPace pace;
    const auto first = kUnloadSteady - std::chrono::milliseconds(row.posted_ms.back());
    for (const int ms : row.posted_ms) pace.Posted(kAddress, first + std::chrono::milliseconds(ms));
    WritePaceFile(pace, folder_, kUnloadSteady, kUnloadWall);
    const WebhookPace read =
        ReadPaceFile(folder_, kLoadSteady, kUnloadWall + row.wall_clock_moved_on);
    EXPECT_EQ(read.MayPost(kAddress, kLoadSteady), row.may_post) << row.name;
  }
  EXPECT_EQ(FileText().find("the-token"), std::string::npos) << FileText();
  EXPECT_THAT(CapturingLogSink::Instance()->Lines(), IsEmpty());
}

TEST_F(PaceFileFolder, AFileThatCannotBeUsedIsIgnoredWithOneWarning) {
  WebhookPace pace;
  for (const int ms : Series(5, 10)) pace.Posted(kAddress, kUnloadSteady - 40ms + 1ms * ms);
  WritePaceFile(pace, folder_, kUnloadSteady, kUnloadWall);
  const std::string written = FileText();
  const std::pair<std::string, std::string> rows[] = {
      {written, ""},  // as written: it holds the pace back
      {written.substr(0, written.size() / 2), "is malformed"},
      {"{\"version\":1,\"webhooks\":{\"the address\":[]}}", "is malformed"},
      {std::string(kMaxPaceFileBytes + 1, ' '), "is larger than 65536 bytes"},
  };
  for (const auto& [text, warning] : rows) {
    CapturingLogSink::Instance()->Clear();
    std::ofstream(fs::path(folder_) / kPaceFileName) << text;
    const WebhookPace read = ReadPaceFile(folder_, kLoadSteady, kUnloadWall);
    EXPECT_EQ(read.MayPost(kAddress, kLoadSteady), !warning.empty()) << text.substr(0, 80);
    EXPECT_EQ(CapturingLogSink::Instance()->Texts(spdlog::level::warn),
              warning.empty() ? std::vector<std::string>{}
                              : std::vector<std::string>{kIgnored + warning});
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
