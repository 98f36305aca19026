// The store's connection: connecting along the host list, outages and their cool-downs, Run and
// RunOn (the one way a statement reaches a server), escaping, and the settings every session
// starts with.
//
// A server that cannot be reached or does not answer is an outage (ServerAvailability.h,
// ConnectionFailure.h): the next server of the list is tried at once; once all have failed,
// operations answer false at once, without touching the network, until a cool-down has passed,
// and their answers say that the store could not ask. A connection made while the game runs uses
// a short connect timeout. An outage writes each server's reason once (OutageReasons.h) and one
// info line when it ends, instead of a line for each statement it fails. A store that could not
// connect at load keeps trying on that cadence, and creates the table once it reaches a server.

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <exception>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/ConnectionFailure.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"

namespace {

bool IsQuiet(unsigned int error_number, std::vector<unsigned int> quiet_errors) {
  return std::find(quiet_errors.begin(), quiet_errors.end(), error_number) != quiet_errors.end();
}

}  // namespace

MySql::MySql(const std::string& host, std::string user, std::string password, std::string database,
             int port, unsigned int read_write_timeout_seconds, veltrane::CoolDownPolicy cool_down,
             Now now, bool non_blocking, daotk::mysql::connection_security security)
    : driver_(non_blocking ? std::make_unique<veltrane::StepDriver>() : nullptr),
      connection_(driver_.get()),
      connecting_at_load_(non_blocking),
      cool_down_(cool_down),
      now_(std::move(now)) {
  try {
    settings_.user = std::move(user);
    settings_.password = std::move(password);
    settings_.database_name = std::move(database);
    settings_.read_timeout = read_write_timeout_seconds;
    settings_.write_timeout = read_write_timeout_seconds;
    settings_.reconnect_timeout = kReconnectSeconds;
    settings_.auto_reconnect = true;
    settings_.charset = "utf8mb4";
    settings_.init_command = SessionInitCommand(read_write_timeout_seconds);
    settings_.session_query = SessionQuery();
    settings_.security = std::move(security);
    availability_.emplace(veltrane::ParseServerList(host, static_cast<std::uint32_t>(port)),
                          cool_down);
    // A non-blocking store connects in the plugin's first job instead (Connect()).
    if (!driver_) ::RunToEnd(*this, ConnectAtLoad());
  } catch (const std::exception& error) {
    PluginLog::Get()->critical("({} {}) Unexpected DB error {}", kStoreFile, "MySql::MySql",
                               error.what());
  }
}

// Every connection starts with these, a reconnection too. Strict mode makes a value that does not
// fit its column fail instead of being cut or coerced. It is added to the server's modes rather
// than replacing them: a server in NO_BACKSLASH_ESCAPES mode keeps it, and the library's escaping
// follows the mode the session really has.
//
// Statements time out on the client after the read and write timeouts, and answer false. The
// session's deadlines are the server's own, so that it never finishes a statement that the store
// has given up on (MariaDB goes on with a statement whose client has gone).
// innodb_lock_wait_timeout, in whole seconds, is known to every server. MariaDB's
// max_statement_time bounds the whole statement and ends it half a second before the client gives
// up (at half the timeout when that is shorter), so that the server's refusal, rather than a lost
// answer, reaches the store; it is written in MariaDB's executable comment, which other servers
// skip.
std::string MySql::SessionInitCommand(unsigned int timeout_seconds) {
  std::string command =
      "SET SESSION sql_mode = CONCAT_WS(',', NULLIF(@@SESSION.sql_mode, ''), 'STRICT_ALL_TABLES')";
  if (timeout_seconds == 0) return command;
  const double statement_seconds = timeout_seconds - std::min(0.5, timeout_seconds / 2.0);
  return command +
         fmt::format(", innodb_lock_wait_timeout = {} /*M!100101 , max_statement_time = {} */",
                     timeout_seconds, statement_seconds);
}

// Nothing else runs meanwhile: the task waits for no deadline, so the chain waiting before it is
// always finished first and the task always started.
void MySql::RunInPlace(StoreTask<void>& task) {
  if (driver_) {
    driver_->TryRunToEnd(task);
  } else {
    IDatabase::RunInPlace(task);
  }
}

void MySql::Abandon() {
  if (!driver_) return;
  driver_->Forget();
  // A write under way may still land: it is settled like any other whose answer never came.
  if (!writes_in_flight_.empty()) KeepInDoubt(std::exchange(writes_in_flight_, {}));
  connection_.Close();
  connection_given_up_ = connecting_at_load_;
}

