// The group step after a link, against the devhost's Permissions stand-in.

#include <gmock/gmock.h>

#include "support/PluginTest.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr char kLinkBob[] = "join bob eos=EOS-BOB id=101\nchat bob /link CODE-1\n";

class PermissionGroup : public PluginTest {
 protected:
  PermissionGroup() {
    database_.InsertCode("discord-1", "CODE-1");
    Settings()["debug"] = true;
    Settings()["UsePermissions"] = true;
    Settings()["PermissionGroupToAdd"] = "Linked Players";
  }
};

TEST_F(PermissionGroup, NewlyLinkedPlayerJoinsTheConfiguredGroup) {
  const DevhostResult result = Run(std::string("perms on\n") + kLinkBob);
  EXPECT_THAT(result.WithPrefix("group-add "),
              ElementsAre("group-add eos=\"EOS-BOB\" group=\"Linked Players\""));
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[info] Permissions loaded.",
                          "[info] The user with ID EOS-BOB is not in group: Linked Players.",
                          "[info] The user with ID EOS-BOB linked his account with discord."));
  ASSERT_EQ(result.Count("notify bob "), 1u);
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
}

TEST_F(PermissionGroup, WithoutThePermissionsPluginTheLinkCompletesAlone) {
  // The stand-in throws when called while not loaded, so any call would show as an error line.
  const DevhostResult result = Run(std::string("perms off\n") + kLinkBob);
  EXPECT_EQ(result.Count("group-add "), 0u);
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[info] The user with ID EOS-BOB linked his account with discord."));
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
  EXPECT_EQ(database_.Rows().at(0).code, "Linked");
}

TEST_F(PermissionGroup, MemberOfTheGroupIsNotAddedAgain) {
  const DevhostResult result =
      Run(std::string("perms on\nperms add EOS-BOB \"Linked Players\"\n") + kLinkBob);
  EXPECT_EQ(result.Count("group-add "), 0u);
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre("[info] Permissions loaded.",
                          "[info] The user with ID EOS-BOB linked his account with discord."));
}

TEST_F(PermissionGroup, RefusedAdditionLeavesThePlayerLinkedAndTold) {
  const DevhostResult result = Run(std::string("perms on\nperms fail on\n") + kLinkBob);
  EXPECT_EQ(result.Count("group-add "), 0u);
  EXPECT_EQ(TextOf(*result.First("notify bob ")), "Account linked");
  EXPECT_EQ(database_.Rows().at(0).code, "Linked");
}

TEST_F(PermissionGroup, UsePermissionsOffSkipsTheStep) {
  Settings()["UsePermissions"] = false;
  Settings()["debug"] = false;
  const DevhostResult result = Run(std::string("perms on\n") + kLinkBob);
  EXPECT_EQ(result.Count("group-add "), 0u);
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
}

TEST_F(PermissionGroup, PermissionsLoadedLaterIsBoundAtItsFirstUse) {
  database_.InsertCode("discord-2", "CODE-2");
  const DevhostResult result =
      Run("perms off\njoin bob eos=EOS-BOB id=101\nchat bob /link CODE-1\n"
          "perms on\njoin eve eos=EOS-EVE id=202\nchat eve /link CODE-2\n");
  EXPECT_THAT(result.WithPrefix("group-add "),
              ElementsAre("group-add eos=\"EOS-EVE\" group=\"Linked Players\""));
}

}  // namespace
}  // namespace veltrane::test
