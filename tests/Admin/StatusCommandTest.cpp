// "Veltrane.Status" end to end, from an admin's console and over RCON on TCP, in each state of the
// store: connected, away behind the fault proxy, and switched off by the table check.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include "support/FaultProxy.h"
#include "support/PluginTest.h"
#include "support/RconTestClient.h"

namespace veltrane::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

// "2026-12-07 17:04:20 UTC"
constexpr char kTime[] = "[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} UTC";

class StatusCommand : public PluginTest {
 protected:
  StatusCommand() { Discord()["WebHookUrl"] = "http://127.0.0.1:9/api/webhooks/secret-token"; }

  std::string Server() const {
    return fmt::format("{}:{}", database_.Settings().host, database_.Settings().port);
  }

  // Neither the database password nor the webhook's address.
  void ExpectNoSecret(const std::string& reply) {
    EXPECT_THAT(reply, Not(HasSubstr(database_.Settings().password)));
    EXPECT_THAT(reply, Not(HasSubstr("secret-token")));
  }
};

TEST_F(StatusCommand, ConnectedStoreWithTheCountsSinceLoadOnTheConsoleAndOverRcon) {
  Settings()["UpdatePlayerDataOnLogout"] = true;
  database_.InsertCode("discord-1", "CODE-1");
  auto server = StartReady("join admin\n" + std::string(kJoinBob) +
                           "chat bob /link WRONG\nchat bob /link CODE-1\nlogout bob\n"
                           "console admin Veltrane.Status\n");

  RconTestClient client(server->RconPort());
  ASSERT_TRUE(client.Authenticate(kRconPassword));
  const std::string reply = client.Command("Veltrane.Status");
  EXPECT_THAT(reply,
              MatchesRegex(fmt::format("Database: connected to {} without TLS\n"
                                       "Since load: 1 link made, 1 code refused, 1 logout refresh\n"
                                       "Now: 0 players locked out, 0 writes in doubt\n"
                                       "Discord announcements: 0 waiting; since load 0 posted, "
                                       "0 dropped\n"
                                       "Configuration: last read {}",
                                       Server(), kTime)));
  ExpectNoSecret(reply);
  EXPECT_EQ(client.Command("Veltrane.Status now"), "Usage: Veltrane.Status");

  // A refused reload is told with its reason; the settings read at load stay.
  devhost_.RemoveConfig();
  EXPECT_EQ(client.Command("Veltrane.Reload"), "Can't open config.json");
  EXPECT_THAT(client.Command("Veltrane.Status"),
              HasSubstr("; the last reload was refused: Can't open config.json"));
  const DevhostResult result = server->Stop();

  const std::vector<std::string> console = ServerMessages(result);
  ASSERT_EQ(console.size(), 5u);
  EXPECT_EQ(console[0],
            fmt::format("{} Database: connected to {} without TLS", kDoneRgba, Server()));
  EXPECT_EQ(console[1],
            fmt::format("{} Since load: 1 link made, 1 code refused, 1 logout refresh", kDoneRgba));
  EXPECT_EQ(console[2], fmt::format("{} Now: 0 players locked out, 0 writes in doubt", kDoneRgba));
  EXPECT_EQ(console[3], fmt::format("{} Discord announcements: 0 waiting; since load 0 posted, "
                                    "0 dropped",
                                    kDoneRgba));
  EXPECT_THAT(console[4],
              MatchesRegex(fmt::format("{} Configuration: last read {}", kDoneRgba, kTime)));
}

TEST_F(StatusCommand, LockedOutPlayersAreCounted) {
  Settings()["MaxCodeAttempts"] = 2;
  auto server =
      StartReady(std::string(kJoinBob) + "chat bob /link WRONG-1\nchat bob /link WRONG-2\n");
  RconTestClient client(server->RconPort());
  ASSERT_TRUE(client.Authenticate(kRconPassword));
  EXPECT_THAT(client.Command("Veltrane.Status"),
              HasSubstr("\nSince load: 0 links made, 2 codes refused, 0 logout refreshes\n"
                        "Now: 1 player locked out, 0 writes in doubt\n"));
}

TEST_F(StatusCommand, StoreAwayBehindTheProxyIsUnavailableSinceATimeWithItsNextAttempt) {
  FaultProxy proxy(database_.Settings().host, database_.Settings().port);
  const std::string proxied = ConnectThrough(proxy);
  auto server = StartReady("join admin\n");
  RconTestClient client(server->RconPort());
  ASSERT_TRUE(client.Authenticate(kRconPassword));
  EXPECT_THAT(client.Command("Veltrane.Status"),
              HasSubstr(fmt::format("Database: connected to {} without TLS\n", proxied)));

  proxy.DropConnections();
  proxy.SetRefusing(true);
  server->Send(std::string(kJoinBob) + "chat bob /link CODE-1\nconsole admin Veltrane.Status\n");
  ASSERT_TRUE(server->WaitForLine("server-message admin "));
  const std::string reply = client.Command("Veltrane.Status");
  EXPECT_THAT(reply, MatchesRegex(fmt::format("Database: unavailable since {}; next attempt in "
                                              "[1-5] s, to {}\n.*",
                                              kTime, proxied)));
  ExpectNoSecret(reply);
  const DevhostResult result = server->Stop();
  EXPECT_THAT(ServerMessages(result).at(0),
              MatchesRegex(fmt::format("{} Database: unavailable since {}; next attempt in [1-5] "
                                       "s, to {}",
                                       kErrorRgba, kTime, proxied)));
}

TEST_F(StatusCommand, StoreSwitchedOffByTheTableCheckSaysWhy) {
  database_.Execute("ALTER TABLE player_discord MODIFY code varchar(6) NOT NULL DEFAULT '0'");
  auto server = StartReady("");
  RconTestClient client(server->RconPort());
  ASSERT_TRUE(client.Authenticate(kRconPassword));
  EXPECT_THAT(client.Command("Veltrane.Status"),
              HasSubstr("Database: switched off by the table check until the next load: code is "
                        "varchar(6), shorter than the 7 characters of the state word "
                        "\"Updated\"\n"));
}

}  // namespace
}  // namespace veltrane::test
