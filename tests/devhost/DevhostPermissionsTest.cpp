#include <gtest/gtest.h>

#include "Probe.h"

namespace veltrane::test {
namespace {

class DevhostPermissions : public ::testing::Test {
 protected:
  std::unique_ptr<DevhostRunner> devhost_ = ProbeRunner();
};

TEST_F(DevhostPermissions, WithoutPermissionsThePluginIsToldItIsNotLoaded) {
  const DevhostResult result = devhost_->Run(
      "join bob\nchat bob /probe perms\nperms on\nperms off\nchat bob /probe perms\n");
  EXPECT_EQ(result.Count("probe perms not-loaded"), 2u);
  EXPECT_EQ(result.Count("group-add"), 0u);
}

TEST_F(DevhostPermissions, AdditionPrintsGroupAddOnce) {
  const DevhostResult result = devhost_->Run(
      "join bob eos=B0B\nperms on\nchat bob /probe perms Verified\nchat bob /probe perms "
      "Verified\n");
  EXPECT_EQ(result.WithPrefix("group-add "),
            std::vector<std::string>{"group-add eos=\"B0B\" group=\"Verified\""});
  const std::vector<std::string> answers = result.WithPrefix("probe perms ");
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0], "probe perms member=false added");
  EXPECT_EQ(answers[1].rfind("probe perms member=true refused=", 0), 0u);
}

TEST_F(DevhostPermissions, ScriptCanPutAPlayerIntoAGroupBeforehand) {
  const DevhostResult result = devhost_->Run(
      "join bob eos=\"B 0B\"\nperms add \"B 0B\" Tribe\nperms on\n"
      "chat bob /probe perms Tribe\nchat bob /probe perms Other\n");
  const std::vector<std::string> answers = result.WithPrefix("probe perms ");
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0].rfind("probe perms member=true refused=", 0), 0u);
  EXPECT_EQ(answers[1], "probe perms member=false added");
  EXPECT_EQ(result.WithPrefix("group-add "),
            std::vector<std::string>{"group-add eos=\"B 0B\" group=\"Other\""});
}

TEST_F(DevhostPermissions, FailingAdditionAnswersAnErrorTextInsteadOfAdding) {
  const DevhostResult result = devhost_->Run(
      "join bob\nperms on\nperms fail on\nchat bob /probe perms\nperms fail off\nchat bob /probe "
      "perms\n");
  const std::vector<std::string> answers = result.WithPrefix("probe perms ");
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_FALSE(TextField(answers[0], "refused").empty());
  EXPECT_EQ(answers[1], "probe perms member=false added");
  EXPECT_EQ(result.Count("group-add "), 1u);
}

TEST_F(DevhostPermissions, RemovalPrintsGroupRemoveAndRefusesANonMember) {
  const DevhostResult result = devhost_->Run(
      "join bob eos=B0B\nperms add B0B Verified\nperms add B0B Other\nperms on\n"
      "chat bob /probe unperms Verified\nchat bob /probe unperms Verified\n"
      "chat bob /probe perms Other\n");
  EXPECT_EQ(result.WithPrefix("group-remove "),
            std::vector<std::string>{"group-remove eos=\"B0B\" group=\"Verified\""});
  const std::vector<std::string> answers = result.WithPrefix("probe unperms ");
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0], "probe unperms removed member=false");
  EXPECT_EQ(answers[1], "probe unperms refused=\"Player is not in the group\" member=false");
  // The other group is untouched.
  EXPECT_EQ(result.WithPrefix("probe perms ").at(0).rfind("probe perms member=true refused=", 0),
            0u);
}

TEST_F(DevhostPermissions, FailingRemovalKeepsThePlayerAndWithoutPermissionsItThrows) {
  const DevhostResult result = devhost_->Run(
      "join bob eos=B0B\nperms add B0B Verified\nperms on\nperms fail on\n"
      "chat bob /probe unperms Verified\nperms off\nchat bob /probe unperms Verified\n");
  EXPECT_EQ(result.WithPrefix("probe unperms "),
            std::vector<std::string>{
                "probe unperms refused=\"Permissions stand-in refuses the removal\" member=true"});
  EXPECT_EQ(result.Count("group-remove "), 0u);
  EXPECT_EQ(result.Count("error \"chat command threw: Permissions is not loaded\""), 1u);
}

}  // namespace
}  // namespace veltrane::test
