// "Veltrane.Linked" and "Veltrane.Unlink" end to end: from an admin's console and over RCON (the
// devhost's script and a real TCP client), against the sandbox database and the Permissions
// stand-in. The table is compared byte for byte before and after.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include "Admin/AdminCommandText.h"
#include "support/FaultProxy.h"
#include "support/InjectionCorpus.h"
#include "support/PluginTest.h"
#include "support/RconTestClient.h"
#include "support/SandboxServer.h"
#include "support/WaitUntil.h"
#include "support/WebhookReceiver.h"

namespace veltrane::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr char kAdaEOS[] = "0002aaaa0002aaaa0002aaaa0002aaaa";
constexpr char kBobEOS[] = "000BBBBB000BBBBB000BBBBB000BBBBB";
constexpr char kCyEOS[] = "000ccccc000ccccc000ccccc000ccccc";
constexpr char kNobodyEOS[] = "ffffffffffffffffffffffffffffffff";
constexpr char kAdaDiscord[] = "400000000000000001";
constexpr char kBobDiscord[] = "400000000000000002";
constexpr char kNobodyDiscord[] = "40000000000000000999";
constexpr char kLinkedUsage[] =
    "Usage: Veltrane.Linked <EOS id: 32 hex characters | Discord id: 17 to 20 digits>";
constexpr char kUnlinkUsage[] =
    "Usage: Veltrane.Unlink <EOS id: 32 hex characters | Discord id: 17 to 20 digits>";

class AdminCommands : public PluginTest {
 protected:
  AdminCommands() {
    Settings()["UsePermissions"] = true;
    Settings()["PermissionGroupToAdd"] = "Linked Players";
  }

  // A linked row as a link (state "Linked") or a later logout refresh ("Updated") leaves it.
  void InsertLink(const std::string& eos_id, const std::string& discord_id, int player_id,
                  const std::string& character, const std::string& tribe,
                  const std::string& state = "Linked") {
    database_.Execute(fmt::format(
        "INSERT INTO player_discord (eos_id, discord_id, player_id, character_name, tribe_id, "
        "tribe_name, code) VALUES ({}, {}, {}, {}, 7, {}, {})",
        database_.Quote(eos_id), database_.Quote(discord_id), player_id, database_.Quote(character),
        database_.Quote(tribe), database_.Quote(state)));
  }

  // Ada, Bob and Cy linked, Bob and Cy under one Discord account, and three rows that are no
  // links: a code waiting under Bob's Discord id, a row with Ada's EOS id but no player id, and one
  // with Ada's Discord id and a player id but the default EOS id.
  void InsertThreePlayersAndDecoys() {
    InsertLink(kAdaEOS, kAdaDiscord, 41, "Ada \"the {Brave}\"", "Explorers");
    InsertLink(kBobEOS, kBobDiscord, 42, "Bob", "Raiders");
    database_.InsertCode(kBobDiscord, "SECRET-CODE");
    InsertLink(kCyEOS, kBobDiscord, 43, "Cy", "Raiders", "Updated");
    InsertLink(kAdaEOS, kAdaDiscord, 0, "Ada", "Explorers");
    InsertLink("0", kAdaDiscord, 44, "Ada", "Explorers");
  }

  // The texts the admin bob was shown, each with its colour.
  static std::vector<std::string> ServerMessages(const DevhostResult& result) {
    std::vector<std::string> messages;
    for (const std::string& line : result.WithPrefix("server-message ")) {
      EXPECT_EQ(line.rfind("server-message admin ", 0), 0u) << line;
      messages.push_back(FieldText(line, "rgba") + " " + TextOf(line));
    }
    return messages;
  }

  static std::vector<std::string> RconReplies(const DevhostResult& result) {
    std::vector<std::string> replies;
    for (const std::string& line : result.WithPrefix("rcon-reply "))
      replies.push_back(TextOf(line));
    return replies;
  }

