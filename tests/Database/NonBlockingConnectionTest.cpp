// The non-blocking connection against the sandbox server, directly and through the fault proxy.
// Operations are advanced as the host's tick would advance them; where a deadline matters, the
// test moves the time it passes in rather than waiting for it.

#include <errmsg.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Database/Connection.h"
#include "Database/ConnectionFailure.h"
#include "Database/NonBlockingConnection.h"
#include "RefusingPort.h"
#include "support/FaultProxy.h"
#include "support/SandboxDatabase.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using daotk::mysql::connection_settings;
using daotk::mysql::IsConnectionFailure;
using daotk::mysql::MayHaveRun;
using daotk::mysql::NonBlockingConnection;
using daotk::mysql::results;
using veltrane::test::FaultProxy;
using BlockingConnection = daotk::mysql::connection;
using Clock = NonBlockingConnection::Clock;
using Rows = std::vector<std::vector<std::string>>;

// Far enough never to be reached while a test advances on the real clock.
constexpr Clock::duration kFarDeadline = 60s;
constexpr auto kTick = 5ms;
constexpr int kMostTicks = 6000;

class NonBlocking : public ::testing::Test {
 protected:
  connection_settings SettingsFor(int port) const {
    connection_settings settings;
    settings.host = database_.Settings().host;
    settings.port = static_cast<std::uint32_t>(port);
    settings.user = database_.Settings().user;
    settings.password = database_.Settings().password;
    settings.database_name = database_.Name();
    settings.charset = "utf8mb4";
    return settings;
  }
  connection_settings Direct() const { return SettingsFor(database_.Settings().port); }
  connection_settings ThroughProxy() const { return SettingsFor(proxy_.Port()); }

  // Advances on the real clock, one call per tick, until the operation has finished (bounded);
  // answers how many calls it took.
  static int AdvanceUntilFinished(NonBlockingConnection& connection) {
    for (int calls = 1; calls <= kMostTicks; ++calls) {
      if (connection.Advance(Clock::now())) return calls;
      std::this_thread::sleep_for(kTick);
    }
    ADD_FAILURE() << "the operation did not finish";
    return kMostTicks;
  }

  static void Open(NonBlockingConnection& connection, const connection_settings& settings) {
    connection.StartOpen(settings, Clock::now(), Clock::now() + kFarDeadline);
    AdvanceUntilFinished(connection);
    ASSERT_TRUE(connection.IsOpen()) << connection.OpenError().text;
    EXPECT_EQ(connection.OpenError().number, 0u);
  }

  static results Run(NonBlockingConnection& connection, const std::string& statement) {
    connection.StartQuery(statement, Clock::now(), Clock::now() + kFarDeadline);
    AdvanceUntilFinished(connection);
    return connection.TakeResult();
  }

  // Waits (bounded) until the proxy has read more than before from its clients.
  bool WaitForBytes(std::uint64_t before) const {
    for (int i = 0; i < 3000 && proxy_.ReceivedFromClients() == before; ++i) {
      std::this_thread::sleep_for(10ms);
    }
    return proxy_.ReceivedFromClients() > before;
  }

  veltrane::test::SandboxDatabase database_;
  FaultProxy proxy_{database_.Settings().host, database_.Settings().port};
};

// One statement, and what its result holds

struct StatementCase {
  const char* name;
  const char* statement;
  bool succeeds;
  Rows rows;
  std::uint64_t affected_rows;
  unsigned int error_number;
};

void PrintTo(const StatementCase& statement, std::ostream* out) { *out << statement.name; }

class NonBlockingStatement : public NonBlocking,
                             public ::testing::WithParamInterface<StatementCase> {};

