#pragma once
// The MariaDB client library's global state, set up by the store's first connection, is freed only
// on request; without it every unload of the module leaks it.

#include <mysql.h>

#include <string>

// One module-level object of this ends the library at the module's teardown; it must be
// destroyed after every connection, so it is defined before the plugin's state.
struct MysqlClientLibrary {
  ~MysqlClientLibrary() { mysql_library_end(); }
};

// The library's TLS library as it names it ("OpenSSL 3.0.19 ...", "Schannel"); empty when it
// cannot say. Sets up the library's global state, which names it only then.
inline std::string ClientTlsLibrary() {
  if (mysql_library_init(0, nullptr, nullptr) != 0) return {};
  const char* name = nullptr;
  if (mariadb_get_infov(nullptr, MARIADB_TLS_LIBRARY, &name) != 0 || name == nullptr) return {};
  return name;
}