  // A devhost with the admin joined and the plugin loaded, serving RCON over TCP.
  std::unique_ptr<DevhostProcess> StartServer(const std::string& script = "") {
    std::unique_ptr<DevhostProcess> server = Start("join admin\n" + script + "echo ready\n");
    EXPECT_TRUE(server->WaitForLine("echo \"ready\""));
    return server;
  }
};

std::string Green(const std::string& text) { return std::string(kDoneRgba) + " " + text; }
std::string Red(const std::string& text) { return std::string(kErrorRgba) + " " + text; }

const std::string kAdaLine = fmt::format(
    "EOS id {}, Discord id {}, player id 41, character \"Ada \\\"the {{Brave}}\\\"\", "
    "tribe \"Explorers\", Linked",
    kAdaEOS, kAdaDiscord);
const std::string kBobLine = fmt::format(
    "EOS id {}, Discord id {}, player id 42, character \"Bob\", tribe \"Raiders\", Linked", kBobEOS,
    kBobDiscord);
const std::string kCyLine = fmt::format(
    "EOS id {}, Discord id {}, player id 43, character \"Cy\", tribe \"Raiders\", Updated", kCyEOS,
    kBobDiscord);

// Linked

TEST_F(AdminCommands, LinkedFindsNoneOneOrSeveralLinksByEitherIdAndNeverAWaitingCode) {
  InsertThreePlayersAndDecoys();
  const std::vector<PlayerDiscordRow> rows_before = database_.Rows();
  const DevhostResult result = Run(
      fmt::format("join admin\nconsole admin Veltrane.Linked {}\nconsole admin Veltrane.Linked {}\n"
                  "console admin Veltrane.Linked {}\nconsole admin veltrane.linked {}\n",
                  kAdaEOS, kBobDiscord, kNobodyEOS, kNobodyDiscord));
  EXPECT_THAT(
      ServerMessages(result),
      ElementsAre(Green(fmt::format("1 link for EOS id {}:", kAdaEOS)), Green(kAdaLine),
                  Green(fmt::format("2 links for Discord id {}:", kBobDiscord)), Green(kBobLine),
                  Green(kCyLine), Green(fmt::format("No link for EOS id {}", kNobodyEOS)),
                  Green(fmt::format("No link for Discord id {}", kNobodyDiscord))));
  for (const std::string& line : result.lines) EXPECT_THAT(line, Not(HasSubstr("SECRET")));
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
  EXPECT_EQ(database_.Rows(), rows_before);
}

TEST_F(AdminCommands, LinkedTakesTheEOSIdInAnyLetterCase) {
  InsertThreePlayersAndDecoys();
  const DevhostResult result =
      Run(fmt::format("rcon Veltrane.Linked {}\n", "000bbbbb000bbbbb000bbbbb000bbbbb"));
  EXPECT_THAT(RconReplies(result), ElementsAre("1 link for EOS id "
                                               "000bbbbb000bbbbb000bbbbb000bbbbb:\n" +
                                               kBobLine));
}

TEST_F(AdminCommands, OverRconTheReplyComesInOneMessageOnTheConnection) {
  InsertThreePlayersAndDecoys();
  auto server = StartServer();
  RconTestClient client(server->RconPort());
  ASSERT_TRUE(client.Authenticate(kRconPassword));
  EXPECT_EQ(client.Command(fmt::format("Veltrane.Linked {}", kBobDiscord)),
            fmt::format("2 links for Discord id {}:\n{}\n{}", kBobDiscord, kBobLine, kCyLine));
  EXPECT_EQ(client.Command(fmt::format("Veltrane.Linked {}", kNobodyEOS)),
            fmt::format("No link for EOS id {}", kNobodyEOS));
  EXPECT_EQ(client.Command("Veltrane.Linked"), kLinkedUsage);
  const DevhostResult result = server->Stop();
  EXPECT_EQ(result.Count("rcon-reply "), 3u);
  EXPECT_THAT(PlayerMessages(result), IsEmpty());
}