StoreTask<void> MySql::Connect() {
  if (!connecting_at_load_ || !availability_) {
    connecting_at_load_ = false;
    co_return;
  }
  try {
    co_await ConnectAtLoad();
  } catch (const std::exception& error) {
    PluginLog::Get()->critical("({} {}) Unexpected DB error {}", kStoreFile, "MySql::MySql",
                               error.what());
  }
  connecting_at_load_ = false;
}

// The first server that answers, in order. When none does, the cool-down has started and the
// store answers "could not ask" until it has passed.
StoreTask<void> MySql::ConnectAtLoad() {
  // An operation that came first connected already.
  if (connection_.IsOpen()) co_return;
  // Each server's reason, logged after the line that says whether the load connected.
  std::vector<std::string> reasons;
  for (std::size_t tried = 0; tried < availability_->ServerCount(); ++tried) {
    const veltrane::DatabaseServer server = availability_->Current();
    if (co_await OpenCurrentServer(kLoadConnectSeconds)) break;
    const daotk::mysql::connection::error error = connection_.OpenError();
    if (availability_->Failed(server, now_()).outage_started)
      unavailable_since_ = std::chrono::system_clock::now();
    if (outage_reasons_.FirstTime(server, error.number))
      reasons.push_back(UnavailableLine(server, error.text));
  }
  if (!connection_.IsOpen()) PluginLog::Get()->critical("Failed to open connection!");
  for (const std::string& reason : reasons) PluginLog::Get()->error(reason);
  if (!connection_.IsOpen()) co_return;
  NoteConnected();
  co_await PrepareTable();
}

StoreTask<bool> MySql::OpenCurrentServer(unsigned int connect_timeout_seconds) {
  const veltrane::DatabaseServer& server = availability_->Current();
  settings_.host = server.host;
  settings_.port = server.port;
  settings_.connect_timeout = connect_timeout_seconds;
  co_return co_await connection_.Open(settings_);
}

// One server needs no naming; with a list the log says which one serves.
void MySql::NoteConnected() {
  const veltrane::DatabaseServer& server = availability_->Current();
  if (availability_->ServerCount() > 1 && connected_server_ != server) {
    PluginLog::Get()->info("Connected to database server {}", veltrane::DescribeServer(server));
  }
  connected_server_ = server;
}

StoreTask<bool> MySql::Reachable() {
  if (availability_ && !switched_off_ && availability_->MayTry(now_())) {
    if (connection_.IsOpen()) co_return true;
    const veltrane::DatabaseServer server = availability_->Current();
    if (co_await OpenCurrentServer(kReconnectSeconds)) {
      NoteConnected();
      // A store that never reached its server at load has no table yet; one whose connection at
      // load was given up is being unloaded, and prepares none.
      if (!table_ready_ && !connection_given_up_) co_await PrepareTable();
      if (connection_.IsOpen()) co_return true;
    } else if (!connection_.LastStepCut()) {
      const daotk::mysql::connection::error error = connection_.OpenError();
      ServerFailed(server, error.number, error.text);
    }
  }
  co_return false;
}

StoreAnswer MySql::AnswerOf(const daotk::mysql::results& result) {
  if (result.succeeded()) return StoreAnswer::Known;
  if (daotk::mysql::IsConnectionFailure(result.error_number()) &&
      daotk::mysql::MayHaveRun(result.error_number())) {
    return StoreAnswer::InDoubt;
  }
  return StoreAnswer::CouldNotAsk;
}

void MySql::ServerAnswered() {
  const std::optional<Clock::duration> outage = availability_->Succeeded(now_());
  if (!outage) return;
  outage_reasons_.EndOutage();
  PluginLog::Get()->info("Database server {} available again after {:.1f} s",
                         veltrane::DescribeServer(availability_->Current()),
                         std::chrono::duration<double>(*outage).count());
}

// The handle is dropped, so that the next attempt connects afresh (with the short timeout, to
// the server the availability names) instead of the library reconnecting on its own.
void MySql::ServerFailed(const veltrane::DatabaseServer& failed, unsigned int error_number,
                         const std::string& error_text) {
  connection_.Close();
  const veltrane::ServerAvailability::Failure failure = availability_->Failed(failed, now_());
  if (failure.outage_started) unavailable_since_ = std::chrono::system_clock::now();
  if (failure.counted && outage_reasons_.FirstTime(failed, error_number))
    PluginLog::Get()->error(UnavailableLine(failed, error_text));
}

