// The link command's flow over a store in memory and a clock the tests move: each reply, the
// guards, the lockout of guessing players and the links whose update was lost. Every case runs
// twice: with a store that answers at once, and with one whose every answer waits for a tick, as a
// non-blocking database's does.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Configuration/SettingsTable.h"
#include "Database/CapturingLogSink.h"
#include "Linking/LinkFlow.h"
#include "Plugin/PluginLog.h"
#include "support/MemoryStore.h"

namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Clock = LinkFlow::Clock;

constexpr char kEos[] = "508b2abb65a039077cb2c06daf41182c";
constexpr char kOtherEos[] = "0002c4f1a9b84d2e8f6a1b3c5d7e9f11";

struct Told {
  std::string key;
  bool success;
  bool operator==(const Told&) const = default;
};
void PrintTo(const Told& reply, std::ostream* out) {
  *out << reply.key << (reply.success ? " (success)" : " (error)");
}

// What the player was shown and what was done for him, by his command or later.
struct Record {
  std::vector<Told> replies;
  std::vector<std::string> groups;
  std::vector<std::string> announced;  // the character names of the announcements
};

class RecordingPlayer final : public LinkingPlayerSeam {
 public:
  RecordingPlayer(LinkingPlayer player, Record& record)
      : player_(std::move(player)), record_(record) {}

  LinkingPlayer Identity() override { return player_; }
  void Reply(const char* message_key, bool success) override {
    record_.replies.push_back({message_key, success});
  }
  void AddToGroup(const std::string& group, bool /*debug*/) override {
    record_.groups.push_back(group);
  }
  void Announce(const LinkingPlayer& player, const Settings& /*settings*/) override {
    record_.announced.push_back(player.character_name);
  }
  std::shared_ptr<LinkingPlayerSeam> Later() override {
    return std::make_shared<RecordingPlayer>(player_, record_);
  }

 private:
  LinkingPlayer player_;
  Record& record_;
};

class LinkFlowTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
    store.answers_over_ticks = GetParam();
  }

  // One command of player with code (none: he typed only the command); the replies it got, some
  // maybe through what follows an update in doubt of an earlier command.
  std::vector<Told> Type(const std::optional<std::string>& code,
                         const LinkingPlayer& player = Alice()) {
    record.replies.clear();
    RecordingPlayer seam(player, record);
    LinkFlow flow = Flow();
    StoreTask<void> command = flow.Run(settings, code, seam);
    const int statements_before = store.statements;
    command.Start();
    // Over ticks, the flow waits once for each statement and tells the player nothing meanwhile.
    int ticks = 0;
    while (!command.Done()) {
      EXPECT_THAT(record.replies, IsEmpty());
      store.Advance();
      ++ticks;
    }
    command.Result();
    EXPECT_EQ(ticks, store.answers_over_ticks ? store.statements - statements_before : 0);
    return record.replies;
  }

  LinkFlow Flow() {
    return LinkFlow(store, limiter, counters, [this] { return now; });
  }

  static LinkingPlayer Alice() { return {kEos, 424242, "Alice the Brave", 1234567, "Explorers"}; }

  static std::vector<std::string> Warnings() {
    return CapturingLogSink::Instance()->Texts(spdlog::level::warn);
  }

  static std::string LockoutLine(int wrong_codes, int seconds) {
    return "The user with ID " + std::string(kEos) + " entered " + std::to_string(wrong_codes) +
           " invalid codes and may not link for " + std::to_string(seconds) + " seconds.";
  }

  void TypeWrongCodes(int count) {
    for (int i = 0; i < count; ++i) ASSERT_THAT(Type("WRONG"), ElementsAre(kInvalid));
  }

  const Told kLinked{"AccountLinked", true};
  const Told kInvalid{"InvalidCode", false};
  const Told kUnavailable{"DatabaseUnavailable", false};
  const Told kTooMany{"TooManyAttempts", false};

  Settings settings = DefaultSettings();  // MaxCodeAttempts 5, CodeLockoutSeconds 300, ...
  MemoryStore store;
  CodeAttemptLimiter limiter;
  LinkCounters counters;
  Clock::time_point now = Clock::time_point() + std::chrono::hours(1000);
  Record record;
  std::vector<std::string>& groups = record.groups;
  std::vector<std::string>& announced = record.announced;
};

TEST_P(LinkFlowTest, CodeOfTheBotLinksTheRowWithThePlayersValues) {
  store.AddWaitingRow("CODE-1");
  EXPECT_THAT(Type("CODE-1"), ElementsAre(kLinked));
  MemoryRow expected{1,           kEos,    "428633244720741283", 424242, "Alice the Brave", 1234567,
                     "Explorers", "Linked"};
  EXPECT_THAT(store.rows, ElementsAre(expected));
  EXPECT_EQ(counters.links_made, 1u);
  EXPECT_EQ(counters.refused_codes, 0u);
  EXPECT_THAT(groups, IsEmpty());
  EXPECT_THAT(announced, IsEmpty());
}