TEST_F(AdminCommands, TheServerConsoleIsToldNothingButTheCommandsStillRun) {
  InsertThreePlayersAndDecoys();
  const DevhostResult result =
      Run(fmt::format("console - Veltrane.Linked {}\nconsole - Veltrane.Unlink {}\n"
                      "console - Veltrane.Unlink\n",
                      kAdaEOS, kAdaEOS));
  EXPECT_EQ(result.Count("server-message "), 0u);
  EXPECT_EQ(result.Count("error "), 0u);
  EXPECT_EQ(database_.Rows().size(), 5u);
  EXPECT_EQ(VeltraneLog(result).size(), 1u);
}

TEST_F(AdminCommands, AListTooLongForOneRconPacketIsCutWithTheCountOfTheRest) {
  for (int i = 0; i < 150; ++i)
    InsertLink(fmt::format("{:032x}", i + 1), kBobDiscord, 100 + i, std::string(40, 'n'),
               std::string(40, 't'));
  auto server = StartServer();
  RconTestClient client(server->RconPort());
  ASSERT_TRUE(client.Authenticate(kRconPassword));
  for (const std::string command : {"Veltrane.Linked", "Veltrane.Unlink"}) {
    SCOPED_TRACE(command);
    const std::string reply = client.Command(command + " " + kBobDiscord);
    EXPECT_LE(reply.size(), kMaxReplyBytes);
    std::vector<std::string> lines;
    for (std::size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
      end = reply.find('\n', start);
      lines.push_back(reply.substr(start, end - start));
    }
    ASSERT_GE(lines.size(), 3u);
    const std::size_t shown = lines.size() - 2;
    EXPECT_EQ(lines.back(), fmt::format("... and {} more", 150 - shown));
    // The cut leaves out no line that would still have fitted.
    EXPECT_GT(reply.size() + 1 + lines[1].size(), kMaxReplyBytes);
  }
  const DevhostResult result = server->Stop();
  EXPECT_THAT(database_.Rows(), IsEmpty());
  EXPECT_EQ(VeltraneLog(result).size(), 150u);
}

// Arguments

TEST_F(AdminCommands, ArgumentsOfAnyOtherFormGetTheUsageAndTouchNothing) {
  InsertThreePlayersAndDecoys();
  const std::vector<PlayerDiscordRow> rows_before = database_.Rows();
  std::vector<std::string> arguments = InjectionCorpus();
  for (const std::string& id : {std::string(kAdaEOS), std::string(kBobDiscord)}) {
    arguments.push_back(id + "'");
    arguments.push_back("'" + id);
    arguments.push_back(id + "\\");
    arguments.push_back(id + " OR 1=1");
    arguments.push_back(id + "' OR '1'='1");
    arguments.push_back(id + "; DELETE FROM player_discord; --");
    arguments.push_back(id + " " + id);
    arguments.push_back(id + id);
  }
  arguments.push_back("");
  arguments.push_back(std::string(51, '1'));
  arguments.push_back("0002aaaa");
  auto server = StartServer();
  RconTestClient client(server->RconPort());
  ASSERT_TRUE(client.Authenticate(kRconPassword));
  for (const std::string& argument : arguments) {
    SCOPED_TRACE(::testing::PrintToString(argument));
    EXPECT_EQ(client.Command("Veltrane.Linked " + argument), kLinkedUsage);
    EXPECT_EQ(client.Command("Veltrane.Unlink " + argument), kUnlinkUsage);
  }
  server->Send("console admin Veltrane.Unlink x' OR '1'='1\nconsole admin Veltrane.Linked\n");
  const DevhostResult result = server->Stop();
  EXPECT_THAT(ServerMessages(result), ElementsAre(Red(kUnlinkUsage), Red(kLinkedUsage)));
  EXPECT_THAT(VeltraneLog(result), IsEmpty());
  EXPECT_EQ(result.Count("group-remove "), 0u);
  EXPECT_EQ(database_.Rows(), rows_before);
}

