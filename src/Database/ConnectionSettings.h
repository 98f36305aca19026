#pragma once
// What a daotk::mysql::connection, or a NonBlockingConnection, is opened with.

#include <cstdint>
#include <string>

namespace daotk::mysql {

// MySQL's TLS modes, with their meanings: disabled, encrypted without checking the certificate,
// encrypted with a certificate that chains to the CA, and that also names the host connected to.
// A connection never falls back to a weaker mode than the one asked.
enum class tls_mode { disabled, required, verify_ca, verify_identity };

struct connection_security {
  tls_mode tls = tls_mode::disabled;
  std::string tls_ca;  // the CA's PEM file, for the two verify modes
  // Where the library loads its authentication plugins from; empty: the library's own default.
  std::string client_plugin_dir;
};

struct connection_settings {
  std::string host;
  std::string user;
  std::string password;
  std::string database_name;
  std::uint32_t port = 0;  // 0: the client library's default
  // Seconds; 0 leaves the library's default. The read and write timeouts bound a statement's
  // wait on a stalled server (libmariadb tries once, it does not retry on a timeout); on the
  // non-blocking connection each bounds one wait on the socket, beside the operation's deadline.
  std::uint32_t connect_timeout = 0;
  // Seconds the library's automatic reconnection of a dropped handle may take; 0: as
  // connect_timeout. This and auto_reconnect are the blocking connection's only.
  std::uint32_t reconnect_timeout = 0;
  std::uint32_t read_timeout = 0;
  std::uint32_t write_timeout = 0;
  bool auto_reconnect = false;
  std::string charset;  // empty: the library's default
  // A statement the library runs right after every connect, its own reconnections included;
  // empty: none. A failing one fails the connect.
  std::string init_command;
  // A question the connection asks once on every session: when open() makes one, and after the
  // first statement on one that the library's reconnection made. Its first row tells that session
  // from any other (connection::statement_session). Empty: none.
  std::string session_query;
  connection_security security;
};

}  // namespace daotk::mysql
