// The connection layer against the sandbox server.

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "Database/Connection.h"
#include "RefusingPort.h"
#include "support/SandboxDatabase.h"

namespace {

using namespace std::string_literals;
using daotk::mysql::connection;
using daotk::mysql::connection_settings;
using daotk::mysql::results;

class Connection : public ::testing::Test {
 protected:
  void SetUp() override {
    settings_.host = database_.Settings().host;
    settings_.port = static_cast<std::uint32_t>(database_.Settings().port);
    settings_.user = database_.Settings().user;
    settings_.password = database_.Settings().password;
    settings_.database_name = database_.Name();
    settings_.connect_timeout = 5;
    settings_.auto_reconnect = true;
    settings_.charset = "utf8mb4";
    ASSERT_TRUE(connection_.open(settings_));
  }

  int FirstInt(const std::string& sql) { return FirstIntOn(connection_, sql); }
  static int FirstIntOn(connection& on, const std::string& sql) {
    int value = -1;
    EXPECT_TRUE(on.query(sql).first_value(value)) << sql;
    return value;
  }

  veltrane::test::SandboxDatabase database_;
  connection_settings settings_;
  connection connection_;
};

TEST_F(Connection, StatementWithoutResultSetSucceedsWithoutValue) {
  results created = connection_.query("CREATE TABLE numbers (n int)");
  EXPECT_TRUE(created.succeeded());
  int value = 7;
  EXPECT_FALSE(created.first_value(value));
  EXPECT_EQ(value, 7);
}

TEST_F(Connection, RefusedStatementCarriesTheServersError) {
  results refused = connection_.query("SELECT * FROM no_such_table");
  EXPECT_FALSE(refused.succeeded());
  EXPECT_EQ(refused.error_number(), 1146u);  // ER_NO_SUCH_TABLE
  EXPECT_NE(refused.error_text().find("no_such_table"), std::string::npos) << refused.error_text();
  results moved = std::move(refused);
  EXPECT_EQ(moved.error_number(), 1146u);
}

TEST_F(Connection, ZeroIsAValue) {
  results result = connection_.query("SELECT 0");
  int number = -1;
  bool flag = true;
  EXPECT_TRUE(result.first_value(number));
  EXPECT_EQ(number, 0);
  EXPECT_TRUE(result.first_value(flag));
  EXPECT_FALSE(flag);
}

TEST_F(Connection, ResultWithoutRowsHasNoValueOnEveryRead) {
  database_.Execute("CREATE TABLE numbers (n int)");
  results result = connection_.query("SELECT n FROM numbers");
  ASSERT_TRUE(result.succeeded());
  int value = 7;
  EXPECT_FALSE(result.first_value(value));
  EXPECT_FALSE(result.first_value(value));
  EXPECT_EQ(value, 7);
}

TEST_F(Connection, NullLeavesTheValueAsItWas) {
  int value = 7;
  EXPECT_FALSE(connection_.query("SELECT NULL").first_value(value));
  EXPECT_EQ(value, 7);
}

TEST_F(Connection, OnlyTheFirstColumnOfTheFirstRowIsRead) {
  database_.Execute("CREATE TABLE numbers (id int, n int)");
  database_.Execute("INSERT INTO numbers VALUES (1, 10), (2, 20)");
  EXPECT_EQ(FirstInt("SELECT n, id FROM numbers ORDER BY id DESC"), 20);
}

TEST_F(Connection, NumbersAreReadAsTheirLeadingDigits) {
  EXPECT_EQ(FirstInt("SELECT ' \t 42abc'"), 42);
  EXPECT_EQ(FirstInt("SELECT '-17'"), -17);
  EXPECT_EQ(FirstInt("SELECT '+5'"), 5);
  EXPECT_EQ(FirstInt("SELECT '-2147483648'"), -2147483648);
  EXPECT_EQ(FirstInt("SELECT '2147483647'"), 2147483647);
  bool flag = false;
  EXPECT_TRUE(connection_.query("SELECT '3 apples'").first_value(flag));
  EXPECT_TRUE(flag);
}

TEST_F(Connection, TextWithoutDigitsIsAnInvalidArgument) {
  int value = 0;
  for (const char* sql : {"SELECT 'abc'", "SELECT ''", "SELECT '-'", "SELECT ' x1'"}) {
    results result = connection_.query(sql);
    try {
      result.first_value(value);
      ADD_FAILURE() << sql << " did not throw";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "invalid stoi argument") << sql;
    }
  }
}

