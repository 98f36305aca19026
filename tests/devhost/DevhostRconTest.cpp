#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Probe.h"
#include "support/RconTestClient.h"

namespace veltrane::test {
namespace {

constexpr char kPassword[] = "s3cret";

// The raw answer to a login sent as request 1, whatever it is.
std::optional<RconPacket> Login(RconTestClient& client, const std::string& password) {
  client.SendPacket(1, 3, password);
  return client.Read();
}

struct CommandResult {
  int exit_code = -1;
  std::string output;
};

// Runs Debian's rconclt against the devhost; its output with stderr.
CommandResult Rconclt(const std::string& password, int port, const std::string& command) {
  const std::string line = "rconclt -t 10 '" + password + "@127.0.0.1:" + std::to_string(port) +
                           "' " + command + " 2>&1";
  CommandResult result;
  FILE* pipe = popen(line.c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[4096];
  while (const std::size_t count = std::fread(chunk, 1, sizeof chunk, pipe))
    result.output.append(chunk, count);
  const int status = pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

class DevhostRcon : public ::testing::Test {
 protected:
  std::unique_ptr<DevhostProcess> StartServer(const std::string& script = "",
                                              const std::vector<std::string>& options = {}) {
    std::unique_ptr<DevhostProcess> server =
        devhost_->Start(script, kPassword, std::chrono::seconds(10), options);
    EXPECT_TRUE(server);
    if (server) {
      EXPECT_GT(server->RconPort(), 0);
    }
    return server;
  }

  std::unique_ptr<DevhostRunner> devhost_ = ProbeRunner();
};

TEST_F(DevhostRcon, ScriptRequestsGetFreshIdsAndTheirReplies) {
  const DevhostResult result =
      devhost_->Run("rcon Probe.Echo one\nrcon probe.echo two  words\nrcon Nothing here\n");
  EXPECT_EQ(result.WithPrefix("rcon-reply "),
            (std::vector<std::string>{"rcon-reply id=1 text=\"one\"",
                                      "rcon-reply id=2 text=\"two  words\""}));
  const std::vector<std::string> requests = result.WithPrefix("probe rcon ");
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(Field(requests[0], "type"), 2);
  EXPECT_EQ(Field(requests[0], "world"), "current");
  EXPECT_EQ(Errors(result), std::vector<std::string>{"no RCON command Nothing"});
}

TEST_F(DevhostRcon, RconcltGetsTheReply) {
  auto server = StartServer();
  ASSERT_TRUE(server);
  const CommandResult answer = Rconclt(kPassword, server->RconPort(), "Probe.Echo \"hello there\"");
  EXPECT_EQ(answer.exit_code, 0) << answer.output;
  EXPECT_EQ(answer.output, "hello there\n");
  const DevhostResult result = server->Stop();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(TextField(result.First("rcon-reply "), "text"), "hello there");
  EXPECT_EQ(result.First("probe rcon ").has_value(), true);
  EXPECT_EQ(Field(*result.First("probe rcon "), "id"), Field(*result.First("rcon-reply "), "id"));
  EXPECT_TRUE(result.First("unload ok"));
}

TEST_F(DevhostRcon, RconcltWithTheWrongPasswordIsRefused) {
  auto server = StartServer();
  ASSERT_TRUE(server);
  const CommandResult answer = Rconclt("wrong", server->RconPort(), "Probe.Echo hi");
  EXPECT_EQ(answer.exit_code, 5);  // rconclt's code for a wrong password
  EXPECT_NE(answer.output.find("Wrong password"), std::string::npos);
  const DevhostResult result = server->Stop();
  EXPECT_EQ(result.Count("probe rcon "), 0u);
}

TEST_F(DevhostRcon, LongReplyArrivesWholeInSeveralPackets) {
  auto server = StartServer();
  ASSERT_TRUE(server);
  const CommandResult answer = Rconclt(kPassword, server->RconPort(), "Probe.Echo big");
  EXPECT_EQ(answer.exit_code, 0);
  EXPECT_EQ(answer.output, std::string(10000, 'x') + "end\n");

  RconTestClient client(server->RconPort());
  ASSERT_EQ(Login(client, kPassword).value_or(RconPacket{}).id, 1);
  client.SendPacket(42, 2, "Probe.Echo big");
  std::string whole;
  for (int part = 0; part < 3; ++part) {
    const std::optional<RconPacket> packet = client.Read();
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->id, 42);
    EXPECT_EQ(packet->type, 0);
    EXPECT_LE(packet->body.size(), 4096u);
    whole += packet->body;
  }
  EXPECT_EQ(whole, std::string(10000, 'x') + "end");
}

TEST_F(DevhostRcon, WrongPasswordAnswersIdMinusOneAndCloses) {
  auto server = StartServer();
  ASSERT_TRUE(server);
  RconTestClient client(server->RconPort());
  const std::optional<RconPacket> answer = Login(client, "nope");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->id, -1);
  EXPECT_EQ(answer->type, 2);
  EXPECT_TRUE(client.ClosedByServer());
}

TEST_F(DevhostRcon, CommandBeforeLoginIsRefused) {
  auto server = StartServer();
  ASSERT_TRUE(server);
  RconTestClient client(server->RconPort());
  client.SendPacket(5, 2, "Probe.Echo hi");
  const std::optional<RconPacket> answer = client.Read();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->id, -1);
  EXPECT_TRUE(client.ClosedByServer());
  EXPECT_EQ(server->Stop().Count("probe rcon "), 0u);
}

TEST_F(DevhostRcon, MalformedAndVanishingClientsLeaveTheServerServing) {
  auto server = StartServer();
  ASSERT_TRUE(server);
  {
    RconTestClient oversized(server->RconPort());
    ASSERT_TRUE(Login(oversized, kPassword));
    oversized.SendPacket(2, 2, std::string(5000, 'a'));
    EXPECT_TRUE(oversized.ClosedByServer());
  }
  {
    RconTestClient negative(server->RconPort());
    negative.SendBytes(std::string("\xF0\xFF\xFF\xFF", 4));
    EXPECT_TRUE(negative.ClosedByServer());
  }
  {
    RconTestClient truncated(server->RconPort());
    ASSERT_TRUE(Login(truncated, kPassword));
    truncated.SendBytes(std::string("\x20\x00\x00\x00\x07\x00\x00\x00\x02\x00", 10));
  }  // gone in the middle of a packet
  {
    RconTestClient silent(server->RconPort());
    silent.SendBytes(std::string("\x20\x00", 2));  // stays connected, never finishes
    RconTestClient healthy(server->RconPort());
    ASSERT_EQ(Login(healthy, kPassword).value_or(RconPacket{}).id, 1);
    healthy.SendPacket(77, 2, "Probe.Echo still here");
    const std::optional<RconPacket> answer = healthy.Read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->id, 77);
    EXPECT_EQ(answer->body, "still here");
  }
  const DevhostResult result = server->Stop();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.Count("probe rcon "), 1u);
}

