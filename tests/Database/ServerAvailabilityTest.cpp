// The store's availability rules, with time passed in: cool-down and its doubling, failover along
// the host list, and the MysqlHost list syntax.

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "Database/ServerAvailability.h"
#include "Database/ServerList.h"

namespace veltrane {
namespace {

using namespace std::chrono_literals;
using Clock = ServerAvailability::Clock;

const DatabaseServer kFirst{"db1", 3306};
const DatabaseServer kSecond{"db2", 3307};
const DatabaseServer kThird{"db3", 3306};

class Availability : public ::testing::Test {
 protected:
  const Clock::time_point start_ = Clock::now();
  Clock::time_point At(std::chrono::milliseconds offset) const { return start_ + offset; }
};

// One server

TEST_F(Availability, OneFailureOpensACoolDownThatRefusesUntilItEnds) {
  ServerAvailability availability({kFirst}, {5s, 60s});
  ASSERT_TRUE(availability.MayTry(At(0s)));

  const ServerAvailability::Failure failure = availability.Failed(At(0s));
  EXPECT_TRUE(failure.outage_started);
  EXPECT_TRUE(failure.cool_down_started);
  EXPECT_FALSE(failure.switched);
  EXPECT_TRUE(availability.InOutage());
  EXPECT_FALSE(availability.MayTry(At(1ms)));
  EXPECT_FALSE(availability.MayTry(At(4999ms)));
  EXPECT_TRUE(availability.MayTry(At(5s)));
  EXPECT_EQ(availability.Current(), kFirst);
}

TEST_F(Availability, CoolDownDoublesWithEachFailedRetryUpToTheLimit) {
  ServerAvailability availability({kFirst}, {5s, 60s});
  Clock::time_point now = At(0s);
  for (const std::chrono::milliseconds wait : {5s, 10s, 20s, 40s, 60s, 60s}) {
    const ServerAvailability::Failure failure = availability.Failed(now);
    EXPECT_EQ(failure.outage_started, wait == 5s);
    EXPECT_FALSE(availability.MayTry(now + wait - 1ms)) << wait.count();
    EXPECT_TRUE(availability.MayTry(now + wait)) << wait.count();
    now += wait;
  }
}

TEST_F(Availability, SuccessEndsTheOutageWithItsLengthAndResetsTheCoolDown) {
  ServerAvailability availability({kFirst}, {5s, 60s});
  EXPECT_FALSE(availability.Succeeded(At(0s)).has_value());  // no outage: nothing to end

  availability.Failed(At(1s));
  availability.Failed(At(6s));  // the retry failed too: 10 s now
  const std::optional<Clock::duration> lasted = availability.Succeeded(At(16s));
  ASSERT_TRUE(lasted.has_value());
  EXPECT_EQ(*lasted, 15s);
  EXPECT_FALSE(availability.InOutage());
  EXPECT_TRUE(availability.MayTry(At(16s)));

  // The next outage starts again from the first cool-down.
  EXPECT_TRUE(availability.Failed(At(20s)).outage_started);
  EXPECT_TRUE(availability.MayTry(At(25s)));
}

// A list of servers

TEST_F(Availability, FailedServerHandsOverToTheNextAtOnce) {
  ServerAvailability availability({kFirst, kSecond, kThird}, {5s, 60s});
  EXPECT_EQ(availability.Current(), kFirst);

  ServerAvailability::Failure failure = availability.Failed(At(0s));
  EXPECT_TRUE(failure.outage_started);
  EXPECT_TRUE(failure.switched);
  EXPECT_FALSE(failure.cool_down_started);
  EXPECT_TRUE(availability.MayTry(At(0s)));
  EXPECT_EQ(availability.Current(), kSecond);

  // A late failure of the server already left moves nothing: the second is not failed for it.
  failure = availability.Failed(kFirst, At(0s));
  EXPECT_FALSE(failure.switched);
  EXPECT_EQ(availability.Current(), kSecond);

  // The second answers: it stays the current server.
  EXPECT_TRUE(availability.Succeeded(At(1s)).has_value());
  EXPECT_EQ(availability.Current(), kSecond);
}

TEST_F(Availability, CoolDownStartsOnlyWhenEveryServerHasFailed) {
  ServerAvailability availability({kFirst, kSecond, kThird}, {5s, 60s});
  availability.Succeeded(At(0s));
  availability.Failed(At(1s));  // first -> second
  EXPECT_EQ(availability.Current(), kSecond);
  availability.Succeeded(At(2s));

  EXPECT_TRUE(availability.Failed(At(3s)).outage_started);  // second -> third
  EXPECT_EQ(availability.Current(), kThird);
  EXPECT_FALSE(availability.Failed(At(3s)).cool_down_started);  // third -> first
  EXPECT_EQ(availability.Current(), kFirst);
  EXPECT_TRUE(availability.MayTry(At(3s)));

  const ServerAvailability::Failure last = availability.Failed(At(4s));
  EXPECT_TRUE(last.cool_down_started);
  EXPECT_FALSE(last.outage_started);
  EXPECT_FALSE(availability.MayTry(At(8s)));
  EXPECT_TRUE(availability.MayTry(At(9s)));
  // After the cool-down the preferred server is tried first.
  EXPECT_EQ(availability.Current(), kFirst);
}

TEST_F(Availability, RoundAfterACoolDownStartsFromTheFirstServerAndDoubles) {
  ServerAvailability availability({kFirst, kSecond}, {5s, 60s});
  availability.Failed(At(0s));
  availability.Failed(At(0s));  // cool-down 5 s, back to the first
  availability.Failed(At(5s));
  EXPECT_EQ(availability.Current(), kSecond);
  EXPECT_TRUE(availability.MayTry(At(5s)));
  EXPECT_TRUE(availability.Failed(At(6s)).cool_down_started);
  EXPECT_EQ(availability.Current(), kFirst);
  EXPECT_FALSE(availability.MayTry(At(15s)));
  EXPECT_TRUE(availability.MayTry(At(16s)));
}

// MysqlHost

TEST(ServerListSyntax, OneHostIsTakenAsItStandsWithTheDefaultPort) {
  EXPECT_EQ(ParseServerList("db.example", 3306),
            (std::vector<DatabaseServer>{{"db.example", 3306}}));
  EXPECT_EQ(ParseServerList("", 3306), (std::vector<DatabaseServer>{{"", 3306}}));
  EXPECT_EQ(ParseServerList("127.0.0.1:3310", 3306),
            (std::vector<DatabaseServer>{{"127.0.0.1", 3310}}));
}

TEST(ServerListSyntax, CommaSeparatedHostsKeepTheirOrderAndOwnPorts) {
  EXPECT_EQ(ParseServerList("db1, db2:3307 ,10.0.0.3", 3306),
            (std::vector<DatabaseServer>{{"db1", 3306}, {"db2", 3307}, {"10.0.0.3", 3306}}));
}

TEST(ServerListSyntax, IPv6AddressesStandBareOrInBracketsWithOrWithoutAPort) {
  // "[::1]" without a port used to be refused as a bad port.
  EXPECT_EQ(ParseServerList("[::1]", 3306), (std::vector<DatabaseServer>{{"::1", 3306}}));
  EXPECT_EQ(ParseServerList("[::1]:3307,::1,[fe80::2]", 3306),
            (std::vector<DatabaseServer>{{"::1", 3307}, {"::1", 3306}, {"fe80::2", 3306}}));
  EXPECT_EQ(ServerListProblem("[::1]"), "");
}

TEST(ServerListSyntax, EveryFormThatCanReachAServerIsTaken) {
  const std::vector<std::pair<std::string, std::vector<DatabaseServer>>> taken = {
      {"localhost", {{"localhost", 3306}}},
      {" db1\t", {{"db1", 3306}}},
      {"db1:3307", {{"db1", 3307}}},
      {"1.2.3.4:3307", {{"1.2.3.4", 3307}}},
      {"db1:03307", {{"db1", 3307}}},
      {"bücher.example", {{"bücher.example", 3306}}},
      {"[db1]:3307", {{"db1", 3307}}},
      {"::", {{"::", 3306}}},
      {"2001:DB8:0:0:0:0:0:1", {{"2001:DB8:0:0:0:0:0:1", 3306}}},
      {"1:2:3:4:5:6:7::", {{"1:2:3:4:5:6:7::", 3306}}},
      {"::ffff:192.0.2.1", {{"::ffff:192.0.2.1", 3306}}},
      {"[1:2:3:4:5:6:192.0.2.1]:3307", {{"1:2:3:4:5:6:192.0.2.1", 3307}}},
      {"fe80::1%eth0", {{"fe80::1%eth0", 3306}}},
      {"[fe80::1%enp0s3]:3307", {{"fe80::1%enp0s3", 3307}}},
      {"db1 ,\t[::1]:3307 , ::2", {{"db1", 3306}, {"::1", 3307}, {"::2", 3306}}},
  };
  for (const auto& [hosts, servers] : taken) {
    EXPECT_EQ(ServerListProblem(hosts), "") << hosts;
    EXPECT_EQ(ParseServerList(hosts, 3306), servers) << hosts;
  }
}

TEST(ServerListSyntax, BadEntriesAreRefusedByTheirPlaceWithoutQuotingThem) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"a,,b", "entry 2 is empty"},
      {"a,", "entry 2 is empty"},
      {",", "entry 1 is empty"},
      {" , db2", "entry 1 is empty"},
      {"127.0.0.1:0", "entry 1 has a port that is not a number from 1 to 65535"},
      {"db1,127.0.0.1:65536", "entry 2 has a port that is not a number from 1 to 65535"},
      {"h:abc", "entry 1 has a port that is not a number from 1 to 65535"},
      {"db1:33o6", "entry 1 has a port that is not a number from 1 to 65535"},
      {"db1:", "entry 1 has a port that is not a number from 1 to 65535"},
      {"[::1]:", "entry 1 has a port that is not a number from 1 to 65535"},
      {":3306", "entry 1 has no host"},
      {"[]:3306", "entry 1 has no host"},
      {"[::1", "entry 1 has no closing ']'"},
      {"[::1]x", "entry 1 has text after ']' other than \":port\""},
      // Each of these could never reach a server, yet passed the check.
      {"   ", "entry 1 is empty"},
      {"\t", "entry 1 is empty"},
      {"127.0.0.1 :3307", "entry 1 has white space or a control character in it"},
      {"x:3307:", "entry 1 names a host with ':' that is not an IPv6 address"},
      // White space or a control character anywhere inside an entry.
      {"db1,db2: 3307", "entry 2 has white space or a control character in it"},
      {"db 1", "entry 1 has white space or a control character in it"},
      {"db1\n", "entry 1 has white space or a control character in it"},
      {"db1,\r\ndb2", "entry 2 has white space or a control character in it"},
      {std::string("db1\0.evil", 9), "entry 1 has white space or a control character in it"},
      {"db1\x7f", "entry 1 has white space or a control character in it"},
      {"db1\xc2\xa0", "entry 1 has white space or a control character in it"},
      {"db1,\xc2\x85", "entry 2 has white space or a control character in it"},
      {"db1\xe2\x80\x8a:3307", "entry 1 has white space or a control character in it"},
      {"db1\xe3\x80\x80:3307", "entry 1 has white space or a control character in it"},
      {"[::1\xe2\x80\xa8]", "entry 1 has white space or a control character in it"},
      // A colon in a host that is not an IPv6 address.
      {"db1:3306:", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"mysql://db1:3306", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"a:b:c", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"1::2::3", "entry 1 names a host with ':' that is not an IPv6 address"},
      {":::", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"::1:", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"1:2:3:4:5:6:7:8:9", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"1:2:3:4:5:6:7:8::", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"12345::1", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"::ffff:256.0.0.1", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"::ffff:01.2.3.4", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"1.2.3.4::", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"fe80::1%", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"fe80::1%eth0:3307", "entry 1 names a host with ':' that is not an IPv6 address"},
      {"db1,[x:y]:3307", "entry 2 names a host with ':' that is not an IPv6 address"},
      // Brackets that do not enclose the host.
      {"db1]", "entry 1 has a '[' or ']' out of place"},
      {"::1]", "entry 1 has a '[' or ']' out of place"},
      {"db[1]:3306", "entry 1 has a '[' or ']' out of place"},
      {"[db[1]", "entry 1 has a '[' or ']' out of place"},
      {"[[::1]]", "entry 1 has text after ']' other than \":port\""},
      {"[::1]:3307]", "entry 1 has a port that is not a number from 1 to 65535"},
      // A port with anything but its digits.
      {"db1:+3306", "entry 1 has a port that is not a number from 1 to 65535"},
      {"db1:-1", "entry 1 has a port that is not a number from 1 to 65535"},
      {"db1:3306x", "entry 1 has a port that is not a number from 1 to 65535"},
      {"db1:0x10", "entry 1 has a port that is not a number from 1 to 65535"},
      {"db1:4294970602", "entry 1 has a port that is not a number from 1 to 65535"},
      {"[::1]:3307:", "entry 1 has a port that is not a number from 1 to 65535"},
  };
  for (const auto& [hosts, problem] : refused) {
    EXPECT_EQ(ServerListProblem(hosts), problem) << hosts;
    try {
      ParseServerList(hosts, 3306);
      ADD_FAILURE() << hosts << " was accepted";
    } catch (const std::invalid_argument& error) {
      EXPECT_EQ(error.what(), "MysqlHost: " + problem);
    }
  }
}

TEST(ServerListSyntax, LogNamesAServerWithItsPort) {
  EXPECT_EQ(DescribeServer({"db1", 3306}), "db1:3306");
  EXPECT_EQ(DescribeServer({"::1", 3307}), "[::1]:3307");
}

}  // namespace
}  // namespace veltrane
