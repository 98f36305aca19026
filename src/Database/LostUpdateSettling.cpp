// Settling a link update whose answer was lost (Database/LostUpdates.h) before its row is judged:
// its session is ended on the server it was sent to, through a new connection, and the row is
// read there. Until that server answers, IsRowLinkedTo cannot tell. Only a session that is
// provably the update's own is ended: every session of the store is described once, when it
// begins (SessionQuery), and a session is ended only when all of that still matches.

#include <fmt/format.h>
#include <mysqld_error.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/LinkedRowCondition.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"

namespace {

// When the server started, in Unix seconds. MariaDB counts Uptime from its start to the
// statement's own time, which UNIX_TIMESTAMP() reads too: every statement of one run of the
// server gets the same number, and a restart a later one.
constexpr std::string_view kServerStarted =
    "UNIX_TIMESTAMP() - (SELECT CAST(VARIABLE_VALUE AS SIGNED) FROM "
    "information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'UPTIME')";

// Whether the row links the player.
std::string RowLinkedStatement(int row_id, std::string_view escaped_eos_id) {
  return fmt::format("SELECT COUNT(*) FROM player_discord WHERE id = {} AND eos_id = '{}' AND {};",
                     row_id, escaped_eos_id, veltrane::detail::LinkedRow());
}

}  // namespace

// A user always sees its own sessions in the process list, and every user the global status.
std::string MySql::SessionQuery() {
  return fmt::format(
      "SELECT HOST, @@server_id, @@hostname, {} FROM information_schema.PROCESSLIST WHERE ID = "
      "CONNECTION_ID();",
      kServerStarted);
}

StoreTask<Answered<bool>> MySql::IsRowLinkedTo(int row_id, std::string eos_id) {
  constexpr const char* kOperation = "MySql::IsRowLinkedTo";
  constexpr Answered<bool> kNotAsked{false, StoreAnswer::CouldNotAsk};
  try {
    // An update of this row by this player that may still run is ended first; the row is then
    // read on its server, where the update would have committed.
    std::optional<bool> linked;
    while (veltrane::LostUpdate* lost = lost_updates_.Find(row_id, eos_id)) {
      linked = co_await SettleLostUpdate(*lost, kOperation);
      if (!linked) co_return kNotAsked;
      // Found again: an admin command may have settled it meanwhile.
      if (veltrane::LostUpdate* settled = lost_updates_.Find(row_id, eos_id)) {
        lost_updates_.Remove(settled);
      }
    }
    if (linked) co_return {*linked, StoreAnswer::Known};

    if (!co_await Reachable()) co_return kNotAsked;
    const std::optional<std::string> escaped_eos_id = Escape(eos_id, kOperation);
    int count = 0;
    if (!escaped_eos_id) co_return kNotAsked;
    daotk::mysql::results result =
        co_await Run(RowLinkedStatement(row_id, *escaped_eos_id), kOperation);
    if (!result.first_value(count)) co_return kNotAsked;
    co_return {count > 0, StoreAnswer::Known};
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", kStoreFile, kOperation, error.what());
    co_return kNotAsked;
  }
}