TEST_P(NonBlockingStatement, GivesTheResultTheBlockingConnectionGives) {
  database_.Execute("CREATE TABLE numbers (id int, n int)");
  database_.Execute("INSERT INTO numbers VALUES (1, 0), (2, 0), (3, 5)");
  NonBlockingConnection connection;
  ASSERT_NO_FATAL_FAILURE(Open(connection, Direct()));
  const StatementCase& expected = GetParam();

  results result = Run(connection, expected.statement);
  // A statement's failure is not the connection's: it stays open for the next one.
  EXPECT_TRUE(connection.IsOpen());
  EXPECT_NE(connection.ThreadId(), 0u);
  EXPECT_EQ(connection.StatementThreadId(), connection.ThreadId());
  EXPECT_FALSE(connection.TakeResult().succeeded()) << "a result is taken once";
  EXPECT_TRUE(Run(connection, "DO 1").succeeded());
  // The result owns its rows: they outlive the connection.
  connection.Close();
  EXPECT_EQ(result.succeeded(), expected.succeeds);
  EXPECT_EQ(result.text_rows(), expected.rows);
  EXPECT_EQ(result.affected_rows(), expected.affected_rows);
  EXPECT_EQ(result.error_number(), expected.error_number) << result.error_text();

  // The blocking connection answers the same on the same rows.
  database_.Execute("DELETE FROM numbers");
  database_.Execute("INSERT INTO numbers VALUES (1, 0), (2, 0), (3, 5)");
  BlockingConnection blocking;
  ASSERT_TRUE(blocking.open(Direct()));
  results blocking_result = blocking.query(expected.statement);
  EXPECT_EQ(blocking_result.succeeded(), result.succeeded());
  EXPECT_EQ(blocking_result.text_rows(), expected.rows);
  EXPECT_EQ(blocking_result.affected_rows(), result.affected_rows());
  EXPECT_EQ(blocking_result.error_number(), result.error_number());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NonBlockingStatement,
    ::testing::Values(
        StatementCase{"RowsOfASelect", "SELECT id, n FROM numbers ORDER BY id", true,
                      Rows{{"1", "0"}, {"2", "0"}, {"3", "5"}}, 3, 0},
        StatementCase{"RowThatArrivesOverManyReads", "SELECT REPEAT('x', 300000)", true,
                      Rows{{std::string(300000, 'x')}}, 1, 0},
        StatementCase{"UpdateCountsTheRowsItChanged", "UPDATE numbers SET n = 5", true, Rows{}, 2,
                      0},
        // Client flags 0: a row matched but left as it was is not counted.
        StatementCase{"UpdateOfARowThatAlreadyHoldsTheValueCountsNone",
                      "UPDATE numbers SET n = 5 WHERE id = 3", true, Rows{}, 0, 0},
        StatementCase{"StatementWithoutResultSet", "SET @marker = 1", true, Rows{}, 0, 0},
        StatementCase{"RefusedStatementCarriesTheServersError", "SELECT * FROM no_such_table",
                      false, Rows{}, 0, 1146}),  // ER_NO_SUCH_TABLE
    [](const ::testing::TestParamInfo<StatementCase>& info) { return info.param.name; });

// Advancing without waiting

TEST_F(NonBlocking, StatementFinishesOverLaterAdvancesNotAtTheFirst) {
  NonBlockingConnection connection;
  ASSERT_NO_FATAL_FAILURE(Open(connection, Direct()));
  connection.StartQuery("SELECT SLEEP(0.3), CONNECTION_ID()", Clock::now(),
                        Clock::now() + kFarDeadline);
  EXPECT_TRUE(connection.InFlight());
  EXPECT_FALSE(connection.Advance(Clock::now())) << "the server is still sleeping";
  EXPECT_THROW(connection.StartQuery("SELECT 1", Clock::now(), Clock::now() + kFarDeadline),
               std::logic_error);
  EXPECT_FALSE(connection.TakeResult().succeeded()) << "no result before it has finished";

  AdvanceUntilFinished(connection);
  EXPECT_FALSE(connection.InFlight());
  EXPECT_TRUE(connection.Advance(Clock::now())) << "nothing in flight is finished";
  results result = connection.TakeResult();
  ASSERT_TRUE(result.succeeded()) << result.error_text();
  EXPECT_EQ(result.text_rows(), (Rows{{"0", std::to_string(connection.ThreadId())}}));
}

