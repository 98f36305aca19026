#pragma once
// Which failed statements mean "the server could not be reached or did not answer" rather than
// "the server refused this statement". Only the first kind is an outage: a refused statement (a
// syntax error, a missing table, a deadlock or a Galera certification failure) is an answer.

#include <errmsg.h>
#include <mysqld_error.h>

namespace daotk::mysql {

// The client library's error number says the connection failed, or the server is shutting down
// or not ready to serve (a Galera node outside the primary component answers ER_UNKNOWN_COM_ERROR
// to everything).
constexpr bool IsConnectionFailure(unsigned int error_number) {
  switch (error_number) {
    case CR_CONNECTION_ERROR:
    case CR_CONN_HOST_ERROR:
    case CR_IPSOCK_ERROR:
    case CR_UNKNOWN_HOST:
    case CR_SERVER_GONE_ERROR:
    case CR_SERVER_HANDSHAKE_ERR:
    case CR_SERVER_LOST:
    case CR_SERVER_LOST_EXTENDED:
    case ER_CON_COUNT_ERROR:
    case ER_SERVER_SHUTDOWN:
    case ER_CONNECTION_KILLED:
    case ER_UNKNOWN_COM_ERROR:
      return true;
    default:
      return false;
  }
}

// The statement reached the server, but its answer did not come back (lost, timed out, or the
// server went down under it): whether it ran is unknown. "Gone away" is reported when the
// statement could not be sent, so it did not run.
constexpr bool MayHaveRun(unsigned int error_number) {
  return error_number == CR_SERVER_LOST || error_number == CR_SERVER_LOST_EXTENDED ||
         error_number == ER_SERVER_SHUTDOWN || error_number == ER_CONNECTION_KILLED;
}

}  // namespace daotk::mysql
