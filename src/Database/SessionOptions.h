#pragma once
// What every connection of the store, blocking or not, sets on its handle before it connects, and
// what it may ask of the handle afterwards.

#include <errmsg.h>
#include <mysql.h>

#include <string>

#include "Database/ConnectionSettings.h"

namespace daotk::mysql {

// Why an open failed, as the client library said it; 0 and empty after a success.
struct connection_error {
  unsigned int number = 0;
  std::string text;
};

namespace detail {

// The authentication methods a connection may use, none of which sends the password in clear:
// MySQL's native and caching SHA-2 methods, MariaDB's ed25519 and PARSEC. The library refuses a
// server that asks for another (mysql_clear_password, dialog) before it answers.
inline constexpr char kAllowedAuthentication[] =
    "mysql_native_password,caching_sha2_password,client_ed25519,parsec";

// TLS as the mode asks, where the authentication plugins are, and which methods they may use. The
// certificate check is set either way, since a newer library checks it unless told not to. False
// when the library refuses an option.
inline bool SetSecurityOptions(MYSQL* handle, const connection_security& security) {
  if (!security.client_plugin_dir.empty() &&
      mysql_options(handle, MYSQL_PLUGIN_DIR, security.client_plugin_dir.c_str()) != 0) {
    return false;
  }
  if (mysql_options(handle, MARIADB_OPT_RESTRICTED_AUTH, kAllowedAuthentication) != 0) return false;
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
// host: a session it opened on its own, as its reconnection does, is not checked by the plugin
// for TLS, so a handle of such a mode must not be reconnected by the library.
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
// read and write timeouts, the init command, then TLS, the plugins' folder and the authentication
// methods. False when the library refuses one.
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

// Why SetSessionOptions failed: the library's error, or a word of ours when it set none.
inline connection_error OptionsRefused(MYSQL* handle) {
  if (mysql_errno(handle) != 0) return {mysql_errno(handle), mysql_error(handle)};
  return {CR_UNKNOWN_ERROR,
          "the client library refused an option of the connection (its timeouts, TLS, the "
          "plugins' folder or the authentication methods)"};
}

}  // namespace detail
}  // namespace daotk::mysql