TEST_F(Connection, NumberBeyondThirtyTwoBitsIsOutOfRange) {
  int value = 0;
  for (const char* sql :
       {"SELECT '2147483648'", "SELECT '-2147483649'", "SELECT '99999999999999999999999'"}) {
    results result = connection_.query(sql);
    try {
      result.first_value(value);
      ADD_FAILURE() << sql << " did not throw";
    } catch (const std::out_of_range& error) {
      EXPECT_STREQ(error.what(), "stoi argument out of range") << sql;
    }
  }
}

TEST_F(Connection, RejectedStatementFails) {
  results result = connection_.query("SELEKT 1");
  EXPECT_FALSE(result.succeeded());
  int value = 7;
  EXPECT_FALSE(result.first_value(value));
  EXPECT_EQ(value, 7);
}

TEST_F(Connection, AffectedRowsCountsChangedRowsOnly) {
  database_.Execute("CREATE TABLE numbers (id int, n int)");
  database_.Execute("INSERT INTO numbers VALUES (1, 0), (2, 0), (3, 5)");
  EXPECT_EQ(connection_.query("UPDATE numbers SET n = 5").affected_rows(), 2u);
  // Matched but already holding the value: nothing changed.
  EXPECT_EQ(connection_.query("UPDATE numbers SET n = 5").affected_rows(), 0u);
  EXPECT_EQ(connection_.query("UPDATE numbers SET n = 1 WHERE id = 99").affected_rows(), 0u);
}

// Rows lost on the way once read as an answer without rows: a code "not found", a player "not
// linked".
TEST_F(Connection, RowsLostOnTheWayAreAFailureNotAnEmptyAnswer) {
  connection_settings impatient = settings_;
  impatient.read_timeout = 1;
  connection timing_out;
  ASSERT_TRUE(timing_out.open(impatient));
  const results lost =
      timing_out.query("SELECT IF(seq = 2, SLEEP(3), REPEAT('x', 100000)) FROM seq_1_to_2");
  EXPECT_FALSE(lost.succeeded());
  EXPECT_EQ(lost.error_number(), 2013u);  // CR_SERVER_LOST
}

TEST_F(Connection, StatementAfterCloseFailsAndCloseIsSafeTwice) {
  connection_.close();
  connection_.close();
  EXPECT_FALSE(connection_.is_open());
  EXPECT_FALSE(connection_.query("SELECT 1").succeeded());
  EXPECT_FALSE(connection_.escape("text").has_value());
}

TEST_F(Connection, ResultOutlivesLaterStatementsAndMoves) {
  results first = connection_.query("SELECT 11");
  results second = connection_.query("SELECT 22");
  results moved = std::move(first);
  EXPECT_FALSE(first.succeeded());  // NOLINT(bugprone-use-after-move): the moved-from state
  int value = 0;
  EXPECT_TRUE(moved.first_value(value));
  EXPECT_EQ(value, 11);
  second = std::move(moved);
  EXPECT_TRUE(second.first_value(value));
  EXPECT_EQ(value, 11);
}

