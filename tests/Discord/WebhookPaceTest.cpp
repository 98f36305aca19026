// The webhook's pace on a clock the test moves, kept in its file from an unload to a load whose
// clocks have moved on, and the bound of the announcements waiting: what the devhost reaches only
// slowly (a minute's limit, 512 links faster than the posts, a wall clock set back).

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "Database/CapturingLogSink.h"
#include "Discord/AnnouncementQueue.h"
#include "Discord/PaceFile.h"
#include "Discord/WebhookPace.h"
#include "Plugin/PluginLog.h"

namespace {

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
      {"the first of five two seconds ago, within the margin", Series(5, 10), 2000, false},
      {"the first of five 2.499 s ago", Series(5, 10), 2499, false},
      {"the first of five 2.5 s ago", Series(5, 10), 2500, true},
      {"five spread over two seconds", Series(5, 499), 1999, false},
      {"thirty in a minute, four in the last two seconds", Series(30, 400), 12000, false},
      {"the first of thirty a minute ago, within the margin", Series(30, 400), 60000, false},
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
    std::string pattern = (fs::temp_directory_path() / "veltrane-pace-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
  }
  ~PaceFileFolder() override { fs::remove_all(folder_); }

  fs::path File() const { return fs::path(folder_) / kPaceFileName; }
  static std::vector<std::string> Warnings() {
    return CapturingLogSink::Instance()->Texts(spdlog::level::warn);
  }

  std::string folder_;
};

constexpr char kAddress[] = "https://discord.com/api/webhooks/1/the-token";
// The unload's clocks; the next load's steady clock starts elsewhere, as in a new process.
const WebhookPace::Clock::time_point kUnloadSteady{1000h};
const std::chrono::system_clock::time_point kUnloadWall{std::chrono::hours(490000)};
const WebhookPace::Clock::time_point kLoadSteady{3h};

TEST_F(PaceFileFolder, PostsOfTheLastLoadCountAcrossALoadWithBothClocksMoved) {
  struct Row {
    const char* name;
    std::vector<int> posted_ms;            // before the unload
    std::chrono::milliseconds wall_moved;  // from the unload to the load
    std::chrono::milliseconds asked_after_load;
    bool may_post;
  };
  const Row rows[] = {
      {"five in the last 2.5 s", Series(5, 10), 50ms, 0ms, false},
      {"five, the first's window and margin not yet passed", Series(5, 10), 2399ms, 0ms, false},
      {"five, the first's window and margin passed", Series(5, 10), 2400ms, 0ms, true},
      {"five, the next load's clock moved on", Series(5, 10), 50ms, 2350ms, true},
      {"thirty in the minute", Series(30, 2000), 1s, 0ms, false},
      {"a wall clock set back: its future is no post", Series(5, 10), -1s, 0ms, true},
      {"a wall clock set forward past the minute", Series(30, 2000), 61s, 0ms, true},
  };
  for (const Row& row : rows) {
    WebhookPace pace;
    // The unload comes 100 ms after the first post.
    const auto first = kUnloadSteady - 100ms;
    for (const int ms : row.posted_ms) pace.Posted(kAddress, first + std::chrono::milliseconds(ms));
    const auto unload =
        std::max(kUnloadSteady, first + std::chrono::milliseconds(row.posted_ms.back()));
    WritePaceFile(pace, folder_, unload, kUnloadWall + (unload - kUnloadSteady));
    const WebhookPace read =
        ReadPaceFile(folder_, kLoadSteady, kUnloadWall + (unload - kUnloadSteady) + row.wall_moved);
    EXPECT_EQ(read.MayPost(kAddress, kLoadSteady + row.asked_after_load), row.may_post) << row.name;
    EXPECT_TRUE(read.MayPost("https://discord.com/api/webhooks/2/other", kLoadSteady)) << row.name;
  }
  EXPECT_EQ(Warnings(), std::vector<std::string>{});
  std::ifstream file(File());
  const std::string text{std::istreambuf_iterator<char>(file), {}};
  EXPECT_EQ(text.find("the-token"), std::string::npos) << text;
}

TEST_F(PaceFileFolder, AFileThatCannotBeUsedIsIgnoredWithOneWarning) {
  struct Row {
    const char* name;
    std::string text;
    std::string warning;  // none for a missing file
  };
  const std::string malformed = "is malformed";
  const std::string five_posts_now = R"({"version":1,"webhooks":{")" +
                                     fmt::format("{:016x}", WebhookPace::KeyOf(kAddress)) +
                                     R"(":[T,T,T,T,T]}})";
  const auto now_ms = std::to_string(
      std::chrono::floor<std::chrono::milliseconds>(kUnloadWall.time_since_epoch()).count());
  auto at_now = [&](std::string text) {
    for (std::size_t at; (at = text.find('T')) != std::string::npos;) text.replace(at, 1, now_ms);
    return text;
  };
  const Row rows[] = {
      {"no file", "", ""},
      {"cut short", at_now(five_posts_now).substr(0, 60), malformed},
      {"another version", at_now(five_posts_now).replace(11, 1, "2"), malformed},
      {"an address in the key's place", at_now(five_posts_now).replace(26, 16, "https://x/token1"),
       malformed},
      {"a time that is no count", at_now(five_posts_now).replace(45, 1, "-"), malformed},
      {"larger than 64 KiB", std::string(kMaxPaceFileBytes + 1, ' '), "is larger than 65536 bytes"},
  };
  for (const Row& row : rows) {
    CapturingLogSink::Instance()->Clear();
    fs::remove(File());
    if (!row.text.empty()) std::ofstream(File()) << row.text;
    const WebhookPace read = ReadPaceFile(folder_, kLoadSteady, kUnloadWall);
    EXPECT_TRUE(read.MayPost(kAddress, kLoadSteady)) << row.name;
    const std::vector<std::string> expected =
        row.warning.empty() ? std::vector<std::string>{}
                            : std::vector<std::string>{
                                  "The webhook pace kept at the last unload is ignored: "
                                  "webhook-pace.json " +
                                  row.warning};
    EXPECT_EQ(Warnings(), expected) << row.name;
  }
  // The file as the plugin writes it, for the rows above to break.
  std::ofstream(File()) << at_now(five_posts_now);
  EXPECT_FALSE(ReadPaceFile(folder_, kLoadSteady, kUnloadWall).MayPost(kAddress, kLoadSteady));
  // A folder in the file's place.
  fs::remove(File());
  fs::create_directory(File());
  EXPECT_TRUE(ReadPaceFile(folder_, kLoadSteady, kUnloadWall).MayPost(kAddress, kLoadSteady));
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

TEST(AnnouncementQueue, BeyondTheBoundTheOldestAreDroppedAndCountedOnce) {
  AnnouncementQueue queue;
  for (std::size_t link = 0; link < AnnouncementQueue::kMostWaiting + 3; ++link)
    queue.Add(u"link " + std::u16string(1, char16_t(u'0' + link % 10)));
  EXPECT_EQ(queue.Waiting(), AnnouncementQueue::kMostWaiting);
  EXPECT_EQ(queue.TakeOverflow(), 3u);
  EXPECT_EQ(queue.TakeOverflow(), 0u);
  EXPECT_EQ(queue.Dropped(), 3u);
  EXPECT_TRUE(queue.Take().content.starts_with(u"link 3\nlink 4\n"));
}

}  // namespace
