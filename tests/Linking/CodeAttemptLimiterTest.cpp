// The wrong-code bookkeeping on a clock the test moves: what the devhost cannot reach cheaply
// (a day's lockout, forgetting after a day, the bound on the players remembered).

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Linking/CodeAttemptLimiter.h"

namespace {

using std::chrono::hours;
using std::chrono::seconds;

constexpr CodeAttemptLimiter::Limits kFiveThenFiveMinutes{5, seconds(300)};

class CodeAttemptLimiterTest : public ::testing::Test {
 protected:
  // Counts wrong codes of eos_id until one begins a lockout (at most max_attempts of them);
  // answers that lockout's length, or zero when none began.
  seconds GuessUntilLockedOut(const std::string& eos_id,
                              CodeAttemptLimiter::Limits limits = kFiveThenFiveMinutes) {
    for (int attempt = 0; attempt < limits.max_attempts; ++attempt) {
      if (const auto lockout = limiter_.CountWrongCode(eos_id, limits, now_).lockout)
        return lockout->duration;
    }
    return seconds(0);
  }

  CodeAttemptLimiter limiter_;
  CodeAttemptLimiter::Clock::time_point now_{hours(1000)};
};

TEST_F(CodeAttemptLimiterTest, LockoutBeginsAtTheLimitAndEndsAfterItsLength) {
  for (int attempt = 1; attempt < 5; ++attempt)
    EXPECT_FALSE(limiter_.CountWrongCode("EOS-BOB", kFiveThenFiveMinutes, now_).lockout);
  EXPECT_FALSE(limiter_.IsLockedOut("EOS-BOB", kFiveThenFiveMinutes, now_));
  const auto lockout = limiter_.CountWrongCode("EOS-BOB", kFiveThenFiveMinutes, now_).lockout;
  ASSERT_TRUE(lockout);
  EXPECT_EQ(lockout->wrong_codes, 5);
  EXPECT_EQ(lockout->duration, seconds(300));
  EXPECT_TRUE(limiter_.IsLockedOut("EOS-BOB", kFiveThenFiveMinutes, now_ + seconds(299)));
  EXPECT_FALSE(limiter_.IsLockedOut("EOS-BOB", kFiveThenFiveMinutes, now_ + seconds(300)));
  EXPECT_FALSE(limiter_.IsLockedOut("EOS-EVE", kFiveThenFiveMinutes, now_));
}

TEST_F(CodeAttemptLimiterTest, EachFurtherLockoutDoublesUpToADay) {
  std::vector<long> lengths;
  for (int lockout = 0; lockout < 11; ++lockout) {
    lengths.push_back(long(GuessUntilLockedOut("EOS-BOB").count()));
    now_ += seconds(lengths.back());
  }
  EXPECT_EQ(lengths, (std::vector<long>{300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 76800,
                                        86400, 86400}));
}

TEST_F(CodeAttemptLimiterTest, WrongCodesWhileLockedOutAreNotCounted) {
  GuessUntilLockedOut("EOS-BOB");
  EXPECT_FALSE(limiter_.CountWrongCode("EOS-BOB", kFiveThenFiveMinutes, now_ + seconds(1)).lockout);
  now_ += seconds(300);
  for (int attempt = 1; attempt < 5; ++attempt)
    EXPECT_FALSE(limiter_.CountWrongCode("EOS-BOB", kFiveThenFiveMinutes, now_).lockout);
  const auto second = limiter_.CountWrongCode("EOS-BOB", kFiveThenFiveMinutes, now_).lockout;
  ASSERT_TRUE(second);
  EXPECT_EQ(second->wrong_codes, 10);
  EXPECT_EQ(second->duration, seconds(600));
}

TEST_F(CodeAttemptLimiterTest, ClearedPlayerStartsAfresh) {
  GuessUntilLockedOut("EOS-BOB");
  limiter_.Clear("EOS-BOB");
  EXPECT_FALSE(limiter_.IsLockedOut("EOS-BOB", kFiveThenFiveMinutes, now_));
  EXPECT_EQ(limiter_.Size(), 0u);
  EXPECT_EQ(GuessUntilLockedOut("EOS-BOB"), seconds(300));
}

TEST_F(CodeAttemptLimiterTest, PlayerClearForADayIsForgotten) {
  GuessUntilLockedOut("EOS-BOB");
  // A day after the lockout ended, not a day after it began.
  now_ += seconds(300) + hours(24) - seconds(1);
  EXPECT_EQ(GuessUntilLockedOut("EOS-BOB"), seconds(600));
  now_ += seconds(600) + hours(24);
  EXPECT_EQ(GuessUntilLockedOut("EOS-BOB"), seconds(300));

  // Another player's wrong code lets the limiter drop whoever is due.
  now_ += seconds(300) + hours(24);
  EXPECT_FALSE(limiter_.CountWrongCode("EOS-EVE", kFiveThenFiveMinutes, now_).lockout);
  EXPECT_EQ(limiter_.Size(), 1u);
}

TEST_F(CodeAttemptLimiterTest, LimitOffCountsNothingAndRefusesNobody) {
  constexpr CodeAttemptLimiter::Limits kOff{0, seconds(300)};
  GuessUntilLockedOut("EOS-BOB");
  EXPECT_FALSE(limiter_.IsLockedOut("EOS-BOB", kOff, now_));
  for (int attempt = 0; attempt < 20; ++attempt)
    EXPECT_FALSE(limiter_.CountWrongCode("EOS-EVE", kOff, now_).lockout);
  EXPECT_EQ(limiter_.Size(), 1u);
}

TEST_F(CodeAttemptLimiterTest, AFullLimiterGivesUpThePlayerWhoseLastWrongCodeIsOldest) {
  CodeAttemptLimiter small(3);
  for (const char* eos_id : {"EOS-1", "EOS-2", "EOS-3", "EOS-1", "EOS-4"}) {
    EXPECT_FALSE(small.CountWrongCode(eos_id, kFiveThenFiveMinutes, now_).given_up);
    now_ += seconds(1);
  }
  EXPECT_EQ(small.Size(), 3u);
  // EOS-2 went; EOS-1 kept its two wrong codes.
  for (int attempt = 0; attempt < 2; ++attempt)
    EXPECT_FALSE(small.CountWrongCode("EOS-1", kFiveThenFiveMinutes, now_).lockout);
  const auto lockout = small.CountWrongCode("EOS-1", kFiveThenFiveMinutes, now_).lockout;
  ASSERT_TRUE(lockout);
  EXPECT_EQ(lockout->wrong_codes, 5);
  // EOS-2 was given up with its one wrong code: four more begin no lockout.
  for (int attempt = 0; attempt < 4; ++attempt)
    EXPECT_FALSE(small.CountWrongCode("EOS-2", kFiveThenFiveMinutes, now_).lockout);
  EXPECT_EQ(small.Size(), 3u);
}

// Fixed fault: a player locked out for a day was forgotten, and could guess again, once as many
// other EOS ids as the limiter holds had typed one wrong code each.
TEST_F(CodeAttemptLimiterTest, LockedOutPlayerOutlastsAFloodOfPlayersWhoAreNot) {
  constexpr CodeAttemptLimiter::Limits kADay{5, hours(24)};
  CodeAttemptLimiter small(3);
  for (int attempt = 0; attempt < kADay.max_attempts; ++attempt)
    small.CountWrongCode("EOS-GUESSER", kADay, now_);
  for (int flood = 0; flood < 100; ++flood) {
    now_ += seconds(1);
    EXPECT_FALSE(small.CountWrongCode("EOS-" + std::to_string(flood), kADay, now_).given_up);
  }
  EXPECT_EQ(small.Size(), 3u);
  EXPECT_TRUE(small.IsLockedOut("EOS-GUESSER", kADay, now_));
}

TEST_F(CodeAttemptLimiterTest, WithEveryoneLockedOutTheLockoutThatEndsSoonestIsGivenUp) {
  CodeAttemptLimiter small(2);
  for (const auto& [eos_id, first_lockout] :
       {std::pair{"EOS-LONG", seconds(600)}, std::pair{"EOS-SHORT", seconds(300)}}) {
    for (int attempt = 0; attempt < 5; ++attempt)
      small.CountWrongCode(eos_id, {5, first_lockout}, now_);
  }
  now_ += seconds(100);

  const CodeAttemptLimiter::Counted counted =
      small.CountWrongCode("EOS-NEW", kFiveThenFiveMinutes, now_);
  ASSERT_TRUE(counted.given_up);
  EXPECT_EQ(counted.given_up->eos_id, "EOS-SHORT");
  EXPECT_EQ(counted.given_up->remaining, seconds(200));
  EXPECT_FALSE(small.IsLockedOut("EOS-SHORT", kFiveThenFiveMinutes, now_));
  EXPECT_TRUE(small.IsLockedOut("EOS-LONG", kFiveThenFiveMinutes, now_));
  EXPECT_EQ(small.Size(), 2u);

  // A lockout that has ended spares its player no longer, but counts as when he last mattered:
  // EOS-NEW, whose wrong code is older than the end of EOS-LONG's lockout, makes room.
  now_ += seconds(501);
  EXPECT_FALSE(small.CountWrongCode("EOS-LATER", kFiveThenFiveMinutes, now_).given_up);
  EXPECT_EQ(small.Size(), 2u);
  std::optional<CodeAttemptLimiter::Lockout> second;
  for (int attempt = 0; attempt < 5 && !second; ++attempt)
    second = small.CountWrongCode("EOS-LONG", {5, seconds(600)}, now_).lockout;
  ASSERT_TRUE(second);
  EXPECT_EQ(second->duration, seconds(1200)) << "EOS-LONG was forgotten";
}

}  // namespace
