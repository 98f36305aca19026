#pragma once
// What a failed statement or connection means to the store, for every error number it can meet.
// A server failure is an outage: the server could not be reached, did not answer, or the session
// can no longer be used (the connection is closed and made anew). A server's refusal is an answer:
// the server refused this one statement (a syntax error, a missing table, a refused right, a
// deadlock, a Galera certification failure, a statement that ran out of its time), and the session
// goes on.
//
// Every client error (the library's own, 2000 to 2999 and 5000 to 5999) is a server failure but
// the one that concerns the statement alone: the library found no fault with the server, but it
// cannot trust its connection after it. A TLS error (2026) is one: the library's reconnection
// failed its certificate check, or a TLS read timed out, and the players must be told that the
// database is unavailable, never that their code is wrong. The server's own errors are refusals
// but the few that end the session or refuse it at the start.

#include <errmsg.h>
#include <mysqld_error.h>

namespace daotk::mysql {

enum class ErrorKind {
  None,           // no error
  ServerFailure,  // an outage
  Refusal,        // an answer: this statement was refused
};

struct ErrorMeaning {
  unsigned int number;
  ErrorKind kind;
  // The statement reached the server, but its answer did not come back: whether it ran is unknown.
  bool may_have_run;
};

inline constexpr ErrorMeaning kErrorMeanings[] = {
    // The connection could not be made.
    {CR_SOCKET_CREATE_ERROR, ErrorKind::ServerFailure, false},
    {CR_CONNECTION_ERROR, ErrorKind::ServerFailure, false},
    {CR_CONN_HOST_ERROR, ErrorKind::ServerFailure, false},
    {CR_IPSOCK_ERROR, ErrorKind::ServerFailure, false},
    {CR_UNKNOWN_HOST, ErrorKind::ServerFailure, false},
    {CR_VERSION_ERROR, ErrorKind::ServerFailure, false},
    {CR_SERVER_HANDSHAKE_ERR, ErrorKind::ServerFailure, false},
    {CR_CONN_UNKNOWN_PROTOCOL, ErrorKind::ServerFailure, false},
    {CR_SECURE_AUTH, ErrorKind::ServerFailure, false},
    {CR_AUTH_PLUGIN_CANNOT_LOAD, ErrorKind::ServerFailure, false},
    {CR_AUTH_PLUGIN_ERR, ErrorKind::ServerFailure, false},
    {CR_PLUGIN_NOT_ALLOWED, ErrorKind::ServerFailure, false},
    {CR_ERR_LOAD_PLUGIN, ErrorKind::ServerFailure, false},
    {CR_BIND_ADDR_FAILED, ErrorKind::ServerFailure, false},
    {CR_CANT_READ_CHARSET, ErrorKind::ServerFailure, false},
    // TLS: the handshake, the certificate (also in the library's own reconnection), or a TLS read
    // or write that failed or timed out while a statement was under way.
    {CR_SSL_CONNECTION_ERROR, ErrorKind::ServerFailure, true},
    // "Gone away": the statement could not be sent, so it did not run.
    {CR_SERVER_GONE_ERROR, ErrorKind::ServerFailure, false},
    {CR_ERR_NET_WRITE, ErrorKind::ServerFailure, true},
    // The answer was lost, cut or garbled on the way.
    {CR_SERVER_LOST, ErrorKind::ServerFailure, true},
    {CR_SERVER_LOST_EXTENDED, ErrorKind::ServerFailure, true},
    {CR_ERR_NET_READ, ErrorKind::ServerFailure, true},
    {CR_MALFORMED_PACKET, ErrorKind::ServerFailure, true},
    {CR_ERR_NET_UNCOMPRESS, ErrorKind::ServerFailure, true},
    // The library lost track of the session's state.
    {CR_UNKNOWN_ERROR, ErrorKind::ServerFailure, true},
    {CR_OUT_OF_MEMORY, ErrorKind::ServerFailure, true},
    {CR_COMMANDS_OUT_OF_SYNC, ErrorKind::ServerFailure, true},
    {CR_ERR_MISSING_ERROR_INFO, ErrorKind::ServerFailure, true},
    // The statement alone: too large for the client's packet limit, never sent.
    {CR_NET_PACKET_TOO_LARGE, ErrorKind::Refusal, false},

    // The server refused the session at its start, or no longer serves it.
    {ER_CON_COUNT_ERROR, ErrorKind::ServerFailure, false},
    {ER_OUT_OF_RESOURCES, ErrorKind::ServerFailure, false},
    {ER_BAD_HOST_ERROR, ErrorKind::ServerFailure, false},
    {ER_HANDSHAKE_ERROR, ErrorKind::ServerFailure, false},
    {ER_DBACCESS_DENIED_ERROR, ErrorKind::ServerFailure, false},
    {ER_ACCESS_DENIED_ERROR, ErrorKind::ServerFailure, false},
    {ER_ACCESS_DENIED_NO_PASSWORD_ERROR, ErrorKind::ServerFailure, false},
    {ER_HOST_IS_BLOCKED, ErrorKind::ServerFailure, false},
    {ER_HOST_NOT_PRIVILEGED, ErrorKind::ServerFailure, false},
    {ER_TOO_MANY_USER_CONNECTIONS, ErrorKind::ServerFailure, false},
    {ER_USER_LIMIT_REACHED, ErrorKind::ServerFailure, false},
    {ER_NOT_SUPPORTED_AUTH_MODE, ErrorKind::ServerFailure, false},
    {ER_SERVER_IS_IN_SECURE_AUTH_MODE, ErrorKind::ServerFailure, false},
    {ER_MUST_CHANGE_PASSWORD, ErrorKind::ServerFailure, false},
    {ER_MUST_CHANGE_PASSWORD_LOGIN, ErrorKind::ServerFailure, false},
    {ER_ACCOUNT_HAS_BEEN_LOCKED, ErrorKind::ServerFailure, false},
    // A Galera node outside the primary component answers this to everything.
    {ER_UNKNOWN_COM_ERROR, ErrorKind::ServerFailure, false},
    // The server could not read the statement: it did not run.
    {ER_ABORTING_CONNECTION, ErrorKind::ServerFailure, false},
    {ER_NEW_ABORTING_CONNECTION, ErrorKind::ServerFailure, false},
    {ER_NET_PACKET_TOO_LARGE, ErrorKind::ServerFailure, false},
    {ER_NET_READ_ERROR_FROM_PIPE, ErrorKind::ServerFailure, false},
    {ER_NET_FCNTL_ERROR, ErrorKind::ServerFailure, false},
    {ER_NET_PACKETS_OUT_OF_ORDER, ErrorKind::ServerFailure, false},
    {ER_NET_UNCOMPRESS_ERROR, ErrorKind::ServerFailure, false},
    {ER_NET_READ_ERROR, ErrorKind::ServerFailure, false},
    {ER_NET_READ_INTERRUPTED, ErrorKind::ServerFailure, false},
    // The server ran the statement, or went down or was told to end the session under it.
    {ER_NET_ERROR_ON_WRITE, ErrorKind::ServerFailure, true},
    {ER_NET_WRITE_INTERRUPTED, ErrorKind::ServerFailure, true},
    {ER_SERVER_SHUTDOWN, ErrorKind::ServerFailure, true},
    {ER_CONNECTION_KILLED, ErrorKind::ServerFailure, true},
};

// What error_number means; a number the table does not name is a server failure when the client
// library raised it and a refusal when the server did.
constexpr ErrorMeaning MeaningOf(unsigned int error_number) {
  if (error_number == 0) return {0, ErrorKind::None, false};
  for (const ErrorMeaning& meaning : kErrorMeanings)
    if (meaning.number == error_number) return meaning;
  const bool from_client = (error_number >= CR_MIN_ERROR && error_number <= CR_MAX_ERROR) ||
                           (error_number >= CER_MIN_ERROR && error_number <= CER_MAX_ERROR);
  return {error_number, from_client ? ErrorKind::ServerFailure : ErrorKind::Refusal, from_client};
}

// The server could not be reached or did not answer, or the session is lost: an outage.
constexpr bool IsConnectionFailure(unsigned int error_number) {
  return MeaningOf(error_number).kind == ErrorKind::ServerFailure;
}

// The server refused this statement; the session goes on.
constexpr bool IsServerRefusal(unsigned int error_number) {
  return MeaningOf(error_number).kind == ErrorKind::Refusal;
}

// The statement reached the server, but its answer did not come back (lost, timed out, or the
// server went down under it): whether it ran is unknown. "Gone away" is reported when the
// statement could not be sent, so it did not run.
constexpr bool MayHaveRun(unsigned int error_number) {
  return MeaningOf(error_number).may_have_run;
}

}  // namespace daotk::mysql
