// A game server whose database user holds only the rights that docs/deployment.md asks for, on
// the table alone: the plugin makes its table and indexes, links and refreshes; Veltrane.Unlink
// also needs DELETE, and without it changes nothing.

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include "support/DevhostRunner.h"
#include "support/RconTestClient.h"
#include "support/SandboxDatabase.h"

namespace veltrane::test {
namespace {

class DatabaseRights : public ::testing::Test {
 protected:
  // A user of its own on the sandbox server, with the rights given on player_discord only.
  void CreateUser(const std::string& rights) {
    user_ = database_.Name() + "_u";
    database_.Execute(fmt::format("CREATE USER '{}'@'%' IDENTIFIED BY 'rights-test'", user_));
    database_.Execute(
        fmt::format("GRANT {} ON {}.player_discord TO '{}'@'%'", rights, database_.Name(), user_));
  }

  ~DatabaseRights() override {
    if (!user_.empty()) database_.Execute(fmt::format("DROP USER IF EXISTS '{}'@'%'", user_));
  }

  nlohmann::json Config() const {
    std::ifstream example(std::string(VELTRANE_SOURCE_DIR) + "/config/config.json");
    nlohmann::json config = nlohmann::json::parse(example);
    const SandboxSettings& sandbox = database_.Settings();
    config["Settings"]["UpdatePlayerDataOnLogout"] = true;
    config["Database"] = {{"MysqlHost", sandbox.host},   {"MysqlPort", sandbox.port},
                          {"MysqlUser", user_},          {"MysqlPass", "rights-test"},
                          {"MysqlDB", database_.Name()}, {"MysqlTimeout", 10}};
    return config;
  }

  // The plugin's own log lines at warning level or above.
  static std::vector<std::string> Complaints(const DevhostResult& result) {
    std::vector<std::string> complaints;
    for (const std::string& line : result.log_lines) {
      if (line.find("[Veltrane]") != std::string::npos &&
          (line.find("[warning]") != std::string::npos ||
           line.find("[error]") != std::string::npos ||
           line.find("[critical]") != std::string::npos)) {
        complaints.push_back(line);
      }
    }
    return complaints;
  }

  // Links a code inserted after the load, then logs the player out with the refresh on.
  DevhostResult LinkAndLogOut(const DevhostRunner& devhost) {
    auto server = devhost.Start("echo loaded\n", "unused");
    EXPECT_NE(server, nullptr);
    if (server == nullptr) return {};
    EXPECT_TRUE(server->WaitForLine("echo \"loaded"));
    database_.InsertCode("400000000000000001", "RIGHTS1");
    server->Send(
        "join ada name=Ada eos=0002aaaa id=41 tribe_id=7 tribe=Explorers\n"
        "chat ada /link RIGHTS1\n"
        "logout ada\n");
    return server->Stop();
  }

  SandboxDatabase database_;
  std::string user_;
};

TEST_F(DatabaseRights, SelectUpdateCreateAndIndexOnTheTableAloneAreEnough) {
  CreateUser("SELECT, UPDATE, CREATE, INDEX");
  const DevhostRunner devhost(Config());
  const DevhostResult result = LinkAndLogOut(devhost);

  EXPECT_EQ(Complaints(result), std::vector<std::string>{});
  const std::string linked = Config()["Messages"]["AccountLinked"];
  ASSERT_EQ(result.Count("notify ada "), 1u);
  EXPECT_EQ(Field(*result.First("notify ada "), "text"), nlohmann::json(linked));
  const std::vector<PlayerDiscordRow> rows = database_.Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].eos_id, "0002aaaa");
  EXPECT_EQ(rows[0].code, "Updated");
  // The table and both indexes were made by the plugin with these rights.
  EXPECT_EQ(database_.Query("SELECT COUNT(DISTINCT COLUMN_NAME) FROM information_schema.STATISTICS "
                            "WHERE TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'player_discord' "
                            "AND COLUMN_NAME IN ('eos_id', 'code')")[0][0],
            "2");
}

