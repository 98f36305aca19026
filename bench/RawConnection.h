#pragma once
// A bare libmariadb connection: the baseline the plugin is measured against, and the harness's own
// way of seeding and inspecting tables. Every failure throws std::runtime_error with the server's
// message.

#include <mysql.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::bench {

// Where the sandbox server is, from VELTRANE_DB_HOST/PORT/USER/PASS.
struct ServerAddress {
  std::string host;
  int port = 0;
  std::string user;
  std::string password;
  // The CA's PEM file of a server that takes TLS connections only; empty: no TLS.
  std::string tls_ca = {};
  // The server's Unix socket: a RawConnection goes through it, without TLS, instead of TCP. The
  // plugin's unload ends the client library (mysql_library_end), which Connector/C 3.4's TLS
  // sessions of the process do not survive.
  std::string unix_socket = {};

  static ServerAddress FromEnvironment();
  // The sandbox's TLS-only server, from VELTRANE_TLS_DB_HOST/PORT/USER/PASS/CA/SOCKET.
  static ServerAddress TlsFromEnvironment();
};

class RawConnection {
 public:
  // Connects with the options the plugin's store uses (utf8mb4, automatic reconnection, its
  // connect and read/write timeouts; TLS checked against the CA when the server has one). An
  // empty database connects without selecting one.
  RawConnection(const ServerAddress& server, const std::string& database);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // One statement and its whole answer, read as any client must (store, fetch, free): the first
  // column of the first row as a number for a statement with rows, else the affected rows.
  std::uint64_t Run(std::string_view statement);
  // The first column of the first row as text; empty when there is none.
  std::string Text(std::string_view statement);
  // Every row; NULL columns come back empty.
  std::vector<std::vector<std::string>> Rows(std::string_view statement);
  // A quoted SQL literal.
  std::string Quote(std::string_view text);

 private:
  [[noreturn]] void Fail(std::string_view statement);

  MYSQL* handle_ = nullptr;
};

}  // namespace veltrane::bench
