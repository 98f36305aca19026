#pragma once
// The start of every end-to-end test of the plugin: a fresh sandbox database holding the account
// table, and a devhost root whose configuration points at it, with short message texts that the
// tests can recognise.

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/DevhostRunner.h"
#include "support/SandboxDatabase.h"
#include "support/StoreModes.h"

namespace veltrane::test {

inline constexpr char kErrorRgba[] = "1,0,0,1";
inline constexpr char kSuccessRgba[] = "0.16202937,0.70837575,0.29177064,1";
// The green of an admin command's confirmation.
inline constexpr char kDoneRgba[] = "0,1,0,1";
inline constexpr char kRconPassword[] = "rcon-test-password";
inline constexpr char kJoinBob[] = "join bob eos=EOS-BOB id=101 tribe_id=7 tribe=Raiders\n";
// Beyond the store's first cool-down (5 s), after which a server that failed is asked again.
inline constexpr char kWaitOutCoolDown[] = "sleep 5500\n";

class FaultProxy;

class PluginTest : public ::testing::Test {
 protected:
  PluginTest();

  // Writes config_ and runs the devhost on script; the plugin is loaded first and unloaded when
  // the script ends.
  DevhostResult Run(const std::string& script);
  // Writes config_ and starts a devhost that reads more lines through Send and serves RCON.
  std::unique_ptr<DevhostProcess> Start(const std::string& script);
  // Start, then waits until the script has run: the plugin is loaded and ready for more lines.
  std::unique_ptr<DevhostProcess> StartReady(const std::string& script);
  // Points the plugin at the sandbox through proxy; answers the server as the plugin names it.
  std::string ConnectThrough(const FaultProxy& proxy);
  // Puts a linked row in place, as a link by that player would have left it.
  void InsertLinkedRow(const std::string& eos_id, int player_id, const std::string& character_name,
                       int tribe_id, const std::string& tribe_name, const std::string& code);

  // Every row of the table in id order, each text column as the hex of its bytes: rows compared
  // byte for byte whatever the columns' character sets.
  std::vector<std::vector<std::optional<std::string>>> TableBytes(
      const std::string& table = "player_discord");
  // A copy of player_discord as it is now, in the table "expected", with the same columns: the
  // test applies to it what it expects of the plugin and compares the two with TableBytes.
  void CopyToExpected();

  // Database.NonBlocking: the store's answers arrive over the devhost's ticks. Run then waits
  // after each chat line until its player has been shown something (a reply names him), so that
  // the same script tells the same in both modes.
  void UseNonBlockingStore(bool non_blocking = true);

  nlohmann::json& Settings() { return config_["Settings"]; }
  nlohmann::json& Discord() { return config_["Settings"]["Discord"]; }
  nlohmann::json& Messages() { return config_["Messages"]; }

  bool non_blocking_ = false;
  SandboxDatabase database_;
  nlohmann::json config_;
  DevhostRunner devhost_;
};

// A fixture for cases that run with a blocking and with a non-blocking store (its parameter: the
// store is non-blocking).
template <typename Fixture>
class InBothStoreModes : public Fixture, public ::testing::WithParamInterface<bool> {
 protected:
  InBothStoreModes() { this->UseNonBlockingStore(GetParam()); }
};
#define INSTANTIATE_IN_BOTH_STORE_MODES(Suite) \
  INSTANTIATE_TEST_SUITE_P(StoreModes, Suite, ::testing::Bool(), StoreModeName)

// The script with a wait after each chat line for the first line since that names its player
// (" bob "): how a test waits for a reply that comes over later ticks. A chat line that gets no
// reply says so in a comment: "# no reply".
std::string WithWaitsForReplies(const std::string& script);
// The plugin's own log lines of a run, each from its level on: "[info] The user ...".
std::vector<std::string> VeltraneLog(const DevhostResult& result);
// The lines that show the player something: notifications, chat lines and server messages.
std::vector<std::string> PlayerMessages(const DevhostResult& result);
// The texts of the on-screen notifications that player was shown in a run.
std::vector<std::string> NotifiedTexts(const DevhostResult& result, const std::string& player);
// The server messages of a run, each as "RGBA text".
std::vector<std::string> ServerMessages(const DevhostResult& result);
// The texts of the RCON replies of a run.
std::vector<std::string> RconReplies(const DevhostResult& result);
// The value of a text=JSON field ("" when the line has none).
std::string TextOf(const std::string& line);
std::string FieldText(const std::string& line, const std::string& key);
// The error line that the link command or the logout hook writes for a caught error.
std::string LocatedErrorPrefix(const std::string& function_name);

}  // namespace veltrane::test
