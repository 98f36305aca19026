// Game servers on a MariaDB Galera cluster (scripts/sandbox-cluster): each devhost process talks to
// a node of its own, they race for the same codes, and a node dies under one of them.

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <gtest/gtest.h>
#include <mysql.h>

#include <algorithm>
#include <array>
#include <barrier>
#include <fstream>
#include <future>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RacingPlayers.h"
#include "support/DevhostRunner.h"
#include "support/SandboxCluster.h"
#include "support/SandboxDatabase.h"
#include "support/WaitUntil.h"

namespace veltrane::test {
namespace {

class GaleraCluster : public ::testing::Test {
 protected:
  static constexpr char kServers[] = {'a', 'b', 'c'};

  GaleraCluster() : database_(cluster_.Node(1)) { database_.CreatePlayerDiscordTable(); }

  // A node that a failed test left down is started again for the next one.
  void TearDown() override {
    for (int node = 1; node <= SandboxCluster::kNodes; ++node) {
      try {
        cluster_.Status(node, "wsrep_ready");
      } catch (const std::exception&) {
        cluster_.Restart(node);
      }
    }
  }

  // Server a runs on node 1, b on node 2, c on node 3.
  static int NodeOf(char server) { return server - 'a' + 1; }

  void InsertCodes(const std::vector<std::string>& codes) {
    for (const std::string& code : codes) {
      const std::string discord_id = fmt::format("4{:017}", discord_ids_.size());
      const int id = database_.InsertCode(discord_id, code);
      discord_ids_[id] = discord_id;
      codes_[id] = code;
    }
  }

  // The example configuration on this test's database, MysqlHost as given.
  nlohmann::json Config(const std::string& hosts, int port) {
    std::ifstream example(std::string(VELTRANE_SOURCE_DIR) + "/config/config.json");
    nlohmann::json config = nlohmann::json::parse(example);
    const SandboxSettings& node = database_.Settings();
    config["Database"] = {{"MysqlHost", hosts},          {"MysqlPort", port},
                          {"MysqlUser", node.user},      {"MysqlPass", node.password},
                          {"MysqlDB", database_.Name()}, {"MysqlTimeout", 10}};
    return config;
  }

  // Every row linked to a player with all of that player's data; answers the owners' names.
  std::multiset<std::string> ExpectRowsLinkedToPlayers(
      const std::vector<PlayerDiscordRow>& rows, const std::map<std::string, Player>& players) {
    std::multiset<std::string> owners;
    EXPECT_EQ(rows.size(), discord_ids_.size()) << "a row was lost or added";
    for (const PlayerDiscordRow& row : rows) {
      SCOPED_TRACE(::testing::PrintToString(row));
      EXPECT_EQ(row.code, "Linked");
      EXPECT_EQ(row.discord_id, discord_ids_.at(row.id));
      const auto owner = players.find(row.eos_id);
      if (owner == players.end()) {
        ADD_FAILURE() << "the row is linked to no player";
        continue;
      }
      EXPECT_EQ(row.player_id, owner->second.player_id);
      EXPECT_EQ(row.character_name, owner->second.character_name);
      EXPECT_EQ(row.tribe_id, owner->second.tribe_id);
      EXPECT_EQ(row.tribe_name, owner->second.tribe_name);
      owners.insert(owner->second.name);
    }
    EXPECT_EQ(std::set<std::string>(owners.begin(), owners.end()).size(), owners.size())
        << "a player owns two rows";
    return owners;
  }

  // The table as each node has it, once it has applied everything committed anywhere before.
  void ExpectEveryNodeReads(const std::vector<PlayerDiscordRow>& rows) {
    for (int node = 1; node <= SandboxCluster::kNodes; ++node) {
      SandboxDatabase reader(cluster_.Node(node), database_.Name());
      reader.Execute("SET SESSION wsrep_sync_wait = 1");
      EXPECT_EQ(reader.Rows(), rows) << "node " << node << " reads another table";
    }
  }

