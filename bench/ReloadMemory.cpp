// The plugin unloaded and loaded again and again in one development host, as an admin reloading
// plugins does: the host's resident memory, its mappings and its threads after 10 and after many
// cycles, in several fresh hosts, and what stays mapped of the module or of the library only it
// loads after an unload. Prints the table of docs/performance.md; each run's figures go to stderr.
//
//   cmake --build build --target reload_memory && build/bin/reload_memory
//   (with the sandbox database: eval "$(scripts/sandbox-db env)" first)
//   build/bin/reload_memory [--runs N] [--cycles N] [--no-database]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "WebhookReceiver.h"
#include "support/DevhostRunner.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kFirstSample = 10;
constexpr long kRssMarginKib = 20 * 1024;
constexpr long kMappingMargin = 10;

struct Sample {
  long rss_kib = 0;
  long mappings = 0;
  long threads = 0;
};

// Where the plugin and the libraries only it needs are mapped, and how often each file's first
// page is (two means two copies).
struct ModuleCopies {
  int plugin = 0;
  int mariadb = 0;
};

std::string Getenv(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// A configuration for the devhost's root: the example's texts, a blocking store on the sandbox
// database when its settings are in the environment, else on a port where nothing listens;
// optionally announcing each link to url.
nlohmann::json Configuration(bool database, const std::string& url) {
  std::ifstream example(fs::path(VELTRANE_SOURCE_DIR) / "config" / "config.json");
  nlohmann::json config = nlohmann::json::parse(example);
  nlohmann::json& section = config["Database"];
  // The blocking store, as these figures were first measured with, whatever the example says.
  section["NonBlocking"] = false;
  if (database) {
    section["MysqlHost"] = Getenv("VELTRANE_DB_HOST");
    section["MysqlPort"] = std::stoi(Getenv("VELTRANE_DB_PORT"));
    section["MysqlUser"] = Getenv("VELTRANE_DB_USER");
    section["MysqlPass"] = Getenv("VELTRANE_DB_PASS");
    section["MysqlDB"] = Getenv("VELTRANE_DB_NAME");
  } else {
    section["MysqlHost"] = "127.0.0.1";
    section["MysqlPort"] = 1;
  }
  if (!url.empty()) {
    config["Settings"]["Discord"]["EnableDiscord"] = true;
    config["Settings"]["Discord"]["WebHookUrl"] = url;
    config["Settings"]["MaxCodeAttempts"] = 0;
  }
  return config;
}

// One fresh devhost with the real plugin, its script on a pipe, its output read line by line.
class Devhost {
 public:
  explicit Devhost(const nlohmann::json& config)
      : runner_(config), process_(runner_.Start("", "")) {}

  void Write(const std::string& text) { process_->Send(text); }

  // Waits until the devhost has run every line written so far; marker is printed once a run.
  void ReadUpTo(const std::string& marker) {
    Write("echo " + marker + "\n");
    if (!process_->WaitForLine("echo \"" + marker + "\"", 1, std::chrono::minutes(30)))
      throw std::runtime_error("the devhost did not get to " + marker);
  }

  std::size_t FailedLoads() const { return process_->Count("load failed"); }
  // Answered 204 by a receiver that checks Discord's rules.
  std::size_t PostsTaken() const { return process_->Count("http-status ", " status=204"); }

  Sample Measure() const {
    Sample sample;
    std::ifstream status(Proc("status"));
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmRSS:", 0) == 0) sample.rss_kib = std::stol(line.substr(6));
      if (line.rfind("Threads:", 0) == 0) sample.threads = std::stol(line.substr(8));
    }
    std::ifstream maps(Proc("maps"));
    for (std::string line; std::getline(maps, line);) ++sample.mappings;
    return sample;
  }

  ModuleCopies Copies() const {
    ModuleCopies copies;
    std::ifstream maps(Proc("maps"));
    for (std::string line; std::getline(maps, line);) {
      std::istringstream fields(line);
      std::string range, permissions, offset, device, inode, path;
      fields >> range >> permissions >> offset >> device >> inode >> path;
      if (std::stoul(offset, nullptr, 16) != 0) continue;
      if (path.ends_with("/Veltrane.so")) ++copies.plugin;
      if (path.find("libmariadb.so") != std::string::npos) ++copies.mariadb;
    }
    return copies;
  }

 private:
  std::string Proc(const char* what) const {
    return "/proc/" + std::to_string(process_->Pid()) + "/" + what;
  }

  veltrane::test::DevhostRunner runner_;
  std::unique_ptr<veltrane::test::DevhostProcess> process_;
};

