#include "Database/AccountStore.h"

#include "Database/MysqlDB.h"

std::unique_ptr<IDatabase> BuildAccountStore(const DatabaseSettings& database) {
  return std::make_unique<MySql>(
      database.mysql_host, database.mysql_user, database.mysql_pass, database.mysql_db,
      database.mysql_port, static_cast<unsigned int>(database.mysql_timeout),
      veltrane::CoolDownPolicy{}, &MySql::Clock::now, database.non_blocking, database.security);
}