// Unlink

TEST_F(AdminCommands, UnlinkDeletesTheLinkAndTheGroupAndThePlayerLinksAgainWithANewCode) {
  // Ada's first code, and the new one the bot hands out once she is unlinked.
  database_.InsertCode(kAdaDiscord, "CODE-1");
  database_.InsertCode(kAdaDiscord, "CODE-2");
  auto server =
      StartServer(fmt::format("perms on\njoin ada eos={} id=41 tribe=Explorers\n"
                              "chat ada /link CODE-1\n",
                              kAdaEOS));
  ASSERT_TRUE(server->WaitForLine("group-add "));
  const std::vector<PlayerDiscordRow> rows_linked = database_.Rows();
  ASSERT_EQ(rows_linked.at(0).code, "Linked");

  server->Send(fmt::format("console admin Veltrane.Unlink {}\n", kAdaDiscord));
  ASSERT_TRUE(server->WaitForLine("server-message admin ", 2));
  // Only the linked row went; the waiting code is as it was, byte for byte.
  EXPECT_EQ(database_.Rows(), std::vector<PlayerDiscordRow>{rows_linked.at(1)});

  server->Send("chat ada /link CODE-2\n");
  const DevhostResult result = server->Stop();
  EXPECT_THAT(ServerMessages(result),
              ElementsAre(Green(fmt::format("Unlinked Discord id {}: 1 link deleted", kAdaDiscord)),
                          Green(fmt::format("EOS id {}, Discord id {}, player id 41, character "
                                            "\"ada\", tribe \"Explorers\", Linked; removed from "
                                            "group \"Linked Players\"",
                                            kAdaEOS, kAdaDiscord))));
  EXPECT_THAT(result.WithPrefix("group-"),
              ElementsAre(fmt::format("group-add eos=\"{}\" group=\"Linked Players\"", kAdaEOS),
                          fmt::format("group-remove eos=\"{}\" group=\"Linked Players\"", kAdaEOS),
                          fmt::format("group-add eos=\"{}\" group=\"Linked Players\"", kAdaEOS)));
  EXPECT_THAT(
      VeltraneLog(result),
      ElementsAre(fmt::format("[info] Veltrane.Unlink Discord id {} deleted row id=1 eos_id=\"{}\" "
                              "discord_id=\"{}\" player_id=41 character_name=\"ada\" tribe_id=0 "
                              "tribe_name=\"Explorers\" code=\"Linked\"",
                              kAdaDiscord, kAdaEOS, kAdaDiscord)));
  EXPECT_EQ(TextOf(result.WithPrefix("notify ada ").back()), "Account linked");
  const std::vector<PlayerDiscordRow> rows = database_.Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].id, 2);
  EXPECT_EQ(rows[0].eos_id, kAdaEOS);
  EXPECT_EQ(rows[0].code, "Linked");
}

TEST_F(AdminCommands, UnlinkOverRconByEOSIdLeavesEveryOtherRowAsItWas) {
  InsertThreePlayersAndDecoys();
  std::vector<PlayerDiscordRow> expected = database_.Rows();
  expected.erase(expected.begin());  // Ada's one real link
  auto server = StartServer("perms on\n");
  RconTestClient client(server->RconPort());
  ASSERT_TRUE(client.Authenticate(kRconPassword));
  EXPECT_EQ(client.Command(fmt::format("Veltrane.Unlink {}", kAdaEOS)),
            fmt::format("Unlinked EOS id {}: 1 link deleted\n{}; not in group \"Linked Players\"",
                        kAdaEOS, kAdaLine));
  EXPECT_EQ(client.Command(fmt::format("Veltrane.Unlink {}", kAdaEOS)),
            fmt::format("No link for EOS id {}; nothing was unlinked", kAdaEOS));
  EXPECT_EQ(database_.Rows(), expected);
  server->Stop();
}