struct Run {
  Sample first;
  Sample last;
  ModuleCopies unloaded;  // after the last unload
  std::size_t failed_loads = 0;
  std::size_t posts_taken = 0;
};

// One fresh devhost: cycles of unload and load, each followed by the work of a cycle (a link and
// its announcement in the busy variant).
Run OneRun(const nlohmann::json& config, int cycles, bool link_each_cycle, int run) {
  Devhost devhost(config);
  Run measured;
  devhost.ReadUpTo("started");
  for (int cycle = 1; cycle <= cycles; ++cycle) {
    std::string script = "unload\nload\n";
    if (link_each_cycle) {
      const std::string player = std::string("p").append(std::to_string(cycle));
      script += "join " + player + " eos=EOS-R" + std::to_string(run) + "-" +
                std::to_string(cycle) + " id=" + std::to_string(cycle) + "\nchat " + player +
                " /link R" + std::to_string(run) + "-" + std::to_string(cycle) + "\nleave " +
                player + "\n";
    }
    devhost.Write(script);
    if (cycle == kFirstSample || cycle == cycles) {
      if (link_each_cycle) devhost.Write("http-wait\n");
      devhost.ReadUpTo("cycle-" + std::to_string(cycle));
      (cycle == kFirstSample ? measured.first : measured.last) = devhost.Measure();
    }
  }
  devhost.Write("unload\n");
  devhost.ReadUpTo("unloaded");
  measured.unloaded = devhost.Copies();
  measured.failed_loads = devhost.FailedLoads();
  measured.posts_taken = devhost.PostsTaken();
  return measured;
}

// Waiting rows for every link of every run, named R<run>-<cycle>.
void InsertCodes(int runs, int cycles) {
  std::string statement;
  for (int run = 1; run <= runs; ++run) {
    for (int cycle = 1; cycle <= cycles; ++cycle) {
      statement += statement.empty() ? "" : ",";
      statement += "('d','R" + std::to_string(run) + "-" + std::to_string(cycle) + "')";
    }
  }
  const std::string command =
      "mariadb --host=" + Getenv("VELTRANE_DB_HOST") + " --port=" + Getenv("VELTRANE_DB_PORT") +
      " --user=" + Getenv("VELTRANE_DB_USER") + " --password=" + Getenv("VELTRANE_DB_PASS") + " " +
      Getenv("VELTRANE_DB_NAME") + " -e \"" +
      "CREATE TABLE IF NOT EXISTS player_discord (id int(11) NOT NULL AUTO_INCREMENT,eos_id "
      "varchar(50) NOT NULL DEFAULT '0',discord_id varchar(50) NOT NULL DEFAULT '0',player_id "
      "int(11) NOT NULL DEFAULT 0,character_name varchar(255) NOT NULL DEFAULT 'None',tribe_id "
      "int(11) NOT NULL DEFAULT 0,tribe_name varchar(255) NOT NULL DEFAULT 'None',code "
      "varchar(50) NOT NULL DEFAULT '0',PRIMARY KEY(id)) CHARACTER SET utf8mb4; DELETE FROM "
      "player_discord WHERE code LIKE 'R%' OR eos_id LIKE 'EOS-R%'; INSERT INTO player_discord "
      "(discord_id, code) VALUES " +
      statement + "\"";
  if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot insert the codes");
}

struct Variant {
  std::string name;
  bool database;
  bool link_each_cycle;
};

