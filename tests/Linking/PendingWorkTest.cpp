// The queue of the store's work over a store in memory whose every answer waits for a tick: one
// task at a time in the order they came, the bounds, and what the unload finishes and gives up.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "Database/CapturingLogSink.h"
#include "Linking/PendingWork.h"
#include "Plugin/PluginLog.h"
#include "support/MemoryStore.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Kind = PendingWork::Kind;

class PendingWorkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
    store.answers_over_ticks = true;
  }

  // A task of two statements that notes its name once it has ended.
  StoreTask<void> Task(std::string name) {
    co_await store.IsPlayerExist(name);
    co_await store.IsPlayerIDExist(name);
    ended.push_back(std::move(name));
  }
  bool Add(Kind kind, const std::string& name) { return work.Add(store, kind, Task(name)); }
  // A task that ends without waiting, as every one does in a cool-down.
  StoreTask<void> Instant(std::string name) {
    ended.push_back(std::move(name));
    co_return;
  }

  // Ticks until nothing waits; how many it took.
  int TickUntilEmpty() {
    int ticks = 0;
    while (!work.Empty() && ticks < 100000) {
      work.Advance(store);
      ++ticks;
    }
    return ticks;
  }

  static std::vector<std::string> Warnings() {
    return CapturingLogSink::Instance()->Texts(spdlog::level::warn);
  }

  MemoryStore store;
  PendingWork work;
  std::vector<std::string> ended;
};

TEST_F(PendingWorkTest, TasksRunOneAtATimeInTheOrderTheyCame) {
  ASSERT_TRUE(Add(Kind::LinkCommand, "first"));
  ASSERT_TRUE(Add(Kind::LogoutRefresh, "second"));
  ASSERT_TRUE(Add(Kind::LinkCommand, "third"));
  EXPECT_EQ(work.Waiting(Kind::LinkCommand), 2u);
  // Two answers each, one a tick: the first task started when it was added and waited for its
  // first answer, and each next one starts in the tick that ends the one before.
  EXPECT_EQ(TickUntilEmpty(), 6);
  EXPECT_THAT(ended, ElementsAre("first", "second", "third"));
}

// Fixed fault: when a statement timed out in a stall, the one tick that ended it answered every
// command waiting behind it.
TEST_F(PendingWorkTest, TasksThatEndWithoutWaitingAreSpreadOverTicks) {
  ASSERT_TRUE(Add(Kind::LinkCommand, "first"));
  constexpr int kAtOnce = 3 * PendingWork::kStartsPerCallback;
  for (int i = 0; i < kAtOnce; ++i) {
    ASSERT_TRUE(work.Add(store, Kind::LinkCommand, Instant("at once")));
  }
  work.Advance(store);  // the first one's second statement
  work.Advance(store);  // it ends, and the next ones start
  EXPECT_EQ(ended.size(), 1u + PendingWork::kStartsPerCallback);
  EXPECT_EQ(TickUntilEmpty(), 2);
  EXPECT_EQ(ended.size(), 1u + kAtOnce);
}

TEST_F(PendingWorkTest, ConnectionAddedAtLoadWaitsForTheFirstTick) {
  ASSERT_TRUE(Add(Kind::Connection, "connection"));
  EXPECT_EQ(store.statements, 0);
  TickUntilEmpty();
  EXPECT_THAT(ended, ElementsAre("connection"));
}

// A flood is one warning when the bound is first hit and one with the count once fewer wait
// (it was one line a refusal: 276 for 1,300 commands in a stall).
TEST_F(PendingWorkTest, LinkCommandsBeyondTheBoundAreRefusedAndRefreshesGiveUpTheOldest) {
  for (std::size_t i = 0; i < PendingWork::kMostLinkCommands; ++i) {
    ASSERT_TRUE(Add(Kind::LinkCommand, "link"));
  }
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(Add(Kind::LinkCommand, "one too many"));
  for (std::size_t i = 0; i <= PendingWork::kMostLogoutRefreshes + 1; ++i) {
    ASSERT_TRUE(Add(Kind::LogoutRefresh, "refresh " + std::to_string(i)));
  }
  EXPECT_EQ(work.Waiting(Kind::LogoutRefresh), PendingWork::kMostLogoutRefreshes);
  EXPECT_THAT(Warnings(),
              ElementsAre("1024 link commands wait for the database; new ones are refused until "
                          "fewer wait.",
                          "1024 logout refreshes wait for the database; the oldest are given up "
                          "until fewer wait."));
  TickUntilEmpty();
  EXPECT_EQ(std::count(ended.begin(), ended.end(), "link"), 1024);
  EXPECT_EQ(std::count(ended.begin(), ended.end(), "one too many"), 0);
  EXPECT_EQ(std::count(ended.begin(), ended.end(), "refresh 1"), 0);
  EXPECT_EQ(ended.back(), "refresh 1025");
  EXPECT_EQ(work.RefusedLinkCommands(), 3u);
  EXPECT_EQ(work.DroppedLogoutRefreshes(), 2u);
  EXPECT_THAT(Warnings(),
              testing::IsSupersetOf(
                  {"3 link commands were refused while 1024 waited for the database.",
                   "2 logout refreshes were given up while 1024 waited for the database."}));
  EXPECT_EQ(Warnings().size(), 4u);
}

