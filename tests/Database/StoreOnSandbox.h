#pragma once
// The account store opened on a test's own sandbox database, as the plugin opens it (10 s
// statement timeout), blocking or non-blocking; a non-blocking one has made its connection of the
// load, run to its end in place, as the plugin's first tick would start it.

#include <memory>
#include <string>

#include "Database/MysqlDB.h"
#include "support/SandboxDatabase.h"
#include "support/StoreModes.h"

inline std::unique_ptr<MySql> OpenStoreOn(const veltrane::test::SandboxDatabase& database,
                                          bool non_blocking = false, const std::string& user = {},
                                          const std::string& password = {}) {
  const veltrane::test::SandboxSettings& settings = database.Settings();
  auto store = std::make_unique<MySql>(settings.host, user.empty() ? settings.user : user,
                                       user.empty() ? settings.password : password, database.Name(),
                                       settings.port, 10, veltrane::CoolDownPolicy{},
                                       &MySql::Clock::now, non_blocking);
  RunToEnd(*store, store->Connect());
  return store;
}
