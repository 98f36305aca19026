// Settling the writes that the store sent and gave up on (Database/WritesInDoubt.h): each one's
// session is ended on the server it was sent to, through a new connection, and its question is
// asked there; its follow-up then runs with the answer. Until that server answers, the write stays
// in doubt, across reconnections and a restart of the server. Only a session that is provably the
// write's own is ended: every session of the store is described once, when it begins
// (SessionQuery), and a session is ended only when all of that still matches.

#include <fmt/format.h>
#include <mysqld_error.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"

namespace {

// When the server started, in Unix seconds. MariaDB counts Uptime from its start to the
// statement's own time, which UNIX_TIMESTAMP() reads too: every statement of one run of the
// server gets the same number, and a restart a later one.
constexpr std::string_view kServerStarted =
    "UNIX_TIMESTAMP() - (SELECT CAST(VARIABLE_VALUE AS SIGNED) FROM "
    "information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'UPTIME')";

const char* NameOf(veltrane::WriteKind kind) {
  switch (kind) {
    case veltrane::WriteKind::LinkUpdate:
      return "link update";
    case veltrane::WriteKind::LogoutRefresh:
      return "logout refresh";
    case veltrane::WriteKind::Deletion:
      return "deletion";
  }
  return "write";
}

}  // namespace

// A user always sees its own sessions in the process list, and every user the global status.
std::string MySql::SessionQuery() {
  return fmt::format(
      "SELECT HOST, @@server_id, @@hostname, {} FROM information_schema.PROCESSLIST WHERE ID = "
      "CONNECTION_ID();",
      kServerStarted);
}

void MySql::BeginWrite(std::vector<veltrane::WriteInDoubt> writes) {
  writes_in_flight_ = std::move(writes);
}

void MySql::EndWrite(StoreAnswer answer) {
  std::vector<veltrane::WriteInDoubt> writes = std::exchange(writes_in_flight_, {});
  if (answer == StoreAnswer::InDoubt) KeepInDoubt(std::move(writes));
}

// The session the write was sent on is still known after its connection failed or was closed.
void MySql::KeepInDoubt(std::vector<veltrane::WriteInDoubt> writes) {
  if (!connected_server_) return;
  const daotk::mysql::connection::session sent_on = connection_.StatementSession();
  for (veltrane::WriteInDoubt& write : writes) {
    write.server = *connected_server_;
    write.thread_id = sent_on.thread_id;
    write.session = sent_on.described;
    const std::optional<veltrane::WriteInDoubt> given_up = writes_in_doubt_.Add(std::move(write));
    if (given_up) {
      PluginLog::Get()->warn(
          "{} writes wait to be settled; the {} for EOS id {} on {} is given up unsettled.",
          veltrane::WritesInDoubt::kMostRemembered, NameOf(given_up->kind), given_up->eos_id,
          veltrane::DescribeServer(given_up->server));
    }
  }
}

void MySql::FollowUp(std::uint64_t serial, bool holds) {
  std::optional<veltrane::WriteInDoubt> settled = writes_in_doubt_.Take(serial);
  if (!settled || !settled->follow_up) return;
  try {
    settled->follow_up(settled->eos_id, holds);
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected error after a {} was settled: {}", kStoreFile,
                            "MySql::SettleWritesInDoubt", NameOf(settled->kind), error.what());
  }
}

// A server that cannot be asked is left for this round: its other writes would fail the same way.
StoreTask<void> MySql::SettleWritesInDoubt(bool every_one) {
  constexpr const char* kOperation = "MySql::SettleWritesInDoubt";
  try {
    std::vector<veltrane::DatabaseServer> failed;
    for (int tried = 0; tried < kSettledPerRound; ++tried) {
      const Clock::time_point now = now_();
      const veltrane::WriteInDoubt* next =
          writes_in_doubt_.Oldest([&](const veltrane::WriteInDoubt& write) {
            return (every_one || now >= write.retry_at) &&
                   std::find(failed.begin(), failed.end(), write.server) == failed.end();
          });
      if (next == nullptr) break;
      // A copy: the list may change while this waits.
      const veltrane::WriteInDoubt write = *next;
      const std::optional<bool> holds = co_await Settle(write, kOperation);
      if (holds) {
        FollowUp(write.serial, *holds);
      } else {
        failed.push_back(write.server);
        writes_in_doubt_.Postpone(write.server, now_(), cool_down_);
      }
    }
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", kStoreFile, kOperation, error.what());
  }
}

StoreTask<LinkInDoubt> MySql::DecideLinkInDoubt(std::string eos_id) {
  constexpr const char* kOperation = "MySql::DecideLinkInDoubt";
  try {
    const veltrane::WriteInDoubt* found = writes_in_doubt_.LinkUpdateOf(eos_id);
    if (found == nullptr) co_return LinkInDoubt::None;
    // A server that is away costs the player's commands no wait before the first cool-down has
    // passed since the last try; the tick's longer waits are not his.
    if (found->tried_at && now_() < *found->tried_at + cool_down_.first) {
      co_return LinkInDoubt::Undecided;
    }
    const veltrane::WriteInDoubt write = *found;
    const std::optional<bool> holds = co_await Settle(write, kOperation);
    if (!holds) {
      writes_in_doubt_.Postpone(write.server, now_(), cool_down_);
      co_return LinkInDoubt::Undecided;
    }
    FollowUp(write.serial, *holds);
    co_return *holds ? LinkInDoubt::Landed : LinkInDoubt::DidNotLand;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", kStoreFile, kOperation, error.what());
    co_return LinkInDoubt::Undecided;
  }
}

// A connection of its own to the write's server, each of its waits bounded by the short connect
// timeout: a blocking store settles on the game thread.
StoreTask<std::optional<bool>> MySql::Settle(const veltrane::WriteInDoubt& write,
                                             const char* operation) {
  daotk::mysql::connection_settings settings = settings_;
  settings.host = write.server.host;
  settings.port = write.server.port;
  settings.connect_timeout = kReconnectSeconds;
  settings.read_timeout = settings.write_timeout = kReconnectSeconds;
  settings.init_command = SessionInitCommand(kReconnectSeconds);
  settings.auto_reconnect = false;
  settings.session_query.clear();  // it sends no write, so it is never a lost one's session
  veltrane::StoreChannel on_its_server(driver_.get());
  if (!co_await on_its_server.Open(settings) ||
      !co_await EndSession(on_its_server, write, operation)) {
    co_return std::nullopt;
  }
  int count = 0;
  daotk::mysql::results result = co_await RunOn(on_its_server, write.question, operation);
  if (!result.first_value(count)) co_return std::nullopt;
  // The server that the store's outage is about answers again.
  if (availability_->Current() == write.server) ServerAnswered();
  co_return count > 0;
}

// Ends the session that the write was sent on and waits until the server has let it go, so that
// the write can no longer change the table. The whole session, not only its statement: a
// statement still on its way through the network would otherwise run on it afterwards.
//
// Only that very session is ended: the same id, user and client address and port, on the same
// server in the same run of it. A server that restarted hands the ids out again, to any session
// of this user, such as another game server's; that one, like a session that is gone, has nothing
// of the write left to run, and is left alone. The server's start may read a second off, for a
// server that reads its clock twice (no server starts again within a second of its last start).
// A session that the store could not describe is never ended.
StoreTask<bool> MySql::EndSession(veltrane::StoreChannel& connection,
                                  const veltrane::WriteInDoubt& lost, const char* operation) {
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
