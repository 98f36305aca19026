#include <gtest/gtest.h>

#include "Probe.h"

namespace veltrane::test {
namespace {

class DevhostLogout : public ::testing::Test {
 protected:
  // The probe's detour lines and the game's logout lines, in order.
  static std::vector<std::string> LogoutTrace(const DevhostResult& result) {
    std::vector<std::string> trace;
    for (const std::string& line : result.lines)
      if (line.rfind("probe logout-", 0) == 0 || line.rfind("game-logout", 0) == 0)
        trace.push_back(line);
    return trace;
  }

  std::unique_ptr<DevhostRunner> devhost_ = ProbeRunner();
};

TEST_F(DevhostLogout, LogoutGoesThroughTheDetourToTheGameAndThePlayerIsGone) {
  const DevhostResult result = devhost_->Run("join bob eos=B0B\nlogout bob\nchat bob /probe\n");
  EXPECT_EQ(LogoutTrace(result),
            (std::vector<std::string>{"probe logout-a exiting=\"B0B\"", "game-logout bob"}));
  EXPECT_EQ(Errors(result), std::vector<std::string>{"unknown player bob"});
}

TEST_F(DevhostLogout, LogoutWithoutAControllerReachesTheGameAsDash) {
  const DevhostResult result = devhost_->Run("logout -\n");
  EXPECT_EQ(LogoutTrace(result),
            (std::vector<std::string>{"probe logout-a exiting=null", "game-logout -"}));
  EXPECT_TRUE(Errors(result).empty());
}

TEST_F(DevhostLogout, NewestDetourRunsFirstAndRemovingTheOlderOneRelinksTheChain) {
  devhost_ = ProbeRunner({{"SecondHook", true}});
  const DevhostResult result = devhost_->Run(
      "join bob eos=B0B\njoin ann eos=A22\n"
      "logout bob\n"
      "console - Probe.Unhook\n"
      "logout ann\n");
  EXPECT_EQ(LogoutTrace(result), (std::vector<std::string>{
                                     "probe logout-b exiting=\"B0B\"",
                                     "probe logout-a exiting=\"B0B\"",
                                     "game-logout bob",
                                     "probe logout-b exiting=\"A22\"",
                                     "game-logout ann",
                                 }));
  EXPECT_TRUE(result.First("probe unhook a=true"));
}

TEST_F(DevhostLogout, AfterUnloadLogoutReachesTheGameDirectly) {
  const DevhostResult result = devhost_->Run("join bob\nunload\nlogout bob\n");
  EXPECT_EQ(LogoutTrace(result), std::vector<std::string>{"game-logout bob"});
}

TEST_F(DevhostLogout, LoggedOutPlayerCanJoinAgain) {
  const DevhostResult result = devhost_->Run("join bob\nlogout bob\njoin bob\nlogout bob\n");
  EXPECT_EQ(result.Count("game-logout bob"), 2u);
  EXPECT_TRUE(Errors(result).empty());
}

}  // namespace
}  // namespace veltrane::test
