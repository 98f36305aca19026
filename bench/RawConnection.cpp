#include "RawConnection.h"

#include <fmt/format.h>

#include <cstdlib>
#include <stdexcept>

namespace veltrane::bench {

namespace {

std::string RequireVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(
        fmt::format("{} is not set: run scripts/bench, or export the sandbox settings with "
                    "`eval \"$(scripts/sandbox-db env)\"`",
                    name));
  }
  return value;
}

}  // namespace

ServerAddress ServerAddress::FromEnvironment() {
  return {RequireVariable("VELTRANE_DB_HOST"), std::stoi(RequireVariable("VELTRANE_DB_PORT")),
          RequireVariable("VELTRANE_DB_USER"), RequireVariable("VELTRANE_DB_PASS")};
}

ServerAddress ServerAddress::TlsFromEnvironment() {
  return {RequireVariable("VELTRANE_TLS_DB_HOST"),
          std::stoi(RequireVariable("VELTRANE_TLS_DB_PORT")),
          RequireVariable("VELTRANE_TLS_DB_USER"), RequireVariable("VELTRANE_TLS_DB_PASS"),
          RequireVariable("VELTRANE_TLS_DB_CA")};
}

RawConnection::RawConnection(const ServerAddress& server, const std::string& database) {
  handle_ = mysql_init(nullptr);
  if (handle_ == nullptr) throw std::runtime_error("mysql_init failed");
  const my_bool reconnect = 1;
  const unsigned int connect_timeout = 30;
  const unsigned int read_write_timeout = 10;
  if (mysql_options(handle_, MYSQL_OPT_RECONNECT, &reconnect) != 0 ||
      mysql_options(handle_, MYSQL_SET_CHARSET_NAME, "utf8mb4") != 0 ||
      mysql_options(handle_, MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout) != 0 ||
      mysql_options(handle_, MYSQL_OPT_READ_TIMEOUT, &read_write_timeout) != 0 ||
      mysql_options(handle_, MYSQL_OPT_WRITE_TIMEOUT, &read_write_timeout) != 0) {
    mysql_close(handle_);
    throw std::runtime_error("mysql_options failed");
  }
  const my_bool on = 1;
  if (!server.tls_ca.empty() && server.unix_socket.empty() &&
      (mysql_options(handle_, MYSQL_OPT_SSL_ENFORCE, &on) != 0 ||
       mysql_options(handle_, MYSQL_OPT_SSL_VERIFY_SERVER_CERT, &on) != 0 ||
       mysql_options(handle_, MYSQL_OPT_SSL_CA, server.tls_ca.c_str()) != 0)) {
    mysql_close(handle_);
    throw std::runtime_error("mysql_options failed for TLS");
  }
  const bool by_socket = !server.unix_socket.empty();
  if (mysql_real_connect(handle_, by_socket ? "localhost" : server.host.c_str(),
                         server.user.c_str(), server.password.c_str(),
                         database.empty() ? nullptr : database.c_str(),
                         static_cast<unsigned int>(server.port),
                         by_socket ? server.unix_socket.c_str() : nullptr, 0) == nullptr) {
    const std::string reason = mysql_error(handle_);
    mysql_close(handle_);
    throw std::runtime_error(
        fmt::format("cannot connect to {}:{}: {}", server.host, server.port, reason));
  }
}

RawConnection::~RawConnection() { mysql_close(handle_); }

std::uint64_t RawConnection::Run(std::string_view statement) {
  if (mysql_real_query(handle_, statement.data(), statement.size()) != 0) Fail(statement);
  MYSQL_RES* result = mysql_store_result(handle_);
  if (result == nullptr) {
    if (mysql_field_count(handle_) != 0) Fail(statement);
    return mysql_affected_rows(handle_);
  }
  std::uint64_t value = 0;
  const MYSQL_ROW row = mysql_fetch_row(result);
  if (row != nullptr && row[0] != nullptr) value = std::strtoull(row[0], nullptr, 10);
  mysql_free_result(result);
  return value;
}

std::string RawConnection::Text(std::string_view statement) {
  if (mysql_real_query(handle_, statement.data(), statement.size()) != 0) Fail(statement);
  MYSQL_RES* result = mysql_store_result(handle_);
  if (result == nullptr) {
    if (mysql_field_count(handle_) != 0) Fail(statement);
    return {};
  }
  std::string text;
  const MYSQL_ROW row = mysql_fetch_row(result);
  if (row != nullptr && row[0] != nullptr) text = row[0];
  mysql_free_result(result);
  return text;
}

std::vector<std::vector<std::string>> RawConnection::Rows(std::string_view statement) {
  if (mysql_real_query(handle_, statement.data(), statement.size()) != 0) Fail(statement);
  MYSQL_RES* result = mysql_store_result(handle_);
  if (result == nullptr) {
    if (mysql_field_count(handle_) != 0) Fail(statement);
    return {};
  }
  std::vector<std::vector<std::string>> rows;
  const unsigned int columns = mysql_num_fields(result);
  while (const MYSQL_ROW row = mysql_fetch_row(result)) {
    std::vector<std::string>& values = rows.emplace_back();
    for (unsigned int column = 0; column < columns; ++column)
      values.emplace_back(row[column] != nullptr ? row[column] : "");
  }
  mysql_free_result(result);
  return rows;
}

std::string RawConnection::Quote(std::string_view text) {
  std::string escaped(text.size() * 2 + 1, '\0');
  const unsigned long length =
      mysql_real_escape_string(handle_, escaped.data(), text.data(), text.size());
  escaped.resize(length);
  return "'" + escaped + "'";
}

void RawConnection::Fail(std::string_view statement) {
  // Seeding statements run to megabytes; the start says which one it was.
  throw std::runtime_error(
      fmt::format("{} ({}) in: {:.200}", mysql_error(handle_), mysql_errno(handle_), statement));
}

}  // namespace veltrane::bench
