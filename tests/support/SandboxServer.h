#pragma once
// The sandbox server behind VELTRANE_DB_*, driven through its script (scripts/sandbox-db), and the
// session ids that it hands out again after a restart. Tests that use it must not run beside
// others (RUN_SERIAL).

#include <mysql.h>
#include <sys/types.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

#include "support/SandboxDatabase.h"

namespace veltrane::test {

class SandboxServer {
 public:
  static std::string Run(const std::string& command) {
    const std::string line = std::string(VELTRANE_SOURCE_DIR "/scripts/sandbox-db ") + command;
    FILE* pipe = ::popen(line.c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("cannot run " + line);
    std::string output;
    char buffer[256];
    while (std::fgets(buffer, sizeof(buffer), pipe) != nullptr) output += buffer;
    if (::pclose(pipe) != 0) throw std::runtime_error(line + " failed: " + output);
    return output;
  }

  // The fault tests act on the script's server, so the tests must be talking to that one.
  static void RequireServing(int port) {
    const std::string env = Run("env");
    if (env.find("VELTRANE_DB_PORT=" + std::to_string(port) + "\n") == std::string::npos) {
      throw std::runtime_error(
          "VELTRANE_DB_PORT is not the port of scripts/sandbox-db; run "
          "`eval \"$(scripts/sandbox-db env)\"`");
    }
  }

  static pid_t Pid() { return static_cast<pid_t>(std::stol(Run("pid"))); }

  // Restarts the server, then lets sessions of database's user come and go, so that the ids it
  // hands out next lie above those that the next restart uses itself: a session opened before
  // that restart has an id that sessions opened after it soon reach again.
  static void RestartWithRoomForIds(const SandboxDatabase& database) {
    Run("restart");
    const SandboxSettings& settings = database.Settings();
    for (int i = 0; i < 50; ++i) {
      MYSQL* handle = mysql_init(nullptr);
      if (handle == nullptr) throw std::runtime_error("mysql_init failed");
      const bool opened = mysql_real_connect(handle, settings.host.c_str(), settings.user.c_str(),
                                             settings.password.c_str(), nullptr, settings.port,
                                             nullptr, 0) != nullptr;
      const std::string error = mysql_error(handle);
      mysql_close(handle);
      if (!opened) throw std::runtime_error("cannot connect to the sandbox server: " + error);
    }
  }

  static unsigned long SessionId(SandboxDatabase& session) {
    return std::stoul(*session.Query("SELECT CONNECTION_ID()").at(0).at(0));
  }

  // Sessions of database's user, on its database, are opened until one has the id; none when the
  // server has handed that id out already.
  static std::unique_ptr<SandboxDatabase> SessionWithId(const SandboxDatabase& database,
                                                        unsigned long id) {
    while (true) {
      auto session = std::make_unique<SandboxDatabase>(database.Settings(), database.Name());
      const unsigned long got = SessionId(*session);
      if (got == id) return session;
      if (got > id) return nullptr;
    }
  }

  // KILL statements that the server has run since it started, whether they found their session.
  static long KillStatements(SandboxDatabase& database) {
    return std::stol(*database.Query("SHOW GLOBAL STATUS LIKE 'Com_kill'").at(0).at(1));
  }
};

}  // namespace veltrane::test