TEST_F(AdminCommands, EachPlayerOfTheUnlinkedRowsIsToldWhatHappenedToHisGroup) {
  InsertThreePlayersAndDecoys();
  // Cy also links under a second Discord account, which keeps him in the group.
  InsertLink(kCyEOS, "400000000000000003", 45, "Cy", "Raiders");
  const DevhostResult result =
      Run(fmt::format("perms on\nperms add {} \"Linked Players\"\nperms add {} \"Linked Players\"\n"
                      "perms fail on\njoin admin\nconsole admin Veltrane.Unlink {}\n",
                      kBobEOS, kCyEOS, kBobDiscord));
  EXPECT_THAT(
      ServerMessages(result),
      ElementsAre(
          Green(fmt::format("Unlinked Discord id {}: 2 links deleted", kBobDiscord)),
          Green(kBobLine +
                "; could not be removed from group \"Linked Players\": \"Permissions stand-in "
                "refuses the removal\""),
          Green(kCyLine + "; still linked by another row, kept in group \"Linked Players\"")));
  EXPECT_EQ(result.Count("group-remove "), 0u);
  EXPECT_EQ(VeltraneLog(result).size(), 2u);
  EXPECT_EQ(database_.Rows().size(), 5u);
}

TEST_F(AdminCommands, WithoutThePermissionsPluginOrUsePermissionsOnlyTheRowsGo) {
  InsertThreePlayersAndDecoys();
  Settings()["UsePermissions"] = true;
  auto server = StartServer(fmt::format("perms off\nrcon Veltrane.Unlink {}\n", kAdaEOS));
  Settings()["UsePermissions"] = false;
  devhost_.WriteConfig(config_);
  // With the stand-in loaded, a call into it would show as a group-remove or an error.
  server->Send(fmt::format(
      "perms on\nperms add {} \"Linked Players\"\nrcon Veltrane.Reload\nrcon Veltrane.Unlink {}\n",
      kBobEOS, kBobDiscord));
  const DevhostResult result = server->Stop();
  EXPECT_THAT(
      RconReplies(result),
      ElementsAre(fmt::format("Unlinked EOS id {}: 1 link deleted\n{}; group \"Linked Players\" "
                              "unchanged: the Permissions plugin is not loaded",
                              kAdaEOS, kAdaLine),
                  "Reloaded config",
                  fmt::format("Unlinked Discord id {}: 2 links deleted\n{}\n{}", kBobDiscord,
                              kBobLine, kCyLine)));
  EXPECT_EQ(result.Count("group-remove "), 0u);
  EXPECT_EQ(result.Count("error "), 0u);
  EXPECT_EQ(database_.Rows().size(), 3u);
}

// The store gives its statements a server-side deadline of MysqlTimeout: a deletion held up by
// another session's lock is ended by the server, which undoes it.
TEST_F(AdminCommands, AnUnlinkHeldUpPastTheTimeoutIsEndedByTheServerAndChangesNothing) {
  config_["Database"]["MysqlTimeout"] = 1;
  InsertThreePlayersAndDecoys();
  const std::vector<PlayerDiscordRow> rows_before = database_.Rows();
  auto server = StartServer(fmt::format("perms on\nperms add {} \"Linked Players\"\n", kAdaEOS));
  // Another session holds Ada's rows past the plugin's timeout; reading them is not held up.
  database_.Execute("START TRANSACTION");
  database_.Query(
      fmt::format("SELECT id FROM player_discord WHERE eos_id = '{}' FOR UPDATE", kAdaEOS));
  server->Send(fmt::format("rcon Veltrane.Unlink {}\n", kAdaEOS));
  ASSERT_TRUE(server->WaitForLine("rcon-reply ", 1, std::chrono::seconds(30)));
  database_.Execute("COMMIT");
  const DevhostResult result = server->Stop();
  EXPECT_THAT(RconReplies(result),
              ElementsAre("The database refused the deletion (error 1969); nothing was unlinked"));
  EXPECT_EQ(result.Count("group-remove "), 0u);
  EXPECT_EQ(database_.Rows(), rows_before);
}