TEST_P(LinkFlowTest, GroupStepAndAnnouncementFollowTheirSettings) {
  settings.use_permissions = true;
  settings.discord.enable_discord = true;
  store.AddWaitingRow("CODE-1");
  EXPECT_THAT(Type("CODE-1"), ElementsAre(kLinked));
  EXPECT_THAT(groups, ElementsAre(settings.permission_group_to_add));
  EXPECT_THAT(announced, ElementsAre("Alice the Brave"));
}

TEST_P(LinkFlowTest, RepliesOfTheGuards) {
  store.AddWaitingRow("CODE-1");
  EXPECT_THAT(Type(std::nullopt), ElementsAre(Told{"CmdUsage", false}));
  EXPECT_EQ(store.statements, 0);

  LinkingPlayer nobody = Alice();
  for (const char* eos : {"", "0", " 0\t"}) {
    nobody.eos_id = eos;
    EXPECT_THAT(Type("CODE-1", nobody), ElementsAre(kInvalid)) << "EOS id \"" << eos << "\"";
  }
  LinkingPlayer no_player_id = Alice();
  no_player_id.player_id = 0;
  EXPECT_THAT(Type("CODE-1", no_player_id), ElementsAre(kInvalid));
  EXPECT_EQ(store.statements, 0);
  EXPECT_THAT(Warnings(),
              ElementsAre("Refused to link a player whose EOS id is empty or reads as \"0\".",
                          "Refused to link a player whose EOS id is empty or reads as \"0\".",
                          "Refused to link a player whose EOS id is empty or reads as \"0\".",
                          "Refused to link a player whose player id is 0."));
  EXPECT_EQ(store.rows[0].code, "CODE-1");
  EXPECT_EQ(counters.refused_codes, 0u);
}

TEST_P(LinkFlowTest, LinkedPlayerIsToldSoAndKeepsHisRow) {
  store.AddWaitingRow("CODE-1");
  store.AddWaitingRow("CODE-2", "300000000000000001");
  ASSERT_THAT(Type("CODE-1"), ElementsAre(kLinked));
  EXPECT_THAT(Type("CODE-2"), ElementsAre(Told{"AccountAlredyLinked", false}));
  EXPECT_EQ(store.rows[1].code, "CODE-2");
  EXPECT_EQ(counters.links_made, 1u);
}

// Fixed fault: a link stopped by another row of his (a second game server linked his other code
// between his questions and the update) was answered InvalidCode while his code still waited.
TEST_P(LinkFlowTest, LinkStoppedByAnotherRowOfHisIsAlreadyLinked) {
  store.AddWaitingRow("CODE-1");
  store.before_update = [this] {
    store.rows.push_back({2, kEos, "300000000000000001", 424242, "Alice", 1, "", "Linked"});
  };
  EXPECT_THAT(Type("CODE-1"), ElementsAre(Told{"AccountAlredyLinked", false}));
  EXPECT_EQ(store.rows[0].code, "CODE-1");
  EXPECT_EQ(counters.refused_codes, 0u);
}

TEST_P(LinkFlowTest, StateWordsAndUnknownCodesAreRefusedAndCounted) {
  store.AddWaitingRow("CODE-1");
  ASSERT_THAT(Type("CODE-1", {kOtherEos, 7, "Bob", 0, ""}), ElementsAre(kLinked));
  for (const char* code : {"Linked", "updated", "0", "NOPE"}) {
    EXPECT_THAT(Type(code), ElementsAre(kInvalid)) << code;
  }
  EXPECT_EQ(counters.refused_codes, 4u);
  EXPECT_EQ(store.rows[0].eos_id, kOtherEos);
}

TEST_P(LinkFlowTest, StoreAwayIsNoWrongCode) {
  store.AddWaitingRow("CODE-1");
  store.away = true;
  for (int i = 0; i < 10; ++i) ASSERT_THAT(Type("WRONG"), ElementsAre(kUnavailable));
  store.away = false;
  EXPECT_THAT(Type("CODE-1"), ElementsAre(kLinked));
  EXPECT_EQ(counters.refused_codes, 0u);
  EXPECT_THAT(Warnings(), IsEmpty());
}

