#pragma once
// The MariaDB client library's global state, set up by the store's first connection, is freed
// only on request; without it every unload of the module leaks it.

#include <mysql.h>

#include "Database/TlsSupport.h"

// One module-level object of this ends the library at the module's teardown; it must be
// destroyed after every connection, so it is defined before the plugin's state.
struct MysqlClientLibrary {
  ~MysqlClientLibrary() { mysql_library_end(); }
};

// Sets up the library's global state, which names its TLS library only then.
inline ClientLibraryInfo DescribeClientLibrary() {
  if (mysql_library_init(0, nullptr, nullptr) != 0) return {};
  ClientLibraryInfo info;
  const char* version = mysql_get_client_info();
  if (version != nullptr) info.version = version;
  const char* tls = nullptr;
  if (mariadb_get_infov(nullptr, MARIADB_TLS_LIBRARY, &tls) == 0 && tls != nullptr) {
    info.tls_library = tls;
  }
  return info;
}