// A deletion held on its way past the plugin's timeout is settled once the plugin can reach the
// server: its session ended there, and the group follows what the table then says. Fixed fault:
// a deletion that reached the server after the plugin gave up deleted the row behind its back,
// and the player kept the group.
struct HeldDeletion {
  const char* name;
  bool session_ended;  // else no session can be opened to end it, and the network lets it through
};
class DeletionInDoubt : public AdminCommands, public ::testing::WithParamInterface<HeldDeletion> {};

TEST_P(DeletionInDoubt, IsSettledAndTableAndGroupAgree) {
  const bool session_ended = GetParam().session_ended;
  FaultProxy proxy(database_.Settings().host, database_.Settings().port);
  config_["Database"]["MysqlHost"] = "127.0.0.1";
  config_["Database"]["MysqlPort"] = proxy.Port();
  config_["Database"]["MysqlTimeout"] = 1;
  InsertThreePlayersAndDecoys();
  std::vector<PlayerDiscordRow> rows = database_.Rows();
  auto server = StartServer(fmt::format("perms on\nperms add {} \"Linked Players\"\n", kAdaEOS));
  const long kills_before = SandboxServer::KillStatements(database_);
  proxy.HoldToServer("DELETE FROM player_discord");
  if (!session_ended) proxy.SetRefusing(true);
  server->Send(fmt::format("rcon Veltrane.Unlink {}\n", kAdaEOS));
  ASSERT_TRUE(server->WaitForLine("rcon-reply ", 1, std::chrono::seconds(30)));
  if (session_ended) {
    ASSERT_TRUE(WaitUntil(std::chrono::seconds(10),
                          [&] { return SandboxServer::KillStatements(database_) > kills_before; }));
    proxy.ReleaseHeld();
  } else {
    proxy.ReleaseHeld();
    proxy.SetRefusing(false);
    rows.erase(rows.begin());  // Ada's one link
    ASSERT_TRUE(server->WaitForLine("group-remove ", 1, std::chrono::seconds(30)));
  }
  const DevhostResult result = server->Stop();
  EXPECT_EQ(database_.Rows(), rows);
  EXPECT_EQ(result.Count("group-remove "), session_ended ? 0u : 1u);
  EXPECT_THAT(RconReplies(result),
              ElementsAre(fmt::format("The database connection was lost during the deletion; "
                                      "check with Veltrane.Linked whether EOS id {} is still "
                                      "linked\n{}; group \"Linked Players\" follows once the "
                                      "deletion is settled",
                                      kAdaEOS, kAdaLine)));
  EXPECT_THAT(VeltraneLog(result),
              Contains(fmt::format("[info] Veltrane.Unlink EOS id {0}: the deletion that was in "
                                   "doubt is settled; EOS id {0} is {1} \"Linked Players\"",
                                   kAdaEOS,
                                   session_ended ? "still linked, kept in group"
                                                 : "linked by no row; removed from group")));
  EXPECT_THAT(VeltraneLog(result),
              Contains(fmt::format("[warning] Veltrane.Unlink EOS id {} may have deleted row id=1 "
                                   "eos_id=\"{}\" discord_id=\"{}\" player_id=41 "
                                   "character_name=\"Ada \\\"the {{Brave}}\\\"\" tribe_id=7 "
                                   "tribe_name=\"Explorers\" code=\"Linked\"",
                                   kAdaEOS, kAdaEOS, kAdaDiscord)));
}