StoreState MySql::State() {
  StoreState state;
  if (switched_off_) {
    state.connection = StoreState::Connection::SwitchedOff;
    state.switched_off_reason = switched_off_reason_;
    return state;
  }
  if (!availability_) {  // the settings could not be taken: nothing to talk to
    state.connection = StoreState::Connection::Unavailable;
    return state;
  }
  if (connecting_at_load_) {
    state.connection = StoreState::Connection::Connecting;
    state.server = veltrane::DescribeServer(availability_->Current());
    return state;
  }
  const bool open = connection_.IsOpen();
  state.server = veltrane::DescribeServer(open && connected_server_ ? *connected_server_
                                                                    : availability_->Current());
  if (availability_->InOutage()) {
    state.connection = StoreState::Connection::Unavailable;
    state.unavailable_since = unavailable_since_;
    // The cool-down's end, found by asking when the store may try: the whole seconds to wait.
    const Clock::time_point now = now_();
    std::int64_t wait = 0;
    if (!availability_->MayTry(now)) {
      std::int64_t low = 0;
      std::int64_t high = std::chrono::ceil<std::chrono::seconds>(cool_down_.longest).count();
      while (low < high) {
        const std::int64_t middle = low + (high - low) / 2;
        if (availability_->MayTry(now + std::chrono::seconds(middle))) {
          high = middle;
        } else {
          low = middle + 1;
        }
      }
      wait = low;
    }
    state.next_attempt_in = std::chrono::seconds(wait);
    return state;
  }
  state.connection = open ? StoreState::Connection::Connected : StoreState::Connection::NotYet;
  if (open) state.tls_version = connection_.TlsVersion();
  return state;
}

// Never the password: the server, the database and the library's own words.
std::string MySql::UnavailableLine(const veltrane::DatabaseServer& server,
                                   const std::string& error_text) const {
  return fmt::format("Database server {} (database {}) unavailable: {}",
                     veltrane::DescribeServer(server), settings_.database_name, error_text);
}

// The one way a statement reaches the server. A connection that failed is an outage, logged
// once for all the statements it fails; a statement the server refused is logged each time.
StoreTask<daotk::mysql::results> MySql::Run(std::string_view statement, const char* operation,
                                            std::vector<unsigned int> quiet_errors) {
  // While the connection is open, it is to the current server: a failure moves on and closes it.
  const veltrane::DatabaseServer server = availability_->Current();
  daotk::mysql::results result = co_await connection_.Query(statement);
  if (result.succeeded()) {
    ServerAnswered();
  } else if (connection_.LastStepCut()) {
    // An admin's deadline ended it, not the server: the next statement connects afresh.
    connection_.Close();
  } else if (daotk::mysql::IsConnectionFailure(result.error_number())) {
    ServerFailed(server, result.error_number(), result.error_text());
  } else if (result.refused_by_server()) {
    // No answer either, though no outage: a refused question must not read as "no" to a player
    // (a dropped table or a revoked right would otherwise turn every code into a wrong one).
    if (IsQuiet(result.error_number(), quiet_errors)) co_return result;
    PluginLog::Get()->error("({} {}) The server refused the statement: error {}: {}", kStoreFile,
                            operation, result.error_number(), result.error_text());
  }
  co_return result;
}

StoreTask<daotk::mysql::results> MySql::RunOn(veltrane::StoreChannel& connection,
                                              std::string_view statement, const char* operation,
                                              std::vector<unsigned int> quiet_errors) {
  daotk::mysql::results result = co_await connection.Query(statement);
  if (result.refused_by_server() && !IsQuiet(result.error_number(), quiet_errors)) {
    PluginLog::Get()->error("({} {}) The server refused the statement: error {}: {}", kStoreFile,
                            operation, result.error_number(), result.error_text());
  }
  co_return result;
}

// Every text value is escaped on the open connection before it is placed between a template's
// quotes; a value that cannot be escaped is an error line, and nothing is sent.
std::optional<std::string> MySql::Escape(std::string_view value, const char* operation) {
  std::optional<std::string> escaped = connection_.Escape(value);
  // A closed connection escapes nothing and sends nothing either; only an open one is news.
  if (!escaped && connection_.IsOpen()) {
    PluginLog::Get()->error("({} {}) A value could not be escaped; nothing was sent", kStoreFile,
                            operation);
  }
  return escaped;
}