TEST_F(NonBlocking, DriveUntilWaitsForTheAnswerAndStopsAtItsDeadline) {
  NonBlockingConnection connection;
  connection.StartOpen(Direct(), Clock::now(), Clock::now() + kFarDeadline);
  ASSERT_TRUE(connection.DriveUntil(Clock::now() + kFarDeadline));
  ASSERT_TRUE(connection.IsOpen()) << connection.OpenError().text;

  connection.StartQuery("SELECT SLEEP(0.3)", Clock::now(), Clock::now() + kFarDeadline);
  EXPECT_TRUE(connection.DriveUntil(Clock::now() + kFarDeadline));
  int value = -1;
  EXPECT_TRUE(connection.TakeResult().first_value(value));
  EXPECT_EQ(value, 0);

  // A deadline that has passed: the statement is left in flight for the caller.
  connection.StartQuery("SELECT SLEEP(5)", Clock::now(), Clock::now() + kFarDeadline);
  EXPECT_FALSE(connection.DriveUntil(Clock::now() - 1s));
  EXPECT_TRUE(connection.InFlight());
  EXPECT_TRUE(connection.IsOpen());
}

// Opening

struct OpenFailureCase {
  const char* name;
  std::function<void(connection_settings&, int refusing_port)> change;
  unsigned int error_number;
  const char* error_words;
};

void PrintTo(const OpenFailureCase& failure, std::ostream* out) { *out << failure.name; }