TEST_F(Connection, EscapedTextComesBackByteForByte) {
  database_.Execute("CREATE TABLE texts (t varbinary(64))");
  const std::string text = "it's \\ \"quoted\" \0 -- ; 名前 🐉"s;
  const std::optional<std::string> escaped = connection_.escape(text);
  ASSERT_TRUE(escaped.has_value());
  ASSERT_TRUE(connection_.query("INSERT INTO texts VALUES ('" + *escaped + "')").succeeded());
  EXPECT_EQ(database_.Query("SELECT t FROM texts")[0][0], text);
}

// The question counts its own askings in a session variable, which a new session starts afresh.
TEST_F(Connection, EverySessionIsDescribedOnceAlsoAfterTheLibrarysReconnection) {
  connection described;
  connection_settings settings = settings_;
  settings.session_query = "SELECT CONNECTION_ID(), @asked := IFNULL(@asked, 0) + 1";
  ASSERT_TRUE(described.open(settings));
  const unsigned long opened = described.thread_id();
  for (int statement = 0; statement < 3; ++statement) {
    ASSERT_TRUE(described.query("SELECT 1").succeeded());
    EXPECT_EQ(described.statement_session().thread_id, opened);
    EXPECT_EQ(described.statement_session().described,
              (std::vector<std::string>{std::to_string(opened), "1"}));
  }

  ASSERT_GE(database_.KillOtherSessions(), 1);
  // The first statement may still meet the killed session; the library reconnects for the next.
  if (!described.query("SELECT 1").succeeded()) {
    ASSERT_TRUE(described.query("SELECT 1").succeeded());
  }
  const unsigned long reconnected = described.thread_id();
  ASSERT_NE(reconnected, opened);
  EXPECT_EQ(described.statement_session().thread_id, reconnected);
  EXPECT_EQ(described.statement_session().described,
            (std::vector<std::string>{std::to_string(reconnected), "1"}));
  ASSERT_TRUE(described.query("SELECT 1").succeeded());
  EXPECT_EQ(described.statement_session().described.at(1), "1");
}

// Described it is not, but it works as before.
TEST_F(Connection, SessionThatCannotBeDescribedRunsItsStatements) {
  for (const char* question : {"SELECT * FROM no_such_table", "SELECT NULL, 1", ""}) {
    SCOPED_TRACE(question);
    connection undescribed;
    connection_settings settings = settings_;
    settings.session_query = question;
    ASSERT_TRUE(undescribed.open(settings));
    EXPECT_EQ(FirstIntOn(undescribed, "SELECT 42"), 42);
    EXPECT_EQ(undescribed.statement_session().thread_id, undescribed.thread_id());
    EXPECT_TRUE(undescribed.statement_session().described.empty());
  }
}

TEST_F(Connection, RefusedCredentialsLeaveItClosed) {
  connection other;
  connection_settings wrong = settings_;
  wrong.password += "-wrong";
  EXPECT_FALSE(other.open(wrong));
  EXPECT_FALSE(other.is_open());
  EXPECT_FALSE(other.query("SELECT 1").succeeded());
  // Why, for the log: the library's words, never the password itself.
  EXPECT_EQ(other.open_error().number, 1045u);  // ER_ACCESS_DENIED_ERROR
  EXPECT_NE(other.open_error().text.find("Access denied"), std::string::npos)
      << other.open_error().text;
  EXPECT_EQ(other.open_error().text.find(wrong.password), std::string::npos);
  EXPECT_TRUE(other.open(settings_));
  EXPECT_EQ(other.open_error().number, 0u);
}

TEST_F(Connection, NothingListeningAnswersFalse) {
  RefusingPort refusing;
  connection other;
  connection_settings unreachable = settings_;
  unreachable.port = static_cast<std::uint32_t>(refusing.port());
  EXPECT_FALSE(other.open(unreachable));
  EXPECT_FALSE(other.query("SELECT 1").succeeded());
  EXPECT_EQ(other.open_error().number, 2002u);  // CR_CONNECTION_ERROR
  EXPECT_NE(other.open_error().text.find("Can't connect"), std::string::npos)
      << other.open_error().text;
}

}  // namespace