// Formerly a devhost test that waited out real 2 s and 4 s lockouts.
TEST_P(LinkFlowTest, LockoutEndsAndTheNextOneLastsTwiceAsLong) {
  store.AddWaitingRow("CODE-1");
  TypeWrongCodes(5);
  EXPECT_THAT(Warnings(), ElementsAre(LockoutLine(5, 300)));

  const int statements = store.statements;
  EXPECT_THAT(Type("CODE-1"), ElementsAre(kTooMany));
  EXPECT_EQ(store.statements, statements) << "a locked-out player reached the store";

  now += std::chrono::seconds(299);
  EXPECT_THAT(Type("CODE-1"), ElementsAre(kTooMany));
  now += std::chrono::seconds(1);
  TypeWrongCodes(5);
  EXPECT_THAT(Warnings(), ElementsAre(LockoutLine(5, 300), LockoutLine(10, 600)));
  now += std::chrono::seconds(599);
  EXPECT_THAT(Type("CODE-1"), ElementsAre(kTooMany));
  now += std::chrono::seconds(1);
  EXPECT_THAT(Type("CODE-1"), ElementsAre(kLinked));
}

// Fixed fault: a lockout was judged by the time the command was typed, and one that ended while
// the command waited for the database was still enforced.
TEST_P(LinkFlowTest, LockoutIsJudgedWhenTheCommandIsTakenOn) {
  store.AddWaitingRow("CODE-1");
  TypeWrongCodes(5);
  record.replies.clear();
  RecordingPlayer seam(Alice(), record);
  LinkFlow flow = Flow();
  const std::optional<std::string> code = "CODE-1";
  StoreTask<void> command = flow.Run(settings, code, seam);
  now += std::chrono::seconds(300);  // while it waited behind other work
  store.RunInPlace(command);
  EXPECT_THAT(record.replies, ElementsAre(kLinked));
}

TEST_P(LinkFlowTest, LockoutFollowsTheSettings) {
  settings.max_code_attempts = 2;
  settings.code_lockout_seconds = 60;
  TypeWrongCodes(2);
  EXPECT_THAT(Warnings(), ElementsAre(LockoutLine(2, 60)));
  EXPECT_THAT(Type("WRONG"), ElementsAre(kTooMany));
  EXPECT_THAT(Type("WRONG", {kOtherEos, 7, "Bob", 0, ""}), ElementsAre(kInvalid))
      << "wrong codes are counted per player";

  settings.max_code_attempts = 0;
  EXPECT_THAT(Type("WRONG"), ElementsAre(kInvalid)) << "0 turns the limit off";
}

TEST_P(LinkFlowTest, SuccessfulLinkForgetsTheWrongCodes) {
  store.AddWaitingRow("CODE-1");
  TypeWrongCodes(4);
  ASSERT_THAT(Type("CODE-1"), ElementsAre(kLinked));
  store.rows.clear();  // unlinked by an admin
  TypeWrongCodes(4);
  EXPECT_THAT(Warnings(), IsEmpty());
}

TEST_P(LinkFlowTest, LostUpdateThatLandedIsFinishedAtOnce) {
  settings.use_permissions = true;
  store.AddWaitingRow("CODE-1");
  store.lose_next_update = true;
  EXPECT_THAT(Type("CODE-1"), ElementsAre(kLinked));
  EXPECT_THAT(groups, ElementsAre(settings.permission_group_to_add));
  EXPECT_EQ(store.WritesInDoubt(), 0u);
}

TEST_P(LinkFlowTest, LostUpdateThatDidNotLandLeavesTheCode) {
  store.AddWaitingRow("CODE-1");
  store.lose_next_update = false;
  EXPECT_THAT(Type("CODE-1"), ElementsAre(kUnavailable));
  EXPECT_EQ(store.rows[0].code, "CODE-1");
  EXPECT_EQ(store.WritesInDoubt(), 0u);
  EXPECT_THAT(Type("CODE-1"), ElementsAre(kLinked));
}

TEST_P(LinkFlowTest, LinkInDoubtIsDecidedByItsRowBeforeAnythingElse) {
  settings.use_permissions = true;
  store.AddWaitingRow("CODE-1");
  store.AddWaitingRow("CODE-2", "300000000000000001");
  store.lose_next_update = true;
  // IsPlayerExist (no row of his), IsCodeExist, the update; the row's question fails.
  store.away_from_statement = 4;
  EXPECT_THAT(Type("CODE-1"), ElementsAre(kUnavailable));
  EXPECT_EQ(store.WritesInDoubt(), 1u);
  EXPECT_THAT(Type("CODE-2"), ElementsAre(kUnavailable)) << "undecided: no other code";

  store.away = false;
  store.away_from_statement = 0;
  EXPECT_THAT(Type("CODE-2"), ElementsAre(kLinked)) << "his first row holds him";
  EXPECT_EQ(store.rows[1].code, "CODE-2") << "the second code was not used";
  EXPECT_THAT(groups, ElementsAre(settings.permission_group_to_add));
  EXPECT_EQ(store.WritesInDoubt(), 0u);
  EXPECT_EQ(counters.links_made, 1u);
}

}  // namespace

INSTANTIATE_TEST_SUITE_P(AnswersAtOnceAndOverTicks, LinkFlowTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return info.param ? "OverTicks" : "AtOnce";
                         });
