#pragma once
// What a daotk::mysql::connection, or a NonBlockingConnection, is opened with.

#include <cstdint>
#include <string>

namespace daotk::mysql {

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
};

}  // namespace daotk::mysql
