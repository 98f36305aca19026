#pragma once
// The MariaDB client library's global state, set up by the store's first connection, is freed only
// on request; without it every unload of the module leaks it.

#include <mysql.h>

// One module-level object of this ends the library at the module's teardown; it must be
// destroyed after every connection, so it is defined before the plugin's state.
struct MysqlClientLibrary {
  ~MysqlClientLibrary() { mysql_library_end(); }
};