TEST_F(DevhostRcon, UnknownCommandGetsAnEmptyAnswer) {
  auto server = StartServer();
  ASSERT_TRUE(server);
  RconTestClient client(server->RconPort());
  ASSERT_TRUE(Login(client, kPassword));
  client.SendPacket(9, 2, "ListPlayers");
  const std::optional<RconPacket> answer = client.Read();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->id, 9);
  EXPECT_EQ(answer->body, "");
  EXPECT_EQ(Errors(server->Stop()), std::vector<std::string>{"no RCON command ListPlayers"});
}

TEST_F(DevhostRcon, RequestsAreServedWhileTheScriptSleeps) {
  auto server = StartServer("join bob\nsleep 4000\necho woke\n");
  ASSERT_TRUE(server);
  ASSERT_TRUE(server->WaitForLine("load ok"));
  RconTestClient client(server->RconPort());
  ASSERT_TRUE(Login(client, kPassword));
  client.SendPacket(3, 2, "Probe.Echo awake");
  const std::optional<RconPacket> answer = client.Read();
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body, "awake");
  const DevhostResult result = server->Stop();
  std::vector<std::string> order;
  for (const std::string& line : result.lines)
    if (line.rfind("rcon-reply ", 0) == 0 || line.rfind("echo ", 0) == 0) order.push_back(line);
  EXPECT_EQ(order, (std::vector<std::string>{"rcon-reply id=3 text=\"awake\"", "echo \"woke\""}));
}