  SandboxCluster cluster_;
  SandboxDatabase database_;                // on node 1
  std::map<int, std::string> discord_ids_;  // by row id
  std::map<int, std::string> codes_;        // the code each row was inserted with
};

TEST_F(GaleraCluster, ThreeServersOnThreeNodesRacingForTheSameCodesLinkEachCodeOnce) {
  constexpr int kCodes = 300;
  std::vector<std::string> codes;
  codes.reserve(kCodes);
  for (int i = 0; i < kCodes; ++i) codes.push_back(fmt::format("RACE{:04}", i));
  InsertCodes(codes);

  std::map<char, std::vector<Player>> players;
  std::map<std::string, Player> players_by_eos_id;
  std::vector<std::unique_ptr<DevhostRunner>> servers;
  std::vector<std::future<DevhostResult>> runs;
  const std::string linked_text = Config("", 0)["Messages"]["AccountLinked"];
  for (const char server : kServers) {
    players[server] = PlayersOf(server, kCodes);
    for (const Player& player : players[server]) players_by_eos_id[player.eos_id] = player;
    const int node = NodeOf(server);
    servers.push_back(
        std::make_unique<DevhostRunner>(Config(cluster_.Node(node).host, cluster_.Port(node))));
    // Each player types code i, then code i+1: every code is raced for by the three servers at
    // once, and a player who already won is tried again.
    std::string script = JoinLines(players[server]);
    for (int pass = 0; pass < 2; ++pass) {
      for (int i = 0; i < kCodes; ++i) {
        script += fmt::format("chat {} /link {}\n", players[server][std::size_t(i)].name,
                              codes[std::size_t((i + pass) % kCodes)]);
      }
    }
    runs.push_back(std::async(std::launch::async, [&runner = *servers.back(), script] {
      return runner.Run(script, {}, std::chrono::seconds(240));
    }));
  }
  std::vector<DevhostResult> results;
  results.reserve(runs.size());
  for (auto& run : runs) results.push_back(run.get());

  std::multiset<std::string> told;
  for (const DevhostResult& result : results) {
    ASSERT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
    EXPECT_EQ(result.WithPrefix("error "), std::vector<std::string>{});
    // Every chat line was answered: a lost certification is an answer too, not a silence.
    EXPECT_EQ(result.Count("notify "), std::size_t(2 * kCodes));
    told.merge(ToldPlayers(result, linked_text));
  }

  const std::vector<PlayerDiscordRow> rows = database_.Rows();
  const std::multiset<std::string> owners = ExpectRowsLinkedToPlayers(rows, players_by_eos_id);
  EXPECT_EQ(owners.size(), std::size_t(kCodes));
  // The loser of a certification conflict is not told AccountLinked.
  EXPECT_EQ(Difference(told, owners), std::vector<std::string>{}) << "told, but own no row";
  EXPECT_EQ(Difference(owners, told), std::vector<std::string>{}) << "own a row, but not told";
  ExpectEveryNodeReads(rows);

  for (const char server : kServers) {
    RecordProperty(
        fmt::format("codes_won_by_server_{}", server),
        int(std::count_if(owners.begin(), owners.end(),
                          [server](const std::string& name) { return name[0] == server; })));
  }
}

TEST_F(GaleraCluster, ServerWhoseNodeIsKilledLinksThroughAnotherNodeAfterAtMostOneFailedAttempt) {
  constexpr int kPlayers = 60;  // per server, each with a code of its own
  std::map<char, std::vector<Player>> players;
  std::map<std::string, Player> players_by_eos_id;
  const auto code_of = [](const Player& player) { return "OWN" + player.name; };
  for (const char server : kServers) {
    players[server] = PlayersOf(server, kPlayers);
    std::vector<std::string> codes;
    for (const Player& player : players[server]) {
      players_by_eos_id[player.eos_id] = player;
      codes.push_back(code_of(player));
    }
    InsertCodes(codes);
  }
  const auto links = [&](char server, int from, int to) {
    std::string script;
    for (int i = from; i < to; ++i) {
      const Player& player = players[server][std::size_t(i)];
      script += fmt::format("chat {} /link {}\n", player.name, code_of(player));
    }
    return script;
  };

  // Each server lists its own node first, then the others.
  const std::map<char, std::vector<int>> host_lists = {
      {'a', {1, 2, 3}}, {'b', {2, 3, 1}}, {'c', {3, 1, 2}}};
  std::map<char, std::unique_ptr<DevhostRunner>> runners;
  std::map<char, std::unique_ptr<DevhostProcess>> servers;
  for (const char server : kServers) {
    runners[server] = std::make_unique<DevhostRunner>(
        Config(cluster_.HostList(host_lists.at(server)), cluster_.Port(NodeOf(server))));
    servers[server] = runners[server]->Start(JoinLines(players[server]), "unused");
    ASSERT_NE(servers[server], nullptr) << "devhost " << server << " did not start";
  }
  const auto wait_for = [&](char server, const std::string& mark) {
    servers[server]->Send("echo " + mark + "\n");
    ASSERT_TRUE(servers[server]->WaitForLine("echo \"" + mark, 1, std::chrono::seconds(60)))
        << "devhost " << server << " did not reach " << mark;
  };

  // The first half on a healthy cluster.
  for (const char server : kServers) servers[server]->Send(links(server, 0, kPlayers / 2));
  for (const char server : kServers) wait_for(server, "first-half");

  // Node 2 dies under server b while a and c keep linking through the eviction.
  servers['a']->Send(links('a', kPlayers / 2, kPlayers));
  servers['c']->Send(links('c', kPlayers / 2, kPlayers));
  cluster_.Kill(2);
  servers['b']->Send(links('b', kPlayers / 2, kPlayers));
  for (const char server : kServers) wait_for(server, "second-half");
  // Whoever was refused on the way types the code again; the others are told they are linked.
  for (const char server : kServers) servers[server]->Send(links(server, 0, kPlayers));

  const nlohmann::json messages = Config("", 0)["Messages"];
  const std::string linked_text = messages["AccountLinked"];
  const std::string already_text = messages["AccountAlredyLinked"];
  const std::string unavailable_text = messages["DatabaseUnavailable"];
  std::multiset<std::string> told;
  for (const char server : kServers) {
    SCOPED_TRACE(fmt::format("server {}", server));
    const DevhostResult result = servers[server]->Stop();
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, 0) << result.stderr_text;
    const std::vector<std::string> replies = result.WithPrefix("notify ");
    ASSERT_EQ(replies.size(), std::size_t(2 * kPlayers));
    // The first pass: every player linked at the first attempt but, on the way to another node,
    // at most one.
    int failed = 0;
    for (std::size_t i = 0; i < std::size_t(kPlayers); ++i) {
      if (Field(replies[i], "text") == nlohmann::json(linked_text)) continue;
      ++failed;
      // His code is good, so the one answer a failed attempt may get is that the database could
      // not answer: on b the node that went away under it, on a and c an update that met the
      // cluster's view change during the eviction (an SQL error, about one run in twenty).
      EXPECT_EQ(Field(replies[i], "text"), nlohmann::json(unavailable_text))
          << replies[i] << "\n"
          << fmt::format("{}", fmt::join(result.log_lines, "\n"));
    }
    EXPECT_LE(failed, 1) << fmt::format("{}", fmt::join(replies, "\n"));
    RecordProperty(fmt::format("failed_attempts_server_{}", server), failed);
    // The second pass: a player refused before links now, every other one is told so.
    for (std::size_t i = std::size_t(kPlayers); i < replies.size(); ++i) {
      const nlohmann::json text = *Field(replies[i], "text");
      EXPECT_TRUE(text == nlohmann::json(linked_text) || text == nlohmann::json(already_text))
          << replies[i];
    }
    const std::multiset<std::string> server_told = ToldPlayers(result, linked_text);
    EXPECT_EQ(server_told.size(), std::size_t(kPlayers)) << "a player was linked twice or never";
    told.merge(std::multiset<std::string>(server_told));
  }