INSTANTIATE_TEST_SUITE_P(Held, DeletionInDoubt,
                         ::testing::Values(HeldDeletion{"ItsSessionEnded", true},
                                           HeldDeletion{"NoSessionToEndItAndItLands", false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Fixed fault: a player whom no row links any more kept the group that his unlink could not take
// (its deletion in doubt, or no answer whether another row linked him); a second unlink left it.
TEST_F(AdminCommands, UnlinkOfAnEOSIdThatNoRowLinksTakesTheGroupLeftBehind) {
  InsertThreePlayersAndDecoys();
  database_.Execute(fmt::format("DELETE FROM player_discord WHERE eos_id = '{}'", kAdaEOS));
  const DevhostResult result =
      Run(fmt::format("perms on\nperms add {0} \"Linked Players\"\nrcon Veltrane.Unlink {0}\n"
                      "rcon Veltrane.Unlink {0}\n",
                      kAdaEOS));
  EXPECT_THAT(RconReplies(result),
              ElementsAre(fmt::format("No link for EOS id {}; nothing was unlinked; removed from "
                                      "group \"Linked Players\"",
                                      kAdaEOS),
                          fmt::format("No link for EOS id {}; nothing was unlinked", kAdaEOS)));
  EXPECT_EQ(result.Count("group-remove "), 1u);
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre(fmt::format("[info] Veltrane.Unlink EOS id {}: linked by no row; removed "
                                      "from group \"Linked Players\"",
                                      kAdaEOS)));
}

TEST_F(AdminCommands, WithTheDatabaseAwayNothingIsAnsweredAsIfItWereKnown) {
  InsertThreePlayersAndDecoys();
  const std::vector<PlayerDiscordRow> rows_before = database_.Rows();
  const WebhookReceiver::RefusingPort nobody;
  const std::string url = nobody.Url("");
  config_["Database"]["MysqlPort"] = std::stoi(url.substr(url.rfind(':') + 1));
  const DevhostResult result = Run(fmt::format(
      "join admin\nconsole admin Veltrane.Linked {}\nrcon Veltrane.Unlink {}\n", kAdaEOS, kAdaEOS));
  EXPECT_THAT(ServerMessages(result), ElementsAre(Red("Database unavailable; try again later")));
  EXPECT_THAT(RconReplies(result), ElementsAre("Database unavailable; nothing was unlinked"));
  EXPECT_EQ(database_.Rows(), rows_before);
}

// The stuck player: a row holding his EOS id and player id whose code a bot retyped or re-issued,
// and a code waiting for him. One case for each code, on the plugin's own code column and on one
// that compares bytes without padding.
struct StuckRow {
  const char* code;
  const char* collation;  // of the code column
  const char* shown;      // the end of his line in Veltrane.Linked
};

void PrintTo(const StuckRow& row, std::ostream* out) {
  *out << ::testing::PrintToString(row.code) << " " << row.collation;
}

constexpr char kWaitingShown[] = "a code waiting on a linked row";

class StuckPlayer : public AdminCommands, public ::testing::WithParamInterface<StuckRow> {};

// Fixed fault: the link command answered "already linked" for such a row, while Veltrane.Linked
// answered "No link" and Veltrane.Unlink "nothing was unlinked": no admin could free him.
TEST_P(StuckPlayer, IsShownAndFreedByTheAdminAndLinksHisNewCode) {
  Settings()["UsePermissions"] = false;
  const StuckRow& stuck = GetParam();
  if (std::string(stuck.collation) != "utf8mb4_general_ci") {
    database_.Execute("DROP TABLE player_discord");
    database_.CreateForeignTable(
        "", {{"code", fmt::format("varchar(50) CHARACTER SET utf8mb4 COLLATE {} NOT NULL "
                                  "DEFAULT '0'",
                                  stuck.collation)}});
  }
  InsertLink(kAdaEOS, kAdaDiscord, 41, "Ada", "Explorers", stuck.code);
  const int waiting = database_.InsertCode(kAdaDiscord, "NEWCODE");
  CopyToExpected();

  auto server = StartServer(fmt::format(
      "join ada eos={} id=41 tribe=Explorers\nchat ada /link NEWCODE\nrcon Veltrane.Linked {}\n",
      kAdaEOS, kAdaEOS));
  ASSERT_TRUE(server->WaitForLine("rcon-reply ", 1));
  EXPECT_EQ(TableBytes(), TableBytes("expected"));
  server->Send(fmt::format("rcon Veltrane.Unlink {}\n", kAdaEOS));
  ASSERT_TRUE(server->WaitForLine("rcon-reply ", 2));
  database_.Execute("DELETE FROM expected WHERE id = 1");
  EXPECT_EQ(TableBytes(), TableBytes("expected"));

  server->Send("chat ada /link NEWCODE\n");
  const DevhostResult result = server->Stop();
  database_.Execute(fmt::format(
      "UPDATE expected SET eos_id = '{}', player_id = 41, character_name = 'ada', tribe_id = 0, "
      "tribe_name = 'Explorers', code = 'Linked' WHERE id = {}",
      kAdaEOS, waiting));
  EXPECT_EQ(TableBytes(), TableBytes("expected"));

  std::vector<std::string> told;
  for (const std::string& line : result.WithPrefix("notify ada ")) told.push_back(TextOf(line));
  EXPECT_THAT(told, ElementsAre("Already linked", "Account linked"));
  const std::string line = fmt::format(
      "EOS id {}, Discord id {}, player id 41, character \"Ada\", tribe \"Explorers\", {}", kAdaEOS,
      kAdaDiscord, stuck.shown);
  EXPECT_THAT(RconReplies(result),
              ElementsAre(fmt::format("1 link for EOS id {}:\n{}", kAdaEOS, line),
                          fmt::format("Unlinked EOS id {}: 1 link deleted\n{}", kAdaEOS, line)));
  // The log keeps the row as it was, but no code that is no state word.
  const bool waiting_code = stuck.shown == std::string_view(kWaitingShown);
  const std::string logged_code = waiting_code            ? fmt::format("({})", kWaitingShown)
                                  : stuck.shown[0] == '"' ? std::string(stuck.shown)
                                                          : nlohmann::json(stuck.shown).dump();
  EXPECT_THAT(VeltraneLog(result),
              ElementsAre(fmt::format(
                  "[info] Veltrane.Unlink EOS id {0} deleted row id=1 eos_id=\"{0}\" discord_id="
                  "\"{1}\" player_id=41 character_name=\"Ada\" tribe_id=7 tribe_name="
                  "\"Explorers\" code={2}",
                  kAdaEOS, kAdaDiscord, logged_code)));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, StuckPlayer,
    ::testing::Values(
        // The plugin's column takes letter case, accents and trailing spaces for the word.
        StuckRow{"linked", "utf8mb4_general_ci", "linked"},
        StuckRow{"LINKED", "utf8mb4_general_ci", "LINKED"},
        StuckRow{"Linked ", "utf8mb4_general_ci", "Linked"},
        StuckRow{"Linked\t", "utf8mb4_general_ci", kWaitingShown},
        StuckRow{"updated", "utf8mb4_general_ci", "updated"},
        StuckRow{"Updat\xc3\xa9\x64", "utf8mb4_general_ci", "\"Updat\xc3\xa9\x64\""},
        StuckRow{"linked", "utf8mb4_nopad_bin", kWaitingShown},
        StuckRow{"LINKED", "utf8mb4_nopad_bin", kWaitingShown},
        StuckRow{"Linked ", "utf8mb4_nopad_bin", kWaitingShown},
        StuckRow{"Linked\t", "utf8mb4_nopad_bin", kWaitingShown},
        StuckRow{"updated", "utf8mb4_nopad_bin", kWaitingShown},
        StuckRow{"Updat\xc3\xa9\x64", "utf8mb4_nopad_bin", kWaitingShown}));

}  // namespace
}  // namespace veltrane::test
