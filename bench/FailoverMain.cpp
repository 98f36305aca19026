// veltrane_failover: what a game server's players and its game thread go through when the
// cluster node under it is killed (scripts/bench-cluster runs it against scripts/sandbox-cluster).
//
//   veltrane_failover [--rounds=N] [--root=DIR]
//
// Needs VELTRANE_CLUSTER_* (scripts/sandbox-cluster env). Each round loads the plugin with
// MysqlHost listing node 1, 2, 3, links players through node 1, kills node 1 with SIGKILL between
// two commands, then times every link command until twenty have succeeded through another node,
// and starts node 1 again. Prints a Markdown table on standard output; exits 1 when a round could
// not be measured, 2 when the run could not start.

#include <fmt/format.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "HostOutput.h"
#include "InProcessPlugin.h"
#include "RawConnection.h"
#include "host/AsaApi.h"
#include "support/WaitUntil.h"

namespace veltrane::bench {
namespace {

constexpr int kBefore = 30;          // links timed on the healthy cluster
constexpr int kSuccessesAfter = 20;  // links timed after the first success through another node
constexpr int kMaxAttemptsAfter = 200;

std::string RequireVariable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') {
    throw std::runtime_error(fmt::format(
        "{} is not set: run scripts/bench-cluster, or export the cluster's settings with "
        "`eval \"$(scripts/sandbox-cluster env)\"`",
        name));
  }
  return value;
}

struct Cluster {
  std::vector<int> ports;
  std::string user;
  std::string password;
  std::string script;

  static Cluster FromEnvironment() {
    Cluster cluster{{},
                    RequireVariable("VELTRANE_CLUSTER_USER"),
                    RequireVariable("VELTRANE_CLUSTER_PASS"),
                    RequireVariable("VELTRANE_CLUSTER_SCRIPT")};
    std::stringstream ports(RequireVariable("VELTRANE_CLUSTER_PORTS"));
    for (std::string port; std::getline(ports, port, ',');)
      cluster.ports.push_back(std::stoi(port));
    if (cluster.ports.size() != 3) throw std::runtime_error("VELTRANE_CLUSTER_PORTS needs 3 nodes");
    return cluster;
  }

  ServerAddress Node(int node) const {
    return {"127.0.0.1", ports.at(std::size_t(node - 1)), user, password};
  }

  // The plugin's server: every node, node 1 first.
  ServerAddress All() const {
    return {fmt::format("127.0.0.1:{},127.0.0.1:{},127.0.0.1:{}", ports[0], ports[1], ports[2]),
            ports[0], user, password};
  }

  std::string Script(const std::string& arguments) const {
    const std::string command = "'" + script + "' " + arguments + " 2>&1";
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), &pclose);
    if (!pipe) throw std::runtime_error("cannot run " + command);
    std::string output;
    char chunk[4096];
    while (const std::size_t count = std::fread(chunk, 1, sizeof chunk, pipe.get()))
      output.append(chunk, count);
    const int status = pclose(pipe.release());
    if (status != 0) throw std::runtime_error(fmt::format("`{}` failed: {}", command, output));
    return output;
  }
};