TEST_F(DevhostRcon, ServerStopsOnSigtermAfterItsInputEnded) {
  auto server = StartServer("join bob\n");
  ASSERT_TRUE(server);
  const DevhostResult result = server->Stop();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_FALSE(result.timed_out);
  EXPECT_TRUE(result.First("unload ok"));
}

// Sixteen places; a login deadline long enough that only giving way can free one here.
TEST_F(DevhostRcon, IdleSocketsCannotLockOutTheAdministrator) {
  auto server = StartServer("", {"--rcon-login-timeout", "60"});
  ASSERT_TRUE(server);
  std::vector<std::unique_ptr<RconTestClient>> silent;
  silent.reserve(17);
  for (int i = 0; i < 17; ++i)
    silent.push_back(std::make_unique<RconTestClient>(server->RconPort()));
  RconTestClient admin(server->RconPort());
  ASSERT_TRUE(admin.Authenticate(kPassword));
  EXPECT_EQ(admin.Command("Probe.Echo served"), "served");
  // The two oldest gave way to the seventeenth and to the administrator; the next still waits.
  EXPECT_TRUE(silent[0]->ClosedByServer());
  EXPECT_TRUE(silent[1]->ClosedByServer());
  ASSERT_TRUE(silent[2]->Authenticate(kPassword));
  EXPECT_EQ(silent[2]->Command("Probe.Echo third"), "third");
  const DevhostResult result = server->Stop();
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.Count("probe rcon "), 2u);
}

TEST_F(DevhostRcon, LoggedInClientsKeepTheirPlaces) {
  auto server = StartServer();
  ASSERT_TRUE(server);
  std::vector<std::unique_ptr<RconTestClient>> admins;
  admins.reserve(16);
  for (int i = 0; i < 16; ++i) {
    admins.push_back(std::make_unique<RconTestClient>(server->RconPort()));
    ASSERT_TRUE(admins.back()->Authenticate(kPassword));
  }
  RconTestClient late(server->RconPort());
  EXPECT_TRUE(late.ClosedByServer());
  EXPECT_EQ(admins.front()->Command("Probe.Echo first"), "first");
  EXPECT_EQ(admins.back()->Command("Probe.Echo last"), "last");
}

TEST_F(DevhostRcon, ConnectionsWithoutLoginOrTrafficAreClosedAtTheirDeadlines) {
  {
    auto defaults = StartServer();
    ASSERT_TRUE(defaults);
    RconTestClient silent(defaults->RconPort());
    EXPECT_TRUE(silent.ClosedByServer());  // within the client's wait of 10 s
  }
  auto server = StartServer("", {"--rcon-login-timeout", "2", "--rcon-idle-timeout", "6"});
  ASSERT_TRUE(server);
  RconTestClient silent(server->RconPort());
  RconTestClient unfinished(server->RconPort());
  unfinished.SendBytes(std::string("\x20\x00\x00", 3));  // a login that never completes
  EXPECT_TRUE(silent.ClosedByServer());
  EXPECT_TRUE(unfinished.ClosedByServer());
  RconTestClient admin(server->RconPort());
  ASSERT_TRUE(admin.Authenticate(kPassword));
  // Past the login deadline, a client that has logged in is still served ...
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(admin.Command("Probe.Echo still"), "still");
  // ... until it stays silent for the idle deadline.
  EXPECT_TRUE(admin.ClosedByServer());
  const DevhostResult result = server->Stop();
  EXPECT_EQ(result.exit_code, 0);
  const auto logged = [&result](const std::string& text) {
    return std::count_if(result.log_lines.begin(), result.log_lines.end(),
                         [&text](const std::string& line) { return line.find(text) != line.npos; });
  };
  EXPECT_EQ(logged("no login in time; connection closed"), 2);
  EXPECT_EQ(logged("idle too long; connection closed"), 1);
}

TEST_F(DevhostRcon, DeadlineOptionsAreChecked) {
  const DevhostResult result = devhost_->Run(
      "", {"--rcon-port", "0", "--rcon-password", kPassword, "--rcon-login-timeout", "0"});
  EXPECT_EQ(result.exit_code, 2);
  EXPECT_NE(result.stderr_text.find("--rcon-login-timeout takes 1 to 86400 seconds"),
            std::string::npos);
}

}  // namespace
}  // namespace veltrane::test
