#pragma once
// The sandbox server's global sql_mode for the sessions opened while this object lives; the old
// mode comes back when it goes. Tests that use it must not run beside others (RUN_SERIAL).

#include <string>

#include "support/SandboxDatabase.h"

namespace veltrane::test {

class GlobalSqlMode {
 public:
  GlobalSqlMode(SandboxDatabase& database, const std::string& mode)
      : database_(database), previous_(*database.Query("SELECT @@GLOBAL.sql_mode")[0][0]) {
    database_.Execute("SET GLOBAL sql_mode = " + database_.Quote(mode));
  }
  ~GlobalSqlMode() { database_.Execute("SET GLOBAL sql_mode = " + database_.Quote(previous_)); }
  GlobalSqlMode(const GlobalSqlMode&) = delete;
  GlobalSqlMode& operator=(const GlobalSqlMode&) = delete;

 private:
  SandboxDatabase& database_;
  std::string previous_;
};

}  // namespace veltrane::test