void Report(const Variant& variant, int runs, int cycles) {
  std::unique_ptr<veltrane::test::WebhookReceiver> receiver;
  if (variant.link_each_cycle) {
    receiver = std::make_unique<veltrane::test::WebhookReceiver>(204);
    receiver->CheckDiscordRules();
    InsertCodes(runs, cycles);
  }
  const nlohmann::json config =
      Configuration(variant.database, receiver ? receiver->Url() : std::string());
  long worst_rss = 0;
  long worst_mappings = 0;
  long most_threads = 0;
  long first_rss_min = 1L << 40;
  long first_rss_max = 0;
  int within = 0;
  std::size_t failed_loads = 0;
  std::size_t posts_taken = 0;
  int leftover_plugin = 0;
  int leftover_mariadb = 0;
  const Clock::time_point start = Clock::now();
  for (int run = 1; run <= runs; ++run) {
    const Run measured = OneRun(config, cycles, variant.link_each_cycle, run);
    const long rss_growth = measured.last.rss_kib - measured.first.rss_kib;
    const long mapping_growth = measured.last.mappings - measured.first.mappings;
    worst_rss = std::max(worst_rss, rss_growth);
    worst_mappings = std::max(worst_mappings, mapping_growth);
    most_threads = std::max({most_threads, measured.first.threads, measured.last.threads});
    first_rss_min = std::min(first_rss_min, measured.first.rss_kib);
    first_rss_max = std::max(first_rss_max, measured.first.rss_kib);
    if (std::abs(rss_growth) <= kRssMarginKib && std::abs(mapping_growth) <= kMappingMargin)
      ++within;
    failed_loads += measured.failed_loads;
    posts_taken += measured.posts_taken;
    leftover_plugin = std::max(leftover_plugin, measured.unloaded.plugin);
    leftover_mariadb = std::max(leftover_mariadb, measured.unloaded.mariadb);
    std::fprintf(stderr,
                 "%s run %d: %ld KiB, %ld mappings, %ld threads after %d cycles; %ld KiB, %ld "
                 "mappings, %ld threads after %d\n",
                 variant.name.c_str(), run, measured.first.rss_kib, measured.first.mappings,
                 measured.first.threads, kFirstSample, measured.last.rss_kib,
                 measured.last.mappings, measured.last.threads, cycles);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf(
      "| %s | %d of %d | %.1f to %.1f MiB | %+ld KiB | %+ld | %ld | %d, %d | %zu | %zu | %.0f s "
      "|\n",
      variant.name.c_str(), within, runs, first_rss_min / 1024.0, first_rss_max / 1024.0, worst_rss,
      worst_mappings, most_threads, leftover_plugin, leftover_mariadb, failed_loads, posts_taken,
      seconds);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 20;
  int cycles = 300;
  bool database = !Getenv("VELTRANE_DB_HOST").empty();
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--runs" && i + 1 < argc) {
      runs = std::stoi(argv[++i]);
    } else if (argument == "--cycles" && i + 1 < argc) {
      cycles = std::stoi(argv[++i]);
    } else if (argument == "--no-database") {
      database = false;
    } else {
      std::fprintf(stderr, "usage: reload_memory [--runs N] [--cycles N] [--no-database]\n");
      return 2;
    }
  }
  std::vector<Variant> variants = {{"no database", false, false}};
  if (database) {
    variants.push_back({"sandbox database", true, false});
    variants.push_back({"sandbox database, a link and its announcement each cycle", true, true});
  }
  try {
    std::printf(
        "| Each cycle | Runs within 20 MiB and 10 mappings | Resident after %d cycles | Largest "
        "growth of resident memory, %d to %d cycles | Of mappings | Most threads | Copies of "
        "Veltrane.so, libmariadb after the last unload | Failed loads | Announcements "
        "answered 204 | Time |\n"
        "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n",
        kFirstSample, kFirstSample, cycles);
    for (const Variant& variant : variants) Report(variant, runs, cycles);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "reload_memory: %s\n", error.what());
    return 1;
  }
  return 0;
}
