// The status reply's words for each state of the store, and its counts in singular and plural.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Admin/StatusText.h"

namespace {

using ::testing::ElementsAre;

// 2026-12-07 17:04:20 UTC
const std::chrono::system_clock::time_point kTime{std::chrono::seconds(1796663060)};

TEST(StatusText, EachStateOfTheStore) {
  PluginStatus status;
  status.config.last_read = kTime;
  status.store = {StoreState::Connection::Connected, "db.example:3306", {}, {}, {}, {}};
  EXPECT_EQ(StatusLines(status).at(0), "Database: connected to db.example:3306 without TLS");
  status.store.tls_version = "TLSv1.3";
  EXPECT_EQ(StatusLines(status).at(0), "Database: connected to db.example:3306 over TLSv1.3");
  status.store.connection = StoreState::Connection::NotYet;
  EXPECT_EQ(StatusLines(status).at(0),
            "Database: not connected; the next statement connects to db.example:3306");
  status.store = {
      StoreState::Connection::Unavailable, "[::1]:3307", kTime, std::chrono::seconds(17), {}, {}};
  EXPECT_EQ(StatusLines(status).at(0),
            "Database: unavailable since 2026-12-07 17:04:20 UTC; next attempt in 17 s, to "
            "[::1]:3307");
  status.store.next_attempt_in = std::chrono::seconds(0);
  EXPECT_EQ(StatusLines(status).at(0),
            "Database: unavailable since 2026-12-07 17:04:20 UTC; the next statement tries "
            "[::1]:3307");
  status.store = {StoreState::Connection::SwitchedOff, "", {}, {},
                  "code is varchar(6), shorter",       {}};
  EXPECT_EQ(StatusLines(status).at(0),
            "Database: switched off by the table check until the next load: code is varchar(6), "
            "shorter");
}

TEST(StatusText, CountsAndTheConfigurationsReads) {
  PluginStatus status;
  status.links_made = 1;
  status.refused_codes = 1;
  status.logout_refreshes = 1;
  status.locked_out = 1;
  status.in_doubt = 1;
  status.announcements_waiting = 3;
  status.announcements_posted = 57;
  status.announcements_dropped = 2;
  status.config.last_read = kTime;
  EXPECT_THAT(StatusLines(status),
              ElementsAre("Database: connected to  without TLS",
                          "Since load: 1 link made, 1 code refused, 1 logout refresh",
                          "Now: 1 player locked out, 1 write in doubt",
                          "Discord announcements: 3 waiting; since load 57 posted, 2 dropped",
                          "Configuration: last read 2026-12-07 17:04:20 UTC"));
  status = {};
  status.refused_codes = 12;
  status.turned_away = TurnedAwayWork{3, 1};
  status.at_login = LoginCounts{1, 2, 1};
  status.linked_only = LinkedOnlyCounts{1, 2, 0};
  status.config = {kTime, "Can't open config.json"};
  EXPECT_THAT(StatusLines(status),
              ElementsAre("Database: connected to  without TLS",
                          "Since load: 0 links made, 12 codes refused, 0 logout refreshes",
                          "Now: 0 players locked out, 0 writes in doubt",
                          "Turned away since load, with too much waiting for the database: 3 "
                          "link commands, 1 logout refresh",
                          "At login since load: 1 group given back, 2 groups removed, 1 reminder "
                          "given",
                          "Linked-only play: 1 player in their grace; since load 2 sent away, 0 "
                          "not sent away because the database could not answer",
                          "Discord announcements: 0 waiting; since load 0 posted, 0 dropped",
                          "Configuration: last read 2026-12-07 17:04:20 UTC; the last reload was "
                          "refused: Can't open config.json"));
}

}  // namespace