// SIGKILL, then wait until the process is gone (reaped, or a zombie that holds no socket).
void KillAndWait(pid_t pid) {
  if (kill(pid, SIGKILL) != 0) throw std::runtime_error(fmt::format("cannot kill {}", pid));
  const auto gone = [pid] {
    std::ifstream stat(fmt::format("/proc/{}/stat", pid));
    std::string pid_text, name, state;
    return !(stat >> pid_text >> name >> state) || state == "Z";
  };
  if (!test::WaitUntil(std::chrono::seconds(5), gone, std::chrono::milliseconds(5)))
    throw std::runtime_error(fmt::format("process {} did not end", pid));
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct Round {
  double before_ms = 0;               // median link before the kill
  int failed = 0;                     // commands that did not link before the first that did
  std::vector<double> failed_ms;      // their hold times
  std::string failed_replies;         // what those players were told
  double first_success_ms = 0;        // the first link after the kill
  double until_first_success_ms = 0;  // game thread held from the kill to that link, in total
  double after_ms = 0;                // median of the next links, through the other node
};

class FailoverRun {
 public:
  FailoverRun(const std::filesystem::path& root, const Cluster& cluster)
      : cluster_(cluster),
        plugin_(root, std::filesystem::path(VELTRANE_SOURCE_DIR) / "config" / "config.json",
                cluster.All(), VELTRANE_PLUGIN_MODULE) {}

  HostOutput& Output() { return output_; }

  Round Measure(int round) {
    const std::string database = fmt::format("veltrane_failover_{}", round);
    RawConnection setup(cluster_.Node(1), "");
    setup.Run("DROP DATABASE IF EXISTS " + database);
    setup.Run("CREATE DATABASE " + database + " CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci");
    const int codes = kBefore + kMaxAttemptsAfter;
    {
      RawConnection admin(cluster_.Node(1), database);
      admin.Run(
          "CREATE TABLE player_discord (id int(11) NOT NULL AUTO_INCREMENT,eos_id varchar(50) "
          "NOT NULL DEFAULT '0',discord_id varchar(50) NOT NULL DEFAULT '0',player_id int(11) NOT "
          "NULL DEFAULT 0,character_name varchar(255) NOT NULL DEFAULT 'None',tribe_id int(11) NOT "
          "NULL DEFAULT 0,tribe_name varchar(255) NOT NULL DEFAULT 'None',code varchar(50) NOT "
          "NULL DEFAULT '0',PRIMARY KEY(id), KEY player_discord_eos_id (eos_id), KEY "
          "player_discord_code (code))");
      std::string values;
      for (int i = 0; i < codes; ++i)
        values += fmt::format("{}('{}', 'FO{}X{:04}')", i ? "," : "", 400000 + i, round, i);
      admin.Run("INSERT INTO player_discord (discord_id, code) VALUES " + values);
    }
    // A fresh load connects to the first node again.
    plugin_.Use(database, InProcessPlugin::StoreMode::Blocking, false);

    const std::string linked = plugin_.PrintedMessageText("AccountLinked");
    int next = 0;
    const auto link = [&](double& held_ms) {
      devhost::PlayerProfile profile;
      profile.script_name = fmt::format("p{}", next);
      const std::string eos_id = fmt::format("{:032x}", round * 1000000 + next);
      profile.eos_id = std::u16string(eos_id.begin(), eos_id.end());
      profile.player_id = 1000 + next;
      profile.character_name = u"Survivor";
      profile.tribe_id = 0;
      devhost::Player& player = plugin_.Join(std::move(profile));
      FString line(AsaApi::Tools::Utf8Decode(fmt::format("/link FO{}X{:04}", round, next)));
      ++next;
      output_.Clear();
      const auto start = std::chrono::steady_clock::now();
      InProcessPlugin::Chat(player, line);
      held_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
      const bool ok = output_.CountLines(linked) == 1;
      plugin_.Leave(player);
      return ok;
    };

    Round result;
    std::vector<double> before;
    for (int i = 0; i < kBefore; ++i) {
      double held = 0;
      if (!link(held)) throw std::runtime_error("a link on the healthy cluster failed");
      before.push_back(held);
    }
    result.before_ms = Median(before);

    const pid_t victim = std::stoi(cluster_.Script("pid 1"));
    KillAndWait(victim);

    std::vector<double> after;
    bool linked_once = false;
    for (int attempt = 0; attempt < kMaxAttemptsAfter && int(after.size()) < kSuccessesAfter;
         ++attempt) {
      double held = 0;
      const bool ok = link(held);
      if (!linked_once) {
        result.until_first_success_ms += held;
        if (ok) {
          linked_once = true;
          result.first_success_ms = held;
        } else {
          ++result.failed;
          result.failed_ms.push_back(held);
          result.failed_replies += ReplyKey();
        }
      } else if (ok) {
        after.push_back(held);
      }
    }
    if (!linked_once) {
      throw std::runtime_error(
          fmt::format("no link succeeded in {} commands after node 1 died", kMaxAttemptsAfter));
    }
    result.after_ms = Median(after);
    cluster_.Script("restart 1");
    RawConnection(cluster_.Node(1), "").Run("DROP DATABASE " + database);
    return result;
  }

 private:
  // The message key of the last reply, for the table.
  std::string ReplyKey() {
    for (const char* key : {"DatabaseUnavailable", "InvalidCode", "AccountAlredyLinked"}) {
      try {
        if (output_.CountLines(plugin_.PrintedMessageText(key)) > 0)
          return fmt::format("`{}` ", key);
      } catch (const std::exception&) {
        // A key the example configuration does not have.
      }
    }
    return "(none) ";
  }

  const Cluster& cluster_;
  HostOutput output_;
  InProcessPlugin plugin_;
};

std::string Milliseconds(double ms) {
  return ms < 10 ? fmt::format("{:.2f} ms", ms) : fmt::format("{:.0f} ms", ms);
}

int Run(int argc, char** argv) {
  int rounds = 3;
  std::filesystem::path root = std::filesystem::temp_directory_path() / "veltrane-failover";
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.rfind("--rounds=", 0) == 0) {
      rounds = std::stoi(argument.substr(9));
    } else if (argument.rfind("--root=", 0) == 0) {
      root = argument.substr(7);
    } else {
      throw std::invalid_argument("unknown argument " + argument);
    }
  }
  const Cluster cluster = Cluster::FromEnvironment();
  std::filesystem::create_directories(root);
  FailoverRun run(root, cluster);
  std::ostream& report = run.Output().Report();

  report
      << "| Round | Link before (median) | Commands failed | Their hold time | Reply | First link "
         "after | Held from the kill to that link | Links after (median) |\n"
         "|--:|--:|--:|--:|---|--:|--:|--:|\n";
  int status = 0;
  for (int round = 1; round <= rounds; ++round) {
    std::cerr << "failover round " << round << "\n";
    try {
      const Round r = run.Measure(round);
      std::string failed_ms;
      for (const double ms : r.failed_ms)
        failed_ms += (failed_ms.empty() ? "" : ", ") + Milliseconds(ms);
      report << fmt::format(
          "| {} | {} | {} | {} | {}| {} | {} | {} |\n", round, Milliseconds(r.before_ms), r.failed,
          failed_ms.empty() ? "-" : failed_ms, r.failed_replies.empty() ? "- " : r.failed_replies,
          Milliseconds(r.first_success_ms), Milliseconds(r.until_first_success_ms),
          Milliseconds(r.after_ms));
    } catch (const std::exception& error) {
      report << fmt::format("| {} | failed: {} |\n", round, error.what());
      std::cerr << "round " << round << " failed: " << error.what() << "\n";
      status = 1;
      // Leave the cluster whole for the next round.
      try {
        cluster.Script("restart 1");
      } catch (const std::exception&) {
      }
    }
    report.flush();
  }
  return status;
}

}  // namespace
}  // namespace veltrane::bench

int main(int argc, char** argv) {
  try {
    return veltrane::bench::Run(argc, argv);
  } catch (const std::exception& error) {
    std::cerr << "veltrane_failover: " << error.what() << "\n";
    return 2;
  }
}
