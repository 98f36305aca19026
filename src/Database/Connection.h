#pragma once
// One client connection to the MySQL/MariaDB server over the C API. One mutex serialises every
// use of the handle; the layer formats and logs nothing and never retries on its own. Beside the
// caller's statements it sends only the settings' session question, once on each session.

#include <errmsg.h>
#include <mysql.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/ConnectionSettings.h"
#include "Database/Results.h"

namespace daotk::mysql {

namespace detail {

// TLS as the mode asks, and where the authentication plugins are. The certificate check is set
// either way, since a newer library checks it unless told not to. False when the library refuses
// an option.
inline bool SetSecurityOptions(MYSQL* handle, const connection_security& security) {
  if (!security.client_plugin_dir.empty() &&
      mysql_options(handle, MYSQL_PLUGIN_DIR, security.client_plugin_dir.c_str()) != 0) {
    return false;
  }
  if (security.tls == tls_mode::disabled) return true;
  const my_bool enforce = 1;
  const my_bool check_identity = security.tls == tls_mode::verify_identity ? 1 : 0;
  // With a CA the library checks that the certificate chains to it; the host's name in it only
  // when told to check the server's certificate.
  const bool with_ca = security.tls != tls_mode::required;
  return mysql_options(handle, MYSQL_OPT_SSL_ENFORCE, &enforce) == 0 &&
         mysql_options(handle, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &check_identity) == 0 &&
         (!with_ca || mysql_options(handle, MYSQL_OPT_SSL_CA, security.tls_ca.c_str()) == 0);
}

// The library goes on without TLS when the server offers none, unless it checks the certificate's
// host: a mode that asks for TLS refuses such a session itself, and a handle of such a mode must
// not be reconnected by the library, which would send the statement on whatever session it got.
inline bool LibraryMayFallBack(const connection_security& security) {
  return security.tls == tls_mode::required || security.tls == tls_mode::verify_ca;
}
inline constexpr char kNoTlsText[] =
    "TLS/SSL error: the server did not start TLS, which the TlsMode asks for";

// The TLS version the open handle talks ("TLSv1.3"); empty without TLS.
inline std::string TlsVersion(MYSQL* handle) {
  const char* version = nullptr;
  if (handle == nullptr ||
      mariadb_get_infov(handle, MARIADB_CONNECTION_TLS_VERSION, &version) != 0 ||
      version == nullptr) {
    return {};
  }
  return version;
}

// The options every connection opens with, in this order: character set, connect timeout, the
// read and write timeouts, the init command, then TLS and the plugins' folder. False when the
// library refuses one.
inline bool SetSessionOptions(MYSQL* handle, const connection_settings& settings) {
  if (!settings.charset.empty() &&
      mysql_options(handle, MYSQL_SET_CHARSET_NAME, settings.charset.c_str()) != 0) {
    return false;
  }
  const auto set_seconds = [handle](mysql_option option, unsigned int seconds) {
    return seconds == 0 || mysql_options(handle, option, &seconds) == 0;
  };
  return set_seconds(MYSQL_OPT_CONNECT_TIMEOUT, settings.connect_timeout) &&
         set_seconds(MYSQL_OPT_READ_TIMEOUT, settings.read_timeout) &&
         set_seconds(MYSQL_OPT_WRITE_TIMEOUT, settings.write_timeout) &&
         (settings.init_command.empty() ||
          mysql_options(handle, MYSQL_INIT_COMMAND, settings.init_command.c_str()) == 0) &&
         SetSecurityOptions(handle, settings.security);
}

}  // namespace detail

class connection {
 public:
  connection() = default;
  connection(const connection&) = delete;
  connection& operator=(const connection&) = delete;
  virtual ~connection() { close(); }

  // Opens a new handle (closing one held before). False when the server cannot be reached, the
  // credentials are refused or an option is not taken; the connection is closed then and
  // open_error() tells why.
  bool open(const connection_settings& settings) {
    std::lock_guard lock(mutex_);
    close_handle();
    open_error_ = {};
    handle_ = mysql_init(nullptr);
    if (handle_ == nullptr) {
      open_error_ = {CR_OUT_OF_MEMORY, "mysql_init failed"};
      return false;
    }
    // Client flags 0: no CLIENT_FOUND_ROWS, so that an UPDATE reports the rows it changed, not
    // the rows it matched (the loser of a race for a code must see 0), nor several statements.
    if (!set_options(settings) ||
        mysql_real_connect(handle_, settings.host.c_str(), settings.user.c_str(),
                           settings.password.c_str(), settings.database_name.c_str(), settings.port,
                           nullptr, 0) == nullptr ||
        !set_reconnect_timeout(settings)) {
      open_error_ = {mysql_errno(handle_), mysql_error(handle_)};
      close_handle();
      return false;
    }
    if (settings.security.tls != tls_mode::disabled && detail::TlsVersion(handle_).empty()) {
      open_error_ = {CR_SSL_CONNECTION_ERROR, detail::kNoTlsText};
      close_handle();
      return false;
    }
    session_query_ = settings.session_query;
    session_ = {mysql_thread_id(handle_), {}};
    describe_session();
    return true;
  }

  // Why the last open() failed, as the client library said it; 0 and empty after a success.
  struct error {
    unsigned int number = 0;
    std::string text;
  };
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
  // Reconnect first, then the options of every connection.
  bool set_options(const connection_settings& settings) {
    if (settings.auto_reconnect && !detail::LibraryMayFallBack(settings.security)) {
      const my_bool reconnect = 1;
      if (mysql_options(handle_, MYSQL_OPT_RECONNECT, &reconnect) != 0) return false;
    }
    return detail::SetSessionOptions(handle_, settings);
  }

  // The library's own reconnection of a dropped handle reads the connect timeout then, not when
  // the handle was opened.
  bool set_reconnect_timeout(const connection_settings& settings) {
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
