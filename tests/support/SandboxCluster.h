#pragma once
// The three-node Galera cluster of scripts/sandbox-cluster, for tests that run game servers on
// several nodes and take nodes down under them. Found through VELTRANE_CLUSTER_* (printed by
// `scripts/sandbox-cluster env`); every failure throws std::runtime_error.

#include <string>
#include <vector>

#include "support/SandboxDatabase.h"

namespace veltrane::test {

class SandboxCluster {
 public:
  // Throws naming `eval "$(scripts/sandbox-cluster env)"` when a variable is missing.
  SandboxCluster();

  static constexpr int kNodes = 3;

  // Node 1 to 3, as a server the sandbox fixtures can use.
  SandboxSettings Node(int node) const;
  int Port(int node) const;
  // A MysqlHost value naming the nodes in this order: "127.0.0.1:P,127.0.0.1:Q".
  std::string HostList(const std::vector<int>& nodes) const;

  // SIGKILLs the node and returns once the others have evicted it.
  void Kill(int node) const;
  // Starts the node again and returns once it has rejoined and is Synced.
  void Restart(int node) const;
  // Freezes the node with SIGSTOP, as a host that hangs, and returns once all its threads have
  // stopped: its connections stay open and nothing answers. Thaw sends SIGCONT.
  void Stall(int node) const;
  void Thaw(int node) const;
  // Waits (up to timeout_seconds) until every node answers, is Synced and sees all three in its
  // primary component; false when that did not come. A node just thawed still reports the view
  // it had before it was stopped, so its own word is not enough.
  bool WaitUntilAllSynced(int timeout_seconds) const;
  // The node's wsrep status value (wsrep_cluster_size, wsrep_local_state_comment, ...), asked
  // over a connection of its own.
  std::string Status(int node, const std::string& variable) const;

 private:
  void RunScript(const std::string& arguments) const;
  int Pid(int node) const;
  void Signal(int node, int signal) const;

  std::string host_;
  std::vector<int> ports_;
  std::string user_;
  std::string password_;
  std::string database_;
  std::string script_;
};

}  // namespace veltrane::test