class NonBlockingOpenFailure : public NonBlocking,
                               public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(NonBlockingOpenFailure, FailsWithTheLibrarysErrorAndLeavesItClosed) {
  RefusingPort refusing;
  connection_settings settings = Direct();
  GetParam().change(settings, refusing.port());
  NonBlockingConnection connection;
  connection.StartOpen(settings, Clock::now(), Clock::now() + kFarDeadline);
  AdvanceUntilFinished(connection);

  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(connection.OpenError().number, GetParam().error_number);
  EXPECT_NE(connection.OpenError().text.find(GetParam().error_words), std::string::npos)
      << connection.OpenError().text;
  EXPECT_EQ(connection.OpenError().text.find(settings.password), std::string::npos);
  BlockingConnection blocking;
  EXPECT_FALSE(blocking.open(settings));
  EXPECT_EQ(blocking.open_error().number, connection.OpenError().number);

  // Closed: nothing reaches the library.
  EXPECT_EQ(connection.ThreadId(), 0u);
  EXPECT_FALSE(connection.Escape("text").has_value());
  connection.StartQuery("SELECT 1", Clock::now(), Clock::now() + kFarDeadline);
  EXPECT_FALSE(connection.InFlight());
  results result = connection.TakeResult();
  EXPECT_FALSE(result.succeeded());
  EXPECT_EQ(result.error_number(), 0u);

  ASSERT_NO_FATAL_FAILURE(Open(connection, Direct()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NonBlockingOpenFailure,
    ::testing::Values(OpenFailureCase{"NothingListening",
                                      [](connection_settings& settings, int refusing_port) {
                                        settings.port = static_cast<std::uint32_t>(refusing_port);
                                      },
                                      2002, "Can't connect"},  // CR_CONNECTION_ERROR
                      OpenFailureCase{
                          "WrongPassword",
                          [](connection_settings& settings, int) { settings.password += "-wrong"; },
                          1045, "Access denied"},  // ER_ACCESS_DENIED_ERROR
                      OpenFailureCase{"InitCommandRefused",
                                      [](connection_settings& settings, int) {
                                        settings.init_command = "SET SESSION no_such_variable = 1";
                                      },
                                      1193, "no_such_variable"}),  // ER_UNKNOWN_SYSTEM_VARIABLE
    [](const ::testing::TestParamInfo<OpenFailureCase>& info) { return info.param.name; });

TEST_F(NonBlocking, OpensWithTheCharacterSetAndTheInitCommand) {
  connection_settings settings = Direct();
  settings.init_command =
      "SET SESSION sql_mode = CONCAT_WS(',', 'NO_BACKSLASH_ESCAPES', "
      "NULLIF(@@SESSION.sql_mode, ''))";
  NonBlockingConnection connection;
  ASSERT_NO_FATAL_FAILURE(Open(connection, settings));
  results result = Run(connection,
                       "SELECT @@character_set_client, FIND_IN_SET('NO_BACKSLASH_ESCAPES', "
                       "@@SESSION.sql_mode) > 0");
  EXPECT_EQ(result.text_rows(), (Rows{{"utf8mb4", "1"}}));
  // Escaping follows the session's mode: no backslashes, a quote doubled.
  EXPECT_EQ(connection.Escape("it's \\"), "it''s \\");
}

TEST_F(NonBlocking, EscapedTextComesBackByteForByte) {
  database_.Execute("CREATE TABLE texts (t varbinary(64))");
  NonBlockingConnection connection;
  ASSERT_NO_FATAL_FAILURE(Open(connection, Direct()));
  for (const std::string& text : {"it's \\ \"quoted\" \0 -- ; 名前 🐉"s, "\x1a\r\n'\\'"s, ""s}) {
    SCOPED_TRACE(::testing::PrintToString(text));
    const std::optional<std::string> escaped = connection.Escape(text);
    ASSERT_TRUE(escaped.has_value());
    ASSERT_TRUE(Run(connection, "INSERT INTO texts VALUES ('" + *escaped + "')").succeeded());
    EXPECT_EQ(database_.Query("SELECT t FROM texts")[0][0], text);
    database_.Execute("DELETE FROM texts");
  }
}

// Deadlines: a stalled server, with the test's own clock moved past them

struct DeadlineCase {
  const char* name;
  const char* statement;      // empty: the open is what waits
  std::size_t literal_bytes;  // a text of that many bytes selected as well
  // The library's own timeout instead of the caller's deadline.
  bool library_timeout;
  unsigned int error_number;  // a statement's; an open fails as a connection failure
  bool may_have_run;
};

void PrintTo(const DeadlineCase& deadline, std::ostream* out) { *out << deadline.name; }

class NonBlockingDeadline : public NonBlocking,
                            public ::testing::WithParamInterface<DeadlineCase> {};

TEST_P(NonBlockingDeadline, StalledServerEndsTheOperationAsTimedOutAndClosesIt) {
  const DeadlineCase& deadline = GetParam();
  connection_settings settings = ThroughProxy();
  if (deadline.library_timeout) {
    settings.connect_timeout = 1;
    settings.read_timeout = 1;
    settings.write_timeout = 1;
  }
  const bool during_open = *deadline.statement == '\0';
  NonBlockingConnection connection;
  if (!during_open) {
    ASSERT_NO_FATAL_FAILURE(Open(connection, settings));
  }
  const unsigned long session = connection.ThreadId();
  proxy_.SetStalled(true);

  const Clock::time_point start = Clock::now();
  // The library's timeout is one second; the caller's deadline then lies far beyond it.
  const Clock::time_point callers_deadline = start + (deadline.library_timeout ? 1h : 10s);
  const Clock::time_point ended = deadline.library_timeout ? start + 2s : callers_deadline;
  if (during_open) {
    connection.StartOpen(settings, start, callers_deadline);
  } else {
    std::string statement = deadline.statement;
    if (deadline.literal_bytes > 0) {
      statement += ", '" + std::string(deadline.literal_bytes, 'x') + "'";
    }
    connection.StartQuery(statement, start, callers_deadline);
  }
  EXPECT_FALSE(connection.Advance(start));
  EXPECT_FALSE(connection.Advance(start + 900ms));
  EXPECT_TRUE(connection.Advance(ended));

  EXPECT_FALSE(connection.InFlight());
  EXPECT_FALSE(connection.IsOpen());
  if (during_open) {
    EXPECT_TRUE(IsConnectionFailure(connection.OpenError().number))
        << connection.OpenError().number << " " << connection.OpenError().text;
    return;
  }
  results result = connection.TakeResult();
  EXPECT_FALSE(result.succeeded());
  EXPECT_EQ(result.error_number(), deadline.error_number) << result.error_text();
  EXPECT_TRUE(IsConnectionFailure(result.error_number()));
  EXPECT_EQ(MayHaveRun(result.error_number()), deadline.may_have_run);
  EXPECT_EQ(connection.StatementThreadId(), session);

  proxy_.SetStalled(false);
  ASSERT_NO_FATAL_FAILURE(Open(connection, settings));
  EXPECT_TRUE(Run(connection, "SELECT 1").succeeded());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NonBlockingDeadline,
    ::testing::Values(
        DeadlineCase{"OpenPastTheCallersDeadline", "", 0, false, 0, false},
        DeadlineCase{"OpenPastTheLibrarysConnectTimeout", "", 0, true, 0, false},
        // As a read timeout of the blocking connection: the statement may have run.
        DeadlineCase{"StatementPastTheCallersDeadline", "SELECT 1", 0, false, CR_SERVER_LOST, true},
        DeadlineCase{"StatementPastTheLibrarysReadTimeout", "SELECT 1", 0, true, CR_SERVER_LOST,
                     true},
        // More than the socket's and the stalled proxy's buffers take: it never left whole.
        DeadlineCase{"StatementStillBeingSent", "SELECT 1", 15 << 20, false, CR_SERVER_GONE_ERROR,
                     false}),
    [](const ::testing::TestParamInfo<DeadlineCase>& info) { return info.param.name; });

TEST_F(NonBlocking, TimedOutStatementFailsAsTheBlockingConnectionsReadTimeout) {
  connection_settings settings = ThroughProxy();
  settings.read_timeout = 1;
  BlockingConnection blocking;
  ASSERT_TRUE(blocking.open(settings));
  NonBlockingConnection connection;
  ASSERT_NO_FATAL_FAILURE(Open(connection, ThroughProxy()));
  proxy_.SetStalled(true);

  const results blocking_result = blocking.query("SELECT 1");  // waits out its read timeout
  const Clock::time_point start = Clock::now();
  connection.StartQuery("SELECT 1", start, start + 10s);
  ASSERT_TRUE(connection.Advance(start + 10s));
  const results result = connection.TakeResult();
  EXPECT_EQ(result.error_number(), blocking_result.error_number());
  EXPECT_EQ(result.error_text(), blocking_result.error_text());
}

// The connection ends under a statement

struct EndCase {
  const char* name;
  std::function<void(FaultProxy&, veltrane::test::SandboxDatabase&)> end;
};

void PrintTo(const EndCase& end, std::ostream* out) { *out << end.name; }

class NonBlockingEnded : public NonBlocking, public ::testing::WithParamInterface<EndCase> {};

TEST_P(NonBlockingEnded, StatementIsInDoubtAndTheConnectionClosed) {
  NonBlockingConnection connection;
  ASSERT_NO_FATAL_FAILURE(Open(connection, ThroughProxy()));
  const unsigned long session = connection.ThreadId();
  const std::uint64_t before = proxy_.ReceivedFromClients();
  connection.StartQuery("SELECT SLEEP(10)", Clock::now(), Clock::now() + kFarDeadline);
  ASSERT_TRUE(WaitForBytes(before));
  EXPECT_FALSE(connection.Advance(Clock::now()));
  GetParam().end(proxy_, database_);

  AdvanceUntilFinished(connection);
  results result = connection.TakeResult();
  EXPECT_FALSE(result.succeeded());
  EXPECT_TRUE(IsConnectionFailure(result.error_number()))
      << result.error_number() << " " << result.error_text();
  EXPECT_TRUE(MayHaveRun(result.error_number()));
  EXPECT_FALSE(connection.IsOpen()) << "never reconnected by the library";
  EXPECT_EQ(connection.ThreadId(), 0u);
  EXPECT_EQ(connection.StatementThreadId(), session);

  ASSERT_NO_FATAL_FAILURE(Open(connection, ThroughProxy()));
  EXPECT_NE(connection.ThreadId(), session);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NonBlockingEnded,
    ::testing::Values(EndCase{"CutOnTheNetwork",
                              [](FaultProxy& proxy, veltrane::test::SandboxDatabase&) {
                                proxy.DropConnections();
                              }},
                      EndCase{"KilledByTheServer",
                              [](FaultProxy&, veltrane::test::SandboxDatabase& database) {
                                ASSERT_EQ(database.KillOtherSessions(), 1);
                              }}),
    [](const ::testing::TestParamInfo<EndCase>& info) { return info.param.name; });

// Closing with an operation in flight (run under ASan as well: nothing may leak)

struct InFlightCase {
  const char* name;
  bool stall_before_open;
  // Empty: the open is what is in flight.
  const char* statement;
};

void PrintTo(const InFlightCase& in_flight, std::ostream* out) { *out << in_flight.name; }

class NonBlockingClose : public NonBlocking, public ::testing::WithParamInterface<InFlightCase> {};

TEST_P(NonBlockingClose, EndsTheOperationInFlightWithoutWaiting) {
  const InFlightCase& in_flight = GetParam();
  NonBlockingConnection connection;
  if (in_flight.stall_before_open) proxy_.SetStalled(true);
  if (*in_flight.statement == '\0') {
    connection.StartOpen(ThroughProxy(), Clock::now(), Clock::now() + kFarDeadline);
  } else {
    ASSERT_NO_FATAL_FAILURE(Open(connection, ThroughProxy()));
    connection.StartQuery(in_flight.statement, Clock::now(), Clock::now() + kFarDeadline);
  }
  // A few ticks, so that a statement's rows have begun to arrive where they can.
  for (int tick = 0; tick < 20; ++tick) {
    ASSERT_FALSE(connection.Advance(Clock::now()));
    std::this_thread::sleep_for(kTick);
  }

  connection.Close();
  EXPECT_FALSE(connection.InFlight());
  EXPECT_FALSE(connection.IsOpen());
  connection.Close();
  if (*in_flight.statement == '\0') {
    EXPECT_TRUE(IsConnectionFailure(connection.OpenError().number))
        << connection.OpenError().number << " " << connection.OpenError().text;
  } else {
    results result = connection.TakeResult();
    EXPECT_FALSE(result.succeeded());
    EXPECT_TRUE(MayHaveRun(result.error_number()))
        << result.error_number() << " " << result.error_text();
  }
  proxy_.SetStalled(false);
  ASSERT_NO_FATAL_FAILURE(Open(connection, ThroughProxy()));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NonBlockingClose,
    ::testing::Values(
        InFlightCase{"OpenAwaitingTheGreeting", true, ""},
        InFlightCase{"StatementAwaitingItsAnswer", false, "SELECT SLEEP(10)"},
        // The first row fills the server's buffer and leaves; the second keeps the rest back.
        // Ended here, the library forgets the columns: the result read as an empty success.
        InFlightCase{"StatementWithHalfItsRows", false,
                     "SELECT IF(seq = 2, SLEEP(10), REPEAT('x', 100000)) FROM seq_1_to_2"}),
    [](const ::testing::TestParamInfo<InFlightCase>& info) { return info.param.name; });

}  // namespace
