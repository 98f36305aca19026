#include "support/SandboxCluster.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <mysql.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "support/StoppedProcess.h"
#include "support/WaitUntil.h"

namespace veltrane::test {

namespace {

// A single-quoted shell word.
std::string ShellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

}  // namespace

SandboxCluster::SandboxCluster()
    : host_(RequireEnvironment("VELTRANE_CLUSTER_HOST", "sandbox-cluster")),
      user_(RequireEnvironment("VELTRANE_CLUSTER_USER", "sandbox-cluster")),
      password_(RequireEnvironment("VELTRANE_CLUSTER_PASS", "sandbox-cluster")),
      database_(RequireEnvironment("VELTRANE_CLUSTER_NAME", "sandbox-cluster")),
      script_(RequireEnvironment("VELTRANE_CLUSTER_SCRIPT", "sandbox-cluster")) {
  std::stringstream ports(RequireEnvironment("VELTRANE_CLUSTER_PORTS", "sandbox-cluster"));
  for (std::string port; std::getline(ports, port, ',');) ports_.push_back(std::stoi(port));
  if (ports_.size() != kNodes) {
    throw std::runtime_error(
        fmt::format("VELTRANE_CLUSTER_PORTS names {} nodes, not {}", ports_.size(), kNodes));
  }
}

int SandboxCluster::Port(int node) const { return ports_.at(std::size_t(node - 1)); }

SandboxSettings SandboxCluster::Node(int node) const {
  return {host_, Port(node), user_, password_, database_};
}

std::string SandboxCluster::HostList(const std::vector<int>& nodes) const {
  std::vector<std::string> hosts;
  hosts.reserve(nodes.size());
  for (const int node : nodes) hosts.push_back(fmt::format("{}:{}", host_, Port(node)));
  return fmt::format("{}", fmt::join(hosts, ","));
}

void SandboxCluster::Kill(int node) const { RunScript(fmt::format("kill {}", node)); }

void SandboxCluster::Restart(int node) const { RunScript(fmt::format("restart {}", node)); }

void SandboxCluster::Stall(int node) const { StopEveryThread(Pid(node)); }

void SandboxCluster::Thaw(int node) const { Signal(node, SIGCONT); }

bool SandboxCluster::WaitUntilAllSynced(int timeout_seconds) const {
  const auto synced = [this](int node) {
    return Status(node, "wsrep_local_state_comment") == "Synced" &&
           Status(node, "wsrep_ready") == "ON" &&
           Status(node, "wsrep_cluster_size") == std::to_string(kNodes);
  };
  return WaitUntil(
      std::chrono::seconds(timeout_seconds),
      [&] {
        try {
          bool all = true;
          for (int node = 1; node <= kNodes && all; ++node) all = synced(node);
          return all;
        } catch (const std::runtime_error&) {
          return false;  // a node does not answer yet
        }
      },
      std::chrono::milliseconds(100));
}

int SandboxCluster::Pid(int node) const {
  const std::string command = ShellQuoted(script_) + " pid " + std::to_string(node);
  std::unique_ptr<FILE, decltype(&pclose)> output(popen(command.c_str(), "r"), &pclose);
  if (!output) throw std::runtime_error(fmt::format("`{}` did not start", command));
  char text[32] = {};
  if (std::fgets(text, sizeof(text), output.get()) == nullptr || std::atoi(text) <= 0)
    throw std::runtime_error(fmt::format("`{}` named no process", command));
  return std::atoi(text);
}

void SandboxCluster::Signal(int node, int signal) const {
  if (::kill(Pid(node), signal) != 0)
    throw std::runtime_error(fmt::format("cannot signal node {}: errno {}", node, errno));
}

void SandboxCluster::RunScript(const std::string& arguments) const {
  const std::string command = ShellQuoted(script_) + " " + arguments;
  const int status = std::system(command.c_str());
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
    throw std::runtime_error(fmt::format("`{}` failed (status {})", command, status));
}

std::string SandboxCluster::Status(int node, const std::string& variable) const {
  std::unique_ptr<MYSQL, decltype(&mysql_close)> handle(mysql_init(nullptr), &mysql_close);
  if (!handle) throw std::runtime_error("mysql_init failed");
  const unsigned int connect_timeout = 5;
  mysql_options(handle.get(), MYSQL_OPT_CONNECT_TIMEOUT, &connect_timeout);
  if (mysql_real_connect(handle.get(), host_.c_str(), user_.c_str(), password_.c_str(), nullptr,
                         unsigned(Port(node)), nullptr, 0) == nullptr) {
    throw std::runtime_error(
        fmt::format("cannot reach cluster node {}: {}", node, mysql_error(handle.get())));
  }
  const std::string query = fmt::format("SHOW GLOBAL STATUS LIKE '{}'", variable);
  if (mysql_query(handle.get(), query.c_str()) != 0)
    throw std::runtime_error(fmt::format("{}: {}", query, mysql_error(handle.get())));
  std::unique_ptr<MYSQL_RES, decltype(&mysql_free_result)> result(mysql_store_result(handle.get()),
                                                                  &mysql_free_result);
  MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
  if (row == nullptr || row[1] == nullptr)
    throw std::runtime_error(fmt::format("node {} has no status {}", node, variable));
  return row[1];
}

}  // namespace veltrane::test
