#pragma once
// One client connection to the MySQL/MariaDB server over Connector/C's non-blocking calls, for a
// thread that must never wait on the network (the game thread). An operation (opening, or one
// statement) is started, then taken on by Advance(now) at each tick: it polls the socket without
// waiting and lets the library go on when what it waits for is ready. No thread is started.
//
// Time: each operation has a deadline on the steady clock, given by the caller, who also says what
// time it is, so that a test can move the time instead of waiting. The library's own timeouts (the
// settings' connect, read and write timeouts, each per wait on the socket) end an operation too.
// When a deadline passes with nothing ready, the library is told that its wait timed out: it fails
// the operation as a timed-out read or write fails in blocking mode, and the connection is closed.
// A statement waiting for its answer fails with CR_SERVER_LOST (it may have run: "in doubt" for
// ConnectionFailure.h); one that could not be sent whole, with CR_SERVER_GONE_ERROR (it did not).
//
// Unlike daotk::mysql::connection it never reconnects on its own (the library's reconnection would
// wait inside the library): a statement that fails as a connection failure (IsConnectionFailure)
// closes the connection, and the caller opens a new one.
//
// A connection whose settings ask for TLS gives the library nothing while it waits for the
// server's greeting, until the greeting has come whole: one that offers no TLS ends the open at
// once, before the library could answer it in clear (ServerGreeting.h).
//
// What may still wait: StartOpen resolves a host name with the system's resolver, inside the
// library (an IP address is not looked up); DriveUntil waits by design. Whether the library's TLS
// waits inside its calls depends on its version (docs/client-libraries.md); the plugin's load
// refuses a non-blocking store with TLS where it does. One thread uses an object.

#include <mysql.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "Database/ConnectionSettings.h"
#include "Database/Results.h"
#include "Database/SessionOptions.h"

namespace daotk::mysql {

class NonBlockingConnection {
 public:
  using Clock = std::chrono::steady_clock;

  NonBlockingConnection() = default;
  NonBlockingConnection(const NonBlockingConnection&) = delete;
  NonBlockingConnection& operator=(const NonBlockingConnection&) = delete;
  ~NonBlockingConnection() { Close(); }

  // Starts opening a new handle with settings (closing one held before), with the session's options
  // (SessionOptions.h) and client flags 0; auto_reconnect and reconnect_timeout are not used. Once
  // Advance has finished it, IsOpen() says whether it succeeded and OpenError() why not. Throws
  // std::logic_error while an operation is in flight.
  void StartOpen(const connection_settings& settings, Clock::time_point now,
                 Clock::time_point deadline);

  // Starts one statement, sent as bytes (copied: the view need not outlive the call). Once
  // Advance has finished it, TakeResult() gives its outcome. On a closed connection it finishes at
  // once, failed without calling the library, as query() of the blocking connection does. Throws
  // std::logic_error while an operation is in flight.
  void StartQuery(std::string_view statement, Clock::time_point now, Clock::time_point deadline);

  // Takes the operation in flight as far as it can go without waiting, and answers true when no
  // operation is in flight any more (it finished now or before). Polls the socket for what the
  // library waits for, with no timeout, and continues the operation when that is ready; when
  // nothing is ready and the operation's deadline or the library's own timeout has passed at now,
  // ends it as timed out and closes the connection.
  bool Advance(Clock::time_point now);

  // As Advance, but waiting on the socket, until the operation has finished (true) or deadline has
  // passed on the steady clock (false: it is still in flight, and Close() ends it). The one call
  // that waits: for the plugin's unload. The operation's own deadline still ends it.
  bool DriveUntil(Clock::time_point deadline);

  bool InFlight() const { return step_ != Step::Idle; }

  // Connected, and no open in flight; a statement may be in flight.
  bool IsOpen() const { return handle_ != nullptr && step_ != Step::Connecting; }

  // Why the last open failed, as the client library said it; 0 and empty after a success.
  connection_error OpenError() const { return open_error_; }

  // The TLS version of the open session ("TLSv1.3"); empty without TLS or while closed.
  std::string TlsVersion() const { return IsOpen() ? detail::TlsVersion(handle_) : std::string(); }

  // The outcome of the last statement that finished, once; a failed result with no error (as from
  // a closed connection) when there is none or it was taken. It owns its result set and may
  // outlive the connection.
  results TakeResult();

  // The session (the server's thread id) the last statement was sent on, kept after a failure and
  // a close: the session a lost update must be ended on.
  unsigned long StatementThreadId() const { return statement_thread_id_; }

  // The server's id of this connection's session; 0 unless open.
  unsigned long ThreadId() const;

  // The text escaped for a quoted SQL literal under the connection's character set and SQL mode,
  // on the open handle without any I/O; nothing unless open.
  std::optional<std::string> Escape(std::string_view text) const;

  // Hands the open handle over to the caller, who closes it; the connection is closed after. Only
  // when open with no operation in flight; null otherwise.
  MYSQL* ReleaseHandle() noexcept;

  // Ends an operation in flight as timed out (a statement's result then reads as lost), then says
  // goodbye to the server only if the socket takes it at once, and frees the handle. Never waits
  // for the network. Safe to call on a closed connection and more than once.
  void Close() noexcept;

 private:
  // Connecting: mysql_real_connect; Querying: mysql_real_query (sending the statement and reading
  // the first packet of its answer); Storing: mysql_store_result (the rows).
  enum class Step { Idle, Connecting, Querying, Storing };

  void RequireIdle(const char* operation) const;
  // Hands the library the events that are ready (or MYSQL_WAIT_TIMEOUT) and settles what it
  // answered.
  void Continue(int ready_events, Clock::time_point now);
  // After the library returned: either it waits again (noted with its own timeout) or the step
  // has ended, and the next one starts.
  void Settle(Clock::time_point now);
  void FinishOpen();
  void FinishStatement(results outcome);
  results Failure() const;
  // The events the library waits for that the socket is ready for, after waiting at most timeout.
  // While the greeting is awaited, none until it has come whole and offers TLS; one without TLS
  // ends the open.
  int ReadyEvents(std::chrono::milliseconds timeout);
  int GreetingEvents(my_socket socket, int wanted, std::chrono::milliseconds timeout);
  // When the wait in progress ends: the operation's deadline or the library's own timeout.
  Clock::time_point WaitDeadline() const;
  void EndAsTimedOut(Clock::time_point now) noexcept;
  void CloseHandle() noexcept;

  MYSQL* handle_ = nullptr;
  Step step_ = Step::Idle;
  // Opening with TLS asked, and the server's greeting not yet read.
  bool greeting_awaited_ = false;
  int wait_status_ = 0;  // MYSQL_WAIT_* the library waits for; 0 when it does not
  Clock::time_point deadline_{};
  Clock::time_point library_deadline_ = Clock::time_point::max();

  // Kept while the library may read them: the settings until connected, the statement until sent.
  connection_settings open_settings_;
  std::string statement_;
  // Where the library writes each step's answer.
  MYSQL* connected_ = nullptr;
  int query_failed_ = 0;
  MYSQL_RES* result_set_ = nullptr;

  connection_error open_error_;
  results result_;
  unsigned long statement_thread_id_ = 0;
};

}  // namespace daotk::mysql