  const std::vector<PlayerDiscordRow> rows = database_.Rows();
  const std::multiset<std::string> owners = ExpectRowsLinkedToPlayers(rows, players_by_eos_id);
  EXPECT_EQ(owners, told);
  // Each row went to the player whose code it held.
  for (const PlayerDiscordRow& row : rows) {
    const auto owner = players_by_eos_id.find(row.eos_id);
    if (owner != players_by_eos_id.end()) {
      EXPECT_EQ(code_of(owner->second), codes_.at(row.id));
    }
  }

  // The node comes back with every link made while it was gone.
  cluster_.Restart(2);
  EXPECT_EQ(cluster_.Status(2, "wsrep_cluster_size"), "3");
  ExpectEveryNodeReads(rows);
}

// A node that hangs (SIGSTOP) while a player's update waits there for a row, and comes back: the
// update is either ended or found in its row, and the player is linked once. Meanwhile he is told
// that the database is unavailable, also for another code.
TEST_F(GaleraCluster, PlayerWhoseUpdateHangsWithItsNodeIsLinkedOnceWhenTheNodeIsBack) {
  InsertCodes({"HANG-A", "HANG-B"});
  const std::vector<PlayerDiscordRow> before = database_.Rows();
  nlohmann::json config = Config(cluster_.HostList({2, 1, 3}), cluster_.Port(2));
  config["Database"]["MysqlTimeout"] = 2;
  const nlohmann::json messages = config["Messages"];
  DevhostRunner runner(config);
  auto server =
      runner.Start("join bob eos=EOS-BOB id=101 tribe_id=7 tribe=Raiders\necho ready\n", "unused");
  ASSERT_NE(server, nullptr);
  ASSERT_TRUE(server->WaitForLine("echo \"ready\"", 1, std::chrono::seconds(60)));

  // Another session on node 2 holds the row, so that the update is still running there.
  SandboxDatabase holder(cluster_.Node(2), database_.Name());
  holder.Execute("START TRANSACTION");
  holder.Query("SELECT id FROM player_discord WHERE code = 'HANG-A' FOR UPDATE");
  server->Send("chat bob /link HANG-A\n");
  SandboxDatabase watcher(cluster_.Node(2), database_.Name());
  ASSERT_TRUE(WaitUntil(
      std::chrono::seconds(10),
      [&] {
        return watcher
                   .Query(
                       "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE DB = "
                       "DATABASE() AND INFO LIKE 'UPDATE player_discord SET eos_id%'")
                   .at(0)
                   .at(0) != "0";
      },
      std::chrono::milliseconds(5)))
      << "the update never waited on node 2";

  struct ThawAtTheEnd {
    const SandboxCluster& cluster;
    bool stalled = false;
    void Thaw() {
      if (stalled) cluster.Thaw(2);
      stalled = false;
    }
    ~ThawAtTheEnd() { Thaw(); }
  } node_2{cluster_};
  cluster_.Stall(2);
  node_2.stalled = true;
  ASSERT_TRUE(server->WaitForLine("notify bob ", 1, std::chrono::seconds(60)));
  server->Send("chat bob /link HANG-B\n");
  ASSERT_TRUE(server->WaitForLine("notify bob ", 2, std::chrono::seconds(60)));
  node_2.Thaw();
  ASSERT_TRUE(cluster_.WaitUntilAllSynced(180)) << "node 2 did not come back";
  // Past the store's wait before it asks a server that failed again.
  server->Send("sleep 5500\nchat bob /link HANG-B\nchat bob /link HANG-B\n");
  ASSERT_TRUE(server->WaitForLine("notify bob ", 4, std::chrono::seconds(60)));
  const DevhostResult result = server->Stop();

  std::vector<nlohmann::json> texts;
  for (const std::string& line : result.WithPrefix("notify bob "))
    texts.push_back(*Field(line, "text"));
  // The tick may settle the update before his third command: both commands are then told that he
  // is linked already, after the link's own reply.
  ASSERT_GE(texts.size(), 4u);
  texts.resize(4);
  EXPECT_EQ(texts, (std::vector<nlohmann::json>{
                       messages["DatabaseUnavailable"], messages["DatabaseUnavailable"],
                       messages["AccountLinked"], messages["AccountAlredyLinked"]}));
  const std::vector<PlayerDiscordRow> rows = database_.Rows();
  ASSERT_EQ(rows.size(), 2u);
  // Either row may be his, never both; the other is as it was.
  const bool first_is_his = rows[0].eos_id == "EOS-BOB";
  const PlayerDiscordRow& his = rows[first_is_his ? 0 : 1];
  const PlayerDiscordRow& other = rows[first_is_his ? 1 : 0];
  EXPECT_EQ(his, (PlayerDiscordRow{his.id, "EOS-BOB", discord_ids_.at(his.id), 101, "bob", 7,
                                   "Raiders", "Linked"}));
  EXPECT_EQ(other, before[first_is_his ? 1 : 0]);
  RecordProperty("update_on_the_stalled_node", first_is_his ? "found in its row" : "ended");
  ExpectEveryNodeReads(rows);
}

// Two servers updating the same code through two nodes at the same moment: Galera certifies one
// commit and aborts the other, which the server's automatic retry then finds with nothing left
// to change (or reports as a deadlock). Never may both statements report a changed row, or the
// loser would be told it linked.
TEST_F(GaleraCluster, ContestedUpdatesOfOneCodeThroughTwoNodesNeverBothChangeTheRow) {
  constexpr int kCodes = 500;
  std::vector<std::string> codes;
  codes.reserve(kCodes);
  for (int i = 0; i < kCodes; ++i) codes.push_back(fmt::format("DUEL{:04}", i));
  InsertCodes(codes);

  struct Outcome {
    int changed = 0;   // the statement changed the row
    int deadlock = 0;  // the statement failed with a deadlock
  };
  std::vector<std::array<Outcome, 2>> outcomes(kCodes);
  std::barrier start_together(2);
  const auto contend = [&](int side) {
    SandboxDatabase connection(cluster_.Node(side + 1), database_.Name());
    for (int i = 0; i < kCodes; ++i) {
      const std::string statement = fmt::format(
          "UPDATE player_discord SET eos_id = 'side{}', player_id = {}, code = 'Linked' "
          "WHERE code = '{}'",
          side, side + 1, codes[std::size_t(i)]);
      start_together.arrive_and_wait();
      try {
        connection.Execute(statement);
        outcomes[std::size_t(i)][std::size_t(side)].changed = int(connection.AffectedRows());
      } catch (const std::runtime_error& error) {
        if (std::string(error.what()).find("(1213)") == std::string::npos) throw;
        outcomes[std::size_t(i)][std::size_t(side)].deadlock = 1;
      }
    }
  };
  auto other_side = std::async(std::launch::async, contend, 1);
  contend(0);
  other_side.get();

  const std::vector<PlayerDiscordRow> rows = database_.Rows();
  ASSERT_EQ(rows.size(), std::size_t(kCodes));
  int deadlocks = 0;
  int won_by_node_2 = 0;
  for (int i = 0; i < kCodes; ++i) {
    const auto& [first, second] = outcomes[std::size_t(i)];
    SCOPED_TRACE(::testing::PrintToString(rows[std::size_t(i)]));
    EXPECT_EQ(first.changed + second.changed, 1) << "code " << codes[std::size_t(i)];
    // The row holds the data of the side that was told it changed it.
    EXPECT_EQ(rows[std::size_t(i)].eos_id, first.changed == 1 ? "side0" : "side1");
    deadlocks += first.deadlock + second.deadlock;
    won_by_node_2 += second.changed;
  }
  RecordProperty("deadlock_errors", deadlocks);
  RecordProperty("codes_won_through_node_2", won_by_node_2);
}

}  // namespace
}  // namespace veltrane::test
