#pragma once
// One client connection to the MySQL/MariaDB server over the C API. One mutex serialises every
// use of the handle; the layer formats and logs nothing and never retries on its own. Beside the
// caller's statements it sends only the settings' session question, once on each session.

#include <errmsg.h>
#include <mysql.h>

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/ConnectionSettings.h"
#include "Database/NonBlockingConnection.h"
#include "Database/Results.h"
#include "Database/SessionOptions.h"

namespace daotk::mysql {

class connection {
 public:
  connection() = default;
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;
  virtual ~connection() { close(); }

  // Opens a new handle (closing one held before). False when the server cannot be reached, the
  // credentials are refused, an option is not taken or the server offers no TLS that the mode
  // asks for; the connection is closed then and open_error() tells why.
  //
  // It opens through the non-blocking calls, driven here until the connection is made, so that a
  // server's greeting without TLS is refused before the library answers it (ServerGreeting.h);
  // the handle is then used with the blocking calls, which the library allows.
  bool open(const connection_settings& settings) {
    std::lock_guard lock(mutex_);
    close_handle();
    open_error_ = {};
    NonBlockingConnection opening;
    const NonBlockingConnection::Clock::time_point now = NonBlockingConnection::Clock::now();
    const NonBlockingConnection::Clock::time_point deadline =
        settings.connect_timeout == 0 ? NonBlockingConnection::Clock::time_point::max()
                                      : now + std::chrono::seconds(settings.connect_timeout);
    opening.StartOpen(settings, now, deadline);
    opening.DriveUntil(deadline);
    if (!opening.IsOpen()) {
      open_error_ = opening.OpenError();
      return false;
    }
    handle_ = opening.ReleaseHandle();
    if (!set_reconnection(settings)) {
      open_error_ = detail::OptionsRefused(handle_);
      close_handle();
      return false;
    }
    session_query_ = settings.session_query;
    session_ = {mysql_thread_id(handle_), {}};
    describe_session();
    return true;
  }

  // Why the last open() failed, as the client library said it; 0 and empty after a success.
  using error = connection_error;
  error open_error() {
    std::lock_guard lock(mutex_);
    return open_error_;
  }

  // Safe to call on a closed connection and more than once.
  void close() {
    std::lock_guard lock(mutex_);
    close_handle();
  }

  bool is_open() {
    std::lock_guard lock(mutex_);
    return handle_ != nullptr;
  }

  // The TLS version of the open session ("TLSv1.3"); empty without TLS or while closed.
  std::string tls_version() {
    std::lock_guard lock(mutex_);
    return detail::TlsVersion(handle_);
  }

  // The server's id of this connection's session (its thread id, as KILL and the process list
  // name it); 0 while closed.
  unsigned long thread_id() {
    std::lock_guard lock(mutex_);
    return handle_ != nullptr ? mysql_thread_id(handle_) : 0;
  }

  // A session of the server: its id, and the first row that the settings' session_query answered
  // on it, every column as text; no row when it was not asked, failed, or held a NULL.
  struct session {
    unsigned long thread_id = 0;
    std::vector<std::string> described;
  };

  // The session the last statement was sent on, kept after a failure and a close: the library's
  // own reconnection may have given the statement another session than the one opened, which is
  // described only once a statement there has been answered.
  session statement_session() {
    std::lock_guard lock(mutex_);
    return statement_session_;
  }

  // Runs one statement, sent as bytes. A closed connection gives a failed result without calling
  // the library. A dropped connection is re-established by the library when auto_reconnect is set.
  results query(std::string_view statement) {
    std::lock_guard lock(mutex_);
    if (handle_ == nullptr) return {};
    const int failed = mysql_real_query(handle_, statement.data(), statement.size());
    note_reconnection();
    statement_session_ = session_;
    if (failed != 0) return failure();
    MYSQL_RES* result_set = mysql_store_result(handle_);
    // No result set although the statement has columns: its rows were lost on the way. The error
    // is asked as well: a connection lost while the rows came has forgotten the columns.
    if (result_set == nullptr && (mysql_field_count(handle_) != 0 || mysql_errno(handle_) != 0)) {
      return failure();
    }
    const my_ulonglong affected = mysql_affected_rows(handle_);
    results answered(handle_, result_set,
                     affected == static_cast<my_ulonglong>(-1) ? 0 : std::uint64_t{affected});
    if (!session_asked_) {
      describe_session();
      if (session_.thread_id == statement_session_.thread_id) statement_session_ = session_;
    }
    return answered;
  }

  // The text escaped for a quoted SQL literal under the connection's character set and SQL mode;
  // nothing when the connection is closed.
  std::optional<std::string> escape(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (handle_ == nullptr) return std::nullopt;
    std::string escaped(text.size() * 2 + 1, '\0');
    const unsigned long length =
        mysql_real_escape_string(handle_, escaped.data(), text.data(), text.size());
    if (length == static_cast<unsigned long>(-1)) return std::nullopt;
    escaped.resize(length);
    return escaped;
  }

 private:
  // The library's own reconnection of a dropped handle, where the mode lets it, with the connect
  // timeout it reads then rather than the one the handle was opened with.
  bool set_reconnection(const connection_settings& settings) {
    if (settings.auto_reconnect && !detail::LibraryMayFallBack(settings.security)) {
      const my_bool reconnect = 1;
      if (mysql_options(handle_, MYSQL_OPT_RECONNECT, &reconnect) != 0) return false;
    }
    unsigned int seconds = settings.reconnect_timeout;
    return seconds == 0 || mysql_options(handle_, MYSQL_OPT_CONNECT_TIMEOUT, &seconds) == 0;
  }

  results failure() const { return results(mysql_errno(handle_), mysql_error(handle_)); }

  // The library reconnects on its own inside a statement; the session it made is not described.
  void note_reconnection() {
    const unsigned long thread_id = mysql_thread_id(handle_);
    if (thread_id == session_.thread_id) return;
    session_ = {thread_id, {}};
    session_asked_ = false;
  }

  // Asks session_query once for the current session. A session the library replaced meanwhile
  // stays undescribed, to be asked after its first statement.
  void describe_session() {
    session_asked_ = true;
    if (session_query_.empty()) return;
    const int failed = mysql_real_query(handle_, session_query_.data(), session_query_.size());
    const unsigned long asked_on = session_.thread_id;
    note_reconnection();
    if (failed != 0) return;
    MYSQL_RES* result_set = mysql_store_result(handle_);
    if (result_set == nullptr) return;
    std::vector<std::string> row;
    const unsigned int columns = mysql_num_fields(result_set);
    const MYSQL_ROW first = mysql_fetch_row(result_set);
    const unsigned long* lengths = first != nullptr ? mysql_fetch_lengths(result_set) : nullptr;
    for (unsigned int column = 0; lengths != nullptr && column < columns; ++column) {
      if (first[column] == nullptr) {
        row.clear();
        break;
      }
      row.emplace_back(first[column], lengths[column]);
    }
    mysql_free_result(result_set);
    if (session_.thread_id == asked_on) session_.described = std::move(row);
  }

  void close_handle() noexcept {
    if (handle_ != nullptr) mysql_close(handle_);
    handle_ = nullptr;
  }

  std::mutex mutex_;
  MYSQL* handle_ = nullptr;
  error open_error_;
  std::string session_query_;
  session session_;
  bool session_asked_ = false;
  session statement_session_;
};

}  // namespace daotk::mysql