// Fixed fault: steady spam at the bound wrote both lines again for every task that ended.
TEST_F(PendingWorkTest, SteadySpamAtTheBoundIsOneEpisode) {
  for (std::size_t i = 0; i < PendingWork::kMostLinkCommands; ++i) {
    ASSERT_TRUE(Add(Kind::LinkCommand, "link"));
  }
  for (int round = 0; round < 10; ++round) {
    EXPECT_FALSE(Add(Kind::LinkCommand, "one too many"));
    while (work.Waiting(Kind::LinkCommand) == PendingWork::kMostLinkCommands) work.Advance(store);
    ASSERT_TRUE(Add(Kind::LinkCommand, "link"));
  }
  const std::string begins =
      "1024 link commands wait for the database; new ones are refused until fewer wait.";
  // It ends once three quarters of the bound wait.
  while (work.Waiting(Kind::LinkCommand) > 769) work.Advance(store);
  EXPECT_THAT(Warnings(), ElementsAre(begins));
  while (work.Waiting(Kind::LinkCommand) > 768) work.Advance(store);
  EXPECT_THAT(Warnings(), ElementsAre(begins, "10 link commands were refused while 1024 waited "
                                              "for the database."));
}

// The unload gets no ticks: the running task and the waiting refreshes are finished in place; the
// connection made at load, started or not, and the link commands that have not started are given
// up.
TEST_F(PendingWorkTest, UnloadFinishesTheRunningTaskAndTheRefreshesAndGivesUpWaitingCommands) {
  ASSERT_TRUE(Add(Kind::Connection, "connection"));
  ASSERT_TRUE(Add(Kind::LinkCommand, "command before the first tick"));
  ASSERT_TRUE(Add(Kind::LogoutRefresh, "refresh before the first tick"));
  work.FinishForUnload(store, std::chrono::steady_clock::now() + std::chrono::seconds(10));
  EXPECT_TRUE(work.Empty());
  EXPECT_TRUE(store.abandoned);
  EXPECT_THAT(ended, ElementsAre("refresh before the first tick"));

  ended.clear();
  store.abandoned = false;
  ASSERT_TRUE(Add(Kind::LinkCommand, "running"));
  ASSERT_TRUE(Add(Kind::LinkCommand, "waiting command"));
  ASSERT_TRUE(Add(Kind::LogoutRefresh, "waiting refresh"));
  work.FinishForUnload(store, std::chrono::steady_clock::now() + std::chrono::seconds(10));
  EXPECT_TRUE(work.Empty());
  EXPECT_FALSE(store.abandoned);
  EXPECT_THAT(ended, ElementsAre("running", "waiting refresh"));
  const std::string one_unfinished =
      "The plugin was unloaded with 1 store operations unfinished (link commands not yet started, "
      "or work the database did not finish in time).";
  EXPECT_THAT(Warnings(), ElementsAre(one_unfinished, one_unfinished));
}

// Fixed fault: a task given up at the unload left the store's driver pointing into its destroyed
// frame.
TEST_F(PendingWorkTest, TaskGivenUpAtTheUnloadIsLetGoByTheStore) {
  ASSERT_TRUE(Add(Kind::LinkCommand, "running"));
  work.FinishForUnload(store, std::chrono::steady_clock::now());
  EXPECT_TRUE(store.abandoned);
  EXPECT_TRUE(store.Advance());
  EXPECT_THAT(ended, IsEmpty());
}

TEST_F(PendingWorkTest, BlockingStoreRunsEachTaskWhenItIsAdded) {
  store.answers_over_ticks = false;
  ASSERT_TRUE(Add(Kind::LinkCommand, "at once"));
  EXPECT_TRUE(work.Empty());
  EXPECT_THAT(ended, ElementsAre("at once"));
  EXPECT_THAT(Warnings(), IsEmpty());
}

}  // namespace
