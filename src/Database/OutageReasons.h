#pragma once
// Which refusals the log has given during the current outage. Each server of the list writes its
// reason once for each error it fails with in an outage: a list whose first server is down still
// shows why the second refused, and a restart that first loses the connection and then fails the
// certificate shows both, without a line for each retry of the cool-down.

#include <algorithm>
#include <utility>
#include <vector>

#include "Database/ServerList.h"

namespace veltrane {

class OutageReasons {
 public:
  // True the first time in this outage that server fails with error_number: the time to log it.
  bool FirstTime(const DatabaseServer& server, unsigned int error_number) {
    const std::pair<DatabaseServer, unsigned int> reason{server, error_number};
    if (std::find(logged_.begin(), logged_.end(), reason) != logged_.end()) return false;
    logged_.push_back(reason);
    return true;
  }

  // The outage is over: the next one logs every reason afresh.
  void EndOutage() { logged_.clear(); }

 private:
  // A few servers, each with the few errors a connection meets.
  std::vector<std::pair<DatabaseServer, unsigned int>> logged_;
};

}  // namespace veltrane
