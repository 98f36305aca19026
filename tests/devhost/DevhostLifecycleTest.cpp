#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "Probe.h"

namespace veltrane::test {
namespace {

class DevhostLifecycle : public ::testing::Test {
 protected:
  std::unique_ptr<DevhostRunner> devhost_ = ProbeRunner();
};

TEST_F(DevhostLifecycle, LoadsAtStartAndUnloadsWhenInputEnds) {
  const DevhostResult result = devhost_->Run("echo middle\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.lines.front(), "probe dllmain reason=1 module=set");
  const std::vector<std::string> expected_tail = {
      "echo \"middle\"",
      "probe dllmain reason=0 module=set",
      "probe unload",
      "unregister chat text=\"/probe\" found=true",
      "unregister console text=\"Probe.Echo\" found=true",
      "unregister console text=\"Probe.Unhook\" found=true",
      "unregister rcon text=\"Probe.Echo\" found=true",
      "hook-remove name=\"AShooterGameMode.Logout(AController*)\" ok=true",
      "hook-remove name=\"AShooterGameMode.Logout(AController*)\" ok=false",
      "unload ok",
  };
  ASSERT_GE(result.lines.size(), expected_tail.size());
  EXPECT_EQ(
      std::vector<std::string>(result.lines.end() - long(expected_tail.size()), result.lines.end()),
      expected_tail);
}

TEST_F(DevhostLifecycle, RegistrationsPrintAsThePluginMakesThem) {
  const DevhostResult result = devhost_->Run("");
  const std::vector<std::string> expected = {
      "probe dllmain reason=1 module=set",
      "register chat text=\"/probe\"",
      "register console text=\"Probe.Echo\"",
      "register console text=\"Probe.Unhook\"",
      "register rcon text=\"Probe.Echo\"",
      "hook-install name=\"AShooterGameMode.Logout(AController*)\" ok=true",
      "hook-install name=\"AShooterGameMode.NoSuchFunction()\" ok=false",
      "load ok",
  };
  ASSERT_GE(result.lines.size(), expected.size());
  EXPECT_EQ(
      std::vector<std::string>(result.lines.begin(), result.lines.begin() + long(expected.size())),
      expected);
}

TEST_F(DevhostLifecycle, NoLoadWaitsForTheLoadCommand) {
  const DevhostResult result =
      devhost_->Run("echo first\nload\nunload\nunload\nload\n", {"--no-load"});
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.lines.front(), "echo \"first\"");
  EXPECT_EQ(result.Count("load ok"), 2u);
  EXPECT_EQ(result.Count("unload ok"), 2u);  // the second at the end of the input
  EXPECT_EQ(Errors(result), std::vector<std::string>{"the plugin is not loaded"});
}

TEST_F(DevhostLifecycle, LoadingTwiceIsRefused) {
  const DevhostResult result = devhost_->Run("load\n");
  EXPECT_EQ(Errors(result), std::vector<std::string>{"the plugin is loaded already"});
  EXPECT_EQ(result.Count("probe dllmain reason=1"), 1u);
}

TEST_F(DevhostLifecycle, ThreadNotificationsReachTheEntryPoint) {
  const DevhostResult result =
      devhost_->Run("thread-attach\nthread-detach\nunload\nthread-attach\n");
  EXPECT_EQ(result.Count("probe dllmain reason=2"), 1u);
  EXPECT_EQ(result.Count("probe dllmain reason=3"), 1u);
  EXPECT_EQ(Errors(result), std::vector<std::string>{"the plugin is not loaded"});
}

TEST_F(DevhostLifecycle, ExceptionFromTheEntryPointIsAFailedLoadAndTheHostGoesOn) {
  devhost_ = ProbeRunner({{"ThrowOnLoad", "config says \"no\""}});
  const DevhostResult result = devhost_->Run("echo still here\nload\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.Count("load failed error=\"config says \\\"no\\\"\""), 2u);
  EXPECT_TRUE(result.First("echo \"still here\""));
  EXPECT_EQ(result.Count("unload"), 0u);
  EXPECT_EQ(result.Count("probe dllmain reason=0"), 0u);
}

// The plugin logs only "Can't open config.json" and answers FALSE; the host names the file it
// would read.
TEST_F(DevhostLifecycle, FailedLoadNamesAMissingConfiguration) {
  DevhostRunner veltrane;
  const DevhostResult result = veltrane.Run("");
  const std::string expected_path =
      (veltrane.Root() / "ArkApi" / "Plugins" / "Veltrane" / "config.json").string();
  EXPECT_EQ(result.First("load failed "), "load failed error=\"DllMain returned FALSE\" missing=" +
                                              nlohmann::json(expected_path).dump());
  EXPECT_NE(result.stderr_text.find("there is no configuration at " + expected_path),
            std::string::npos);

  // The probe's own configuration place: missing, then there.
  devhost_ = ProbeRunner({{"ThrowOnLoad", "no"}});
  const std::filesystem::path probe_config =
      devhost_->Root() / "ArkApi" / "Plugins" / "ProbePlugin" / "config.json";
  EXPECT_EQ(TextField(devhost_->Run("").First("load failed "), "missing"), probe_config.string());
  std::filesystem::create_directories(probe_config.parent_path());
  std::ofstream(probe_config) << "{}";
  EXPECT_EQ(devhost_->Run("").First("load failed "), "load failed error=\"no\"");
}

// The Windows loader detaches a module whose attach answered FALSE before the load fails.
TEST_F(DevhostLifecycle, EntryPointAnsweringFalseIsAFailedLoadFollowedByADetach) {
  devhost_ = ProbeRunner({{"ReturnFalse", true}});
  const DevhostResult result = devhost_->Run("unload\n");
  EXPECT_EQ(result.exit_code, 0);
  const auto position = [&](std::string_view prefix) {
    return std::find_if(result.lines.begin(), result.lines.end(),
                        [&](const std::string& line) { return line.starts_with(prefix); }) -
           result.lines.begin();
  };
  const auto failed = position("load failed error=\"DllMain returned FALSE\"");
  ASSERT_LT(failed, long(result.lines.size()));
  EXPECT_LT(position("probe dllmain reason=1 module=set"), position("probe unload"));
  EXPECT_LT(position("probe unload"), failed);
  // Once: the module is no longer loaded, so neither the script nor the end of input detaches it.
  EXPECT_EQ(result.Count("probe dllmain reason=0"), 1u);
  EXPECT_EQ(result.Count("unload "), 0u);
  EXPECT_EQ(Errors(result), std::vector<std::string>{"the plugin is not loaded"});
}

TEST_F(DevhostLifecycle, MissingModuleIsAFailedLoad) {
  devhost_->SetPlugin(devhost_->Root() / "Missing.so");
  const DevhostResult result = devhost_->Run("echo after\n");
  EXPECT_NE(TextField(result.First("load failed "), "error").find("Missing.so"), std::string::npos);
  EXPECT_TRUE(result.First("echo \"after\""));
  EXPECT_EQ(result.exit_code, 0);
}

TEST_F(DevhostLifecycle, ModuleWithoutEntryPointIsAFailedLoad) {
  devhost_->SetPlugin(DevhostRunner::BinDir() / "NoEntryModule.so");
  const DevhostResult result = devhost_->Run("");
  EXPECT_NE(TextField(result.First("load failed "), "error").find("DllMain"), std::string::npos);
  EXPECT_EQ(result.exit_code, 0);
}

TEST_F(DevhostLifecycle, LoadAgainAfterUnloadRegistersAgain) {
  const DevhostResult result = devhost_->Run("unload\nload\njoin bob\nchat bob /probe\n");
  EXPECT_EQ(result.Count("register chat text=\"/probe\""), 2u);
  EXPECT_EQ(result.Count("probe chat "), 1u);
}

TEST_F(DevhostLifecycle, PluginLogLinesGoToTheLogFile) {
  const DevhostResult result = devhost_->Run("");
  EXPECT_EQ(std::count_if(result.log_lines.begin(), result.log_lines.end(),
                          [](const std::string& line) {
                            return line.find("Probe loaded 1") != std::string::npos;
                          }),
            1);
  EXPECT_NE(result.stderr_text.find("Probe loaded 1"), std::string::npos);
}

TEST_F(DevhostLifecycle, PluginThatLeavesRegistrationsBehindDoesNotBringTheHostDown) {
  devhost_ = ProbeRunner({{"LeaveRegistered", true}});
  const DevhostResult result =
      devhost_->Run("unload\njoin bob\nchat bob /probe\nlogout bob\nload\n");
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(result.First("unload ok"));
  EXPECT_TRUE(result.First("register chat text=\"/probe\" ok=false"));  // still there
  EXPECT_TRUE(result.First("game-logout bob"));
  EXPECT_NE(result.stderr_text.find("its module stays open"), std::string::npos);
}

TEST_F(DevhostLifecycle, ModuleNamesItselfAndIsLoaded) {
  const DevhostResult result = devhost_->Run("join bob\nchat bob /probe module\n");
  const std::optional<std::string> line = result.First("probe module ");
  ASSERT_TRUE(line);
  EXPECT_EQ(Field(*line, "loaded"), true);
  EXPECT_EQ(TextField(line, "path"), std::filesystem::canonical(ProbeModule()).string());
  EXPECT_EQ(TextField(line, "dir"), std::filesystem::canonical(devhost_->Root()).string());
  EXPECT_EQ(TextField(line, "exe"),
            std::filesystem::canonical(DevhostRunner::BinDir() / "devhost").string());
  EXPECT_TRUE(Errors(result).empty());
}

}  // namespace
}  // namespace veltrane::test
