#pragma once
// The account store opened on a test's own sandbox database, as the plugin opens it (10 s
// statement timeout).

#include <memory>

#include "Database/MysqlDB.h"
#include "support/SandboxDatabase.h"

inline std::unique_ptr<MySql> OpenStoreOn(const veltrane::test::SandboxDatabase& database) {
  const veltrane::test::SandboxSettings& settings = database.Settings();
  return std::make_unique<MySql>(settings.host, settings.user, settings.password, database.Name(),
                                 settings.port, 10);
}
