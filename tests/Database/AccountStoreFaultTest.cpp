// The account store when its server is unreachable, restarted or stalled. These tests restart and
// stop the sandbox server itself (scripts/sandbox-db) and leave it running when they end.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "CapturingLogSink.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"
#include "RefusingPort.h"
#include "support/SandboxDatabase.h"

namespace {

using namespace std::chrono_literals;
using veltrane::test::SandboxDatabase;

// The sandbox server behind VELTRANE_DB_*, driven through its script.
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
};

// Holds the server stopped with SIGSTOP and lets it go on however the test ends.
class StalledServer {
 public:
  explicit StalledServer(pid_t pid) : pid_(pid) {
    if (::kill(pid_, SIGSTOP) != 0) throw std::runtime_error("cannot stop the sandbox server");
  }
  StalledServer(const StalledServer&) = delete;
  StalledServer& operator=(const StalledServer&) = delete;
  ~StalledServer() { Resume(); }

  void Resume() {
    if (pid_ != 0) ::kill(pid_, SIGCONT);
    pid_ = 0;
  }

 private:
  pid_t pid_;
};

class AccountStoreFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
  }

  std::unique_ptr<MySql> OpenStore(int port, unsigned int timeout_seconds,
                                   veltrane::CoolDownPolicy cool_down = {}) {
    const veltrane::test::SandboxSettings& settings = database_.Settings();
    return std::make_unique<MySql>(settings.host, settings.user, settings.password,
                                   database_.Name(), port, timeout_seconds, cool_down,
                                   [this] { return now_; });
  }

  SandboxDatabase database_;
  // The stores' cool-downs run on this clock, which only the test moves.
  MySql::Clock::time_point now_ = MySql::Clock::now();
};

TEST_F(AccountStoreFaults, UnreachableServerIsOneCriticalLineWithItsReasonAndEveryAnswerFalse) {
  RefusingPort nothing_listens;
  auto store = OpenStore(nothing_listens.port(), 10);

  EXPECT_FALSE(store->IsPlayerExist("EOS-1"));
  EXPECT_FALSE(store->IsPlayerIDExist("EOS-1"));
  EXPECT_FALSE(store->IsCodeExist("CODE-1"));
  EXPECT_FALSE(store->UpdateAccount("EOS-1", "CODE-1", 1, "Rex", 0, ""));
  EXPECT_FALSE(store->UpdateAccountLogout("Rex", 0, "", "Updated", "EOS-1"));

  const std::vector<CapturedLine> lines = CapturingLogSink::Instance()->Lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, spdlog::level::critical);
  EXPECT_EQ(lines[0].text, "Failed to open connection!");
  EXPECT_TRUE(IsPluginLogLine(lines[0].formatted, "critical", "Failed to open connection!"))
      << lines[0].formatted;
  // The reason follows; the store answers at once from then on, without a line of its own.
  EXPECT_EQ(lines[1].level, spdlog::level::err);
  EXPECT_TRUE(lines[1].text.starts_with(
      "Database server 127.0.0.1:" + std::to_string(nothing_listens.port()) + " (database " +
      database_.Name() + ") unavailable: "))
      << lines[1].text;
}

TEST_F(AccountStoreFaults, FirstStatementAfterServerRestartSucceedsThroughReconnection) {
  SandboxServer::RequireServing(database_.Settings().port);
  auto store = OpenStore(database_.Settings().port, 10);
  database_.InsertCode("discord-1", "CODE-1");
  ASSERT_TRUE(store->IsCodeExist("CODE-1"));

  SandboxServer::Run("restart");

  EXPECT_TRUE(store->IsCodeExist("CODE-1"));
  EXPECT_TRUE(store->UpdateAccount("EOS-1", "CODE-1", 1, "Rex", 0, ""));
  EXPECT_TRUE(store->IsPlayerIDExist("EOS-1"));
  EXPECT_TRUE(CapturingLogSink::Instance()->Lines().empty());
}

// Fixed fault: without read and write timeouts a stalled server held the game thread forever.
TEST_F(AccountStoreFaults, StatementOnStalledServerFailsAndTheNextWorksAfterItResumes) {
  SandboxServer::RequireServing(database_.Settings().port);
  constexpr unsigned int kTimeoutSeconds = 2;
  constexpr veltrane::CoolDownPolicy kCoolDown{500ms, 500ms};
  auto store = OpenStore(database_.Settings().port, kTimeoutSeconds, kCoolDown);
  database_.InsertCode("discord-1", "CODE-1");
  ASSERT_TRUE(store->IsCodeExist("CODE-1"));

  StalledServer stalled(SandboxServer::Pid());
  const auto started = std::chrono::steady_clock::now();
  std::future<bool> answer =
      std::async(std::launch::async, [&store] { return store->IsCodeExist("CODE-1"); });
  // Generous against a loaded machine, yet far short of "never": only a hang fails this.
  const bool came_back = answer.wait_for(kTimeoutSeconds * 10s) == std::future_status::ready;
  const auto waited = std::chrono::steady_clock::now() - started;
  stalled.Resume();
  ASSERT_TRUE(came_back) << "a statement on the stalled server did not time out";
  EXPECT_FALSE(answer.get());
  RecordProperty(
      "stalled_statement_ms",
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));

  // The stall was an outage: the next statement waits out its cool-down.
  now_ += kCoolDown.longest + 100ms;
  EXPECT_TRUE(store->IsCodeExist("CODE-1"));
  EXPECT_TRUE(store->UpdateAccount("EOS-1", "CODE-1", 1, "Rex", 0, ""));
  EXPECT_EQ(CapturingLogSink::Instance()->Lines().size(), 2u);  // its start and its end
}

}  // namespace