TEST_F(DatabaseRights, WithoutCreateTheLoadSaysSoAndLinksOnATableMadeBeforehand) {
  database_.CreatePlayerDiscordTable();
  database_.Execute("CREATE INDEX player_discord_eos_id ON player_discord (eos_id)");
  database_.Execute("CREATE INDEX player_discord_code ON player_discord (code)");
  CreateUser("SELECT, UPDATE");
  const DevhostRunner devhost(Config());
  const DevhostResult result = LinkAndLogOut(devhost);

  const std::vector<std::string> complaints = Complaints(result);
  const std::string all = fmt::format("{}", fmt::join(complaints, "\n"));
  EXPECT_NE(all.find("Failed to create table!"), std::string::npos) << all;
  std::string lower = all;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return char(std::tolower(c)); });
  EXPECT_EQ(lower.find("index"), std::string::npos) << "the indexes were there: " << all;
  const std::string linked = Config()["Messages"]["AccountLinked"];
  ASSERT_EQ(result.Count("notify ada "), 1u);
  EXPECT_EQ(Field(*result.First("notify ada "), "text"), nlohmann::json(linked));
  const std::vector<PlayerDiscordRow> rows = database_.Rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].code, "Updated");
}

TEST_F(DatabaseRights, WithoutDeleteUnlinkSaysSoAndChangesNothing) {
  CreateUser("SELECT, UPDATE, CREATE, INDEX");
  nlohmann::json config = Config();
  config["Settings"]["UsePermissions"] = true;
  const DevhostRunner devhost(config);
  auto server = devhost.Start("perms on\necho loaded\n", "rights-rcon");
  ASSERT_NE(server, nullptr);
  ASSERT_TRUE(server->WaitForLine("echo \"loaded"));
  database_.InsertCode("400000000000000001", "RIGHTS1");
  database_.InsertCode("400000000000000001", "RIGHTS2");
  server->Send(
      "join ada name=Ada eos=0002aaaa0002aaaa0002aaaa0002aaaa id=41\nchat ada /link RIGHTS1\n"
      "echo linked\n");
  ASSERT_TRUE(server->WaitForLine("echo \"linked"));
  const std::vector<PlayerDiscordRow> rows_before = database_.Rows();
  ASSERT_EQ(rows_before.at(0).code, "Linked");

  RconTestClient client(server->RconPort());
  ASSERT_TRUE(client.Authenticate("rights-rcon"));
  for (const char* id : {"0002aaaa0002aaaa0002aaaa0002aaaa", "400000000000000001"}) {
    EXPECT_EQ(client.Command(std::string("Veltrane.Unlink ") + id),
              "Veltrane.Unlink needs the DELETE right on player_discord; nothing was unlinked");
  }
  const DevhostResult result = server->Stop();
  EXPECT_EQ(database_.Rows(), rows_before);
  // The player keeps what the link gave him.
  EXPECT_EQ(result.Count("group-add "), 1u);
  EXPECT_EQ(result.Count("group-remove "), 0u);
  const std::vector<std::string> complaints = Complaints(result);
  ASSERT_EQ(complaints.size(), 2u);
  EXPECT_NE(complaints[0].find("MySql::DeleteLinks) The server refused the statement: error 1142: "
                               "DELETE command denied"),
            std::string::npos)
      << complaints[0];
}

TEST_F(DatabaseRights, WithDeleteAsWellUnlinkDeletesTheLink) {
  CreateUser("SELECT, UPDATE, CREATE, INDEX, DELETE");
  const DevhostRunner devhost(Config());
  auto server = devhost.Start("echo loaded\n", "rights-rcon");
  ASSERT_NE(server, nullptr);
  ASSERT_TRUE(server->WaitForLine("echo \"loaded"));
  database_.InsertCode("400000000000000001", "RIGHTS1");
  server->Send(
      "join ada name=Ada eos=0002aaaa0002aaaa0002aaaa0002aaaa id=41\nchat ada /link RIGHTS1\n"
      "rcon Veltrane.Unlink 0002aaaa0002aaaa0002aaaa0002aaaa\n");
  const DevhostResult result = server->Stop();
  EXPECT_EQ(Complaints(result), std::vector<std::string>{});
  ASSERT_EQ(result.Count("rcon-reply "), 1u);
  const std::string reply = Field(*result.First("rcon-reply "), "text")->get<std::string>();
  EXPECT_EQ(reply.rfind("Unlinked EOS id 0002aaaa0002aaaa0002aaaa0002aaaa: 1 link deleted\n", 0),
            0u)
      << reply;
  EXPECT_EQ(database_.Rows(), std::vector<PlayerDiscordRow>{});
}

}  // namespace
}  // namespace veltrane::test