// Whether the lost update's row holds its player, once its session is gone; nothing when that
// could not be made sure of. A server that does not answer is not tried again before a
// cool-down has passed.
StoreTask<std::optional<bool>> MySql::SettleLostUpdate(veltrane::LostUpdate& lost,
                                                       const char* operation) {
  const Clock::time_point now = now_();
  if (now < lost.retry_at) co_return std::nullopt;
  lost.retry_at = now + cool_down_.first;
  // A copy from here on: the list that holds the lost update may change while this waits.
  const veltrane::LostUpdate update = lost;

  daotk::mysql::connection_settings settings = settings_;
  settings.host = update.server.host;
  settings.port = update.server.port;
  settings.connect_timeout = kReconnectSeconds;
  settings.auto_reconnect = false;
  settings.session_query.clear();  // it sends no update, so it is never a lost one's session
  const int row_id = update.row_id;
  const std::string& eos_id = update.eos_id;
  const veltrane::DatabaseServer& server = update.server;
  veltrane::StoreChannel on_its_server(driver_.get());
  if (!co_await on_its_server.Open(settings) ||
      !co_await EndSession(on_its_server, update, operation)) {
    co_return std::nullopt;
  }
  const std::optional<std::string> escaped_eos_id = on_its_server.Escape(eos_id);
  int count = 0;
  if (!escaped_eos_id) co_return std::nullopt;
  daotk::mysql::results result =
      co_await RunOn(on_its_server, RowLinkedStatement(row_id, *escaped_eos_id), operation);
  if (!result.first_value(count)) co_return std::nullopt;
  // The server that the store's outage is about answers again.
  if (availability_->Current() == server) ServerAnswered();
  co_return count > 0;
}

// Ends the session that the lost update was sent on and waits until the server has let it go, so
// that the update can no longer change its row. The whole session, not only its statement: a
// statement still on its way through the network would otherwise run on it afterwards.
//
// Only that very session is ended: the same id, user and client address and port, on the same
// server in the same run of it. A server that restarted hands the ids out again, to any session
// of this user, such as another game server's; that one, like a session that is gone, has nothing
// of the update left to run, and is left alone. The server's start may read a second off, for a
// server that reads its clock twice (no server starts again within a second of its last start).
// A session that the store could not describe is never ended.
StoreTask<bool> MySql::EndSession(veltrane::StoreChannel& connection,
                                  const veltrane::LostUpdate& lost, const char* operation) {
  const bool store_has_that_id = connected_server_ == lost.server && connection_.IsOpen() &&
                                 connection_.ThreadId() == lost.thread_id;
  if (connection.ThreadId() == lost.thread_id || store_has_that_id) co_return true;
  constexpr std::size_t kDescribed = 4;  // SessionQuery's columns
  if (lost.session.size() != kDescribed) co_return true;
  std::array<std::string, kDescribed> escaped;
  for (std::size_t column = 0; column < kDescribed; ++column) {
    std::optional<std::string> value = connection.Escape(lost.session[column]);
    if (!value) co_return false;
    escaped[column] = std::move(*value);
  }
  const std::string still_there = fmt::format(
      "SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID = {} AND USER = "
      "SUBSTRING_INDEX(CURRENT_USER(), '@', 1) AND HOST = '{}' AND @@server_id = '{}' AND "
      "@@hostname = '{}' AND ABS({} - '{}') <= 1;",
      lost.thread_id, escaped[0], escaped[1], escaped[2], kServerStarted, escaped[3]);
  // A real wait for the server, on the real clock.
  const Clock::time_point give_up = Clock::now() + std::chrono::seconds(kReconnectSeconds);
  bool kill_sent = false;
  while (true) {
    int sessions = 0;
    daotk::mysql::results looked = co_await RunOn(connection, still_there, operation);
    if (!looked.first_value(sessions)) co_return false;
    if (sessions == 0) co_return true;
    if (!kill_sent) {
      // By id, right after the look on this same connection: the server cannot have restarted in
      // between without ending this connection too, nor given the id to another session.
      const std::vector<unsigned int> kEndedOrRefused{ER_NO_SUCH_THREAD, ER_KILL_DENIED_ERROR};
      const daotk::mysql::results killed =
          co_await RunOn(connection, fmt::format("KILL CONNECTION {};", lost.thread_id), operation,
                         kEndedOrRefused);
      kill_sent = true;
      // Gone meanwhile, or refused: the next look tells.
      if (killed.succeeded() || killed.error_number() == ER_NO_SUCH_THREAD ||
          killed.error_number() == ER_KILL_DENIED_ERROR) {
        continue;
      }
      co_return false;
    }
    if (Clock::now() >= give_up) co_return false;
    co_await connection.Pause(std::chrono::milliseconds(5));
  }
}
