// veltrane_outage_bench: how long the plugin holds the game thread while its database is far away
// or gone, with the database put behind a fault proxy (tests/support/FaultProxy). Runs the
// scenarios one after the other and prints a Markdown table (scripts/bench-outage).
//
//   veltrane_outage_bench [--stall-seconds=60] [--delay-calls=30] [--root=DIR]
//
// Needs VELTRANE_DB_HOST/PORT/USER/PASS of a sandbox server; works in a database of its own,
// veltrane_outage_bench, made afresh. Exits 1 when a scenario did not do what it must (a link
// lost, a row written twice), 2 when the run could not start.

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iostream>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "HostOutput.h"
#include "InProcessPlugin.h"
#include "RawConnection.h"
#include "host/AsaApi.h"
#include "support/FaultProxy.h"

namespace veltrane::bench {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr char kDatabase[] = "veltrane_outage_bench";
constexpr int kMysqlTimeoutSeconds = 10;  // the default of the example configuration

struct Options {
  int stall_seconds = 60;
  int delay_calls = 30;
  std::filesystem::path root = std::filesystem::temp_directory_path() / "veltrane-outage-bench";
};

double Milliseconds(Clock::duration duration) {
  return std::chrono::duration<double, std::milli>(duration).count();
}

template <typename Work>
double MillisecondsOf(Work&& work) {
  const Clock::time_point start = Clock::now();
  work();
  return Milliseconds(Clock::now() - start);
}

double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

class Scenarios {
 public:
  Scenarios(const Options& options, const ServerAddress& server)
      : options_(options), server_(server), proxy_(server.host, server.port) {
    RawConnection admin(server_, "");
    admin.Run(fmt::format("DROP DATABASE IF EXISTS {}", kDatabase));
    admin.Run(fmt::format("CREATE DATABASE {} CHARACTER SET utf8mb4", kDatabase));
    admin_ = std::make_unique<RawConnection>(server_, kDatabase);

    ServerAddress through_proxy = server_;
    through_proxy.host = "127.0.0.1";
    through_proxy.port = proxy_.Port();
    std::filesystem::create_directories(options_.root);
    output_ = std::make_unique<HostOutput>();
    plugin_ = std::make_unique<InProcessPlugin>(
        options_.root, std::filesystem::path(VELTRANE_SOURCE_DIR) / "config" / "config.json",
        through_proxy, VELTRANE_PLUGIN_MODULE);
    plugin_->Use(kDatabase, true);
    raw_ = std::make_unique<RawConnection>(through_proxy, kDatabase);
  }

  std::ostream& Report() { return output_->Report(); }
  bool Failed() const { return failed_; }

  // A player with a fresh code row of his own, joined.
  devhost::Player& NewLinkingPlayer(std::string* code_out = nullptr) {
    const int n = ++players_made_;
    const std::string code = fmt::format("OUTAGE{:06}", n);
    admin_->Run(fmt::format(
        "INSERT INTO player_discord (eos_id, discord_id, code) VALUES ('0', 'd{}', '{}')", n,
        code));
    if (code_out != nullptr) *code_out = code;
    return Join(n, fmt::format("eos-outage-{:06}", n));
  }
  // A player whose row is linked already, joined: his logout refreshes it.
  devhost::Player& NewLinkedPlayer() {
    const int n = ++players_made_;
    const std::string eos_id = fmt::format("eos-outage-{:06}", n);
    admin_->Run(
        fmt::format("INSERT INTO player_discord (eos_id, discord_id, player_id, code) "
                    "VALUES ('{}', 'd{}', {}, 'Linked')",
                    eos_id, n, n));
    return Join(n, eos_id);
  }

  double Link(devhost::Player& player, const std::string& code) {
    FString line(AsaApi::Tools::Utf8Decode(plugin_->MessageText("LinkDiscordCmd") + " " + code));
    return MillisecondsOf([&] { InProcessPlugin::Chat(player, line); });
  }
  double Logout(devhost::Player& player) {
    const InProcessPlugin::LogoutFunction logout = InProcessPlugin::LogoutEntry();
    return MillisecondsOf([&] { logout(InProcessPlugin::GameMode(), player.As<AController>()); });
  }

  // The database stalled for stall_seconds, one player action a second, links and logouts
  // alternating.
  void Stalled() {
    std::cerr << "stalled: " << options_.stall_seconds << " s\n";
    std::vector<devhost::Player*> linking;
    std::vector<std::string> codes(std::size_t(options_.stall_seconds));
    std::vector<devhost::Player*> leaving;
    for (int i = 0; i < options_.stall_seconds; ++i) {
      linking.push_back(&NewLinkingPlayer(&codes[std::size_t(i)]));
      leaving.push_back(&NewLinkedPlayer());
    }
    Warm();
    proxy_.SetStalled(true);
    const Clock::time_point start = Clock::now();
    std::vector<double> held;
    for (int i = 0; i < options_.stall_seconds; ++i) {
      std::this_thread::sleep_until(start + std::chrono::seconds(i));
      held.push_back(i % 2 == 0 ? Link(*linking[std::size_t(i)], codes[std::size_t(i)])
                                : Logout(*leaving[std::size_t(i)]));
    }
    const double total = std::accumulate(held.begin(), held.end(), 0.0);
    const std::size_t long_calls =
        std::size_t(std::count_if(held.begin(), held.end(), [](double ms) { return ms >= 5; }));
    rows_.push_back(fmt::format(
        "| stalled {} s, one action a second ({} actions) | {:.0f} ms in total, longest {:.0f} "
        "ms; {} actions above 5 ms | at most 2 x {} s + one 3 s reconnection per cool-down |",
        options_.stall_seconds, held.size(), total, *std::max_element(held.begin(), held.end()),
        long_calls, kMysqlTimeoutSeconds));
    proxy_.SetStalled(false);
  }

  // The database refused (down), then back.
  void RefusedThenBack() {
    std::cerr << "refused, then back\n";
    std::vector<devhost::Player*> linking;
    std::vector<std::string> codes(40);
    std::vector<devhost::Player*> leaving;
    for (std::string& code : codes) {
      linking.push_back(&NewLinkingPlayer(&code));
      leaving.push_back(&NewLinkedPlayer());
    }
    Warm();
    proxy_.SetRefusing(true);
    proxy_.DropConnections();
    std::vector<double> held;
    for (std::size_t i = 0; i < codes.size(); ++i) {
      held.push_back(Link(*linking[i], codes[i]));
      held.push_back(Logout(*leaving[i]));
    }
    // The first action meets the dropped connection; all after it the cool-down.
    const double first = held.front();
    const std::vector<double> during(held.begin() + 1, held.end());
    rows_.push_back(fmt::format(
        "| refused (server down), {} actions | first {:.2f} ms, then median {:.3f} ms, longest "
        "{:.3f} ms | every action under 5 ms |",
        held.size(), first, Median(during), *std::max_element(during.begin(), during.end())));
    if (*std::max_element(held.begin(), held.end()) >= 5) failed_ = true;

    proxy_.SetRefusing(false);
    std::this_thread::sleep_for(5500ms);  // the first cool-down
    output_->Clear();
    const double back = Link(*linking[0], codes[0]);
    const bool told = output_->CountLines(plugin_->PrintedMessageText("AccountLinked")) == 1;
    const std::uint64_t linked_twice = admin_->Run(
        "SELECT COUNT(*) FROM (SELECT eos_id FROM player_discord WHERE player_id <> 0 GROUP BY "
        "eos_id HAVING COUNT(*) > 1) AS twice");
    rows_.push_back(fmt::format(
        "| the server back, first link after the cool-down | {:.2f} ms, player told AccountLinked: "
        "{}, EOS ids on more than one linked row: {} | links normally, nothing twice |",
        back, told ? "yes" : "no", linked_twice));
    if (!told || linked_twice != 0) failed_ = true;
  }

  // The link command and the logout refresh with a delay added to every packet, beside the same
  // statements sent raw through the same proxy.
  void Delayed() {
    for (const std::chrono::milliseconds delay : {1ms, 10ms, 50ms}) {
      std::cerr << "delay " << delay.count() << " ms each way\n";
      proxy_.SetDelay(delay, delay);
      std::vector<double> plugin_link, raw_link, plugin_logout, raw_logout;
      for (int i = 0; i < options_.delay_calls; ++i) {
        std::string code;
        devhost::Player& linking = NewLinkingPlayer(&code);
        devhost::Player& leaving = NewLinkedPlayer();
        const int n = players_made_;
        plugin_link.push_back(Link(linking, code));
        plugin_logout.push_back(Logout(leaving));
        // The store's statements for a new player (three questions asked of an EOS id without a
        // row are two) and for a refresh, raw.
        const std::string raw_code = fmt::format("RAW{:06}", n);
        admin_->Run(fmt::format(
            "INSERT INTO player_discord (eos_id, discord_id, code) VALUES ('0', 'r{}', '{}')", n,
            raw_code));
        raw_link.push_back(MillisecondsOf([&] {
          raw_->Run(fmt::format(
              "SELECT EXISTS (SELECT * FROM player_discord WHERE eos_id = 'raw-{}');", n));
          raw_->Run(fmt::format("SELECT EXISTS (SELECT * FROM player_discord WHERE code = '{}');",
                                raw_code));
          raw_->Run(
              fmt::format("UPDATE player_discord SET eos_id = 'raw-{}', player_id = {}, "
                          "character_name = 'Raw', tribe_id = 0, tribe_name = '', code = "
                          "'Linked' WHERE code = '{}';",
                          n, n, raw_code));
        }));
        raw_logout.push_back(MillisecondsOf([&] {
          raw_->Run(fmt::format(
              "SELECT EXISTS (SELECT * FROM player_discord WHERE eos_id = 'raw-{}');", n));
          raw_->Run(fmt::format(
              "SELECT COUNT(*) FROM player_discord WHERE player_id <> 0 AND eos_id = 'raw-{}';",
              n));
          raw_->Run(
              fmt::format("UPDATE player_discord SET character_name = 'Raw', tribe_id = 0, "
                          "tribe_name = '', code = 'Updated' WHERE eos_id = 'raw-{}';",
                          n));
        }));
      }
      rows_.push_back(fmt::format(
          "| +{} ms each way: link command (3 statements) | plugin {:.1f} ms, raw {:.1f} ms "
          "(median of {}) | about one round trip per statement |",
          delay.count(), Median(plugin_link), Median(raw_link), options_.delay_calls));
      rows_.push_back(fmt::format(
          "| +{} ms each way: logout refresh (3 statements) | plugin {:.1f} ms, raw {:.1f} ms "
          "(median of {}) | about one round trip per statement |",
          delay.count(), Median(plugin_logout), Median(raw_logout), options_.delay_calls));
    }
    proxy_.SetDelay(0us, 0us);
  }

  void PrintTable() {
    Report() << "| Scenario | Game thread held | Target |\n|---|---|---|\n";
    for (const std::string& row : rows_) Report() << row << "\n";
    Report().flush();
  }

 private:
  devhost::Player& Join(int n, const std::string& eos_id) {
    devhost::PlayerProfile profile;
    profile.script_name = fmt::format("p{}", n);
    profile.eos_id = std::u16string(eos_id.begin(), eos_id.end());
    profile.player_id = n;
    profile.character_name = AsaApi::Tools::Utf8Decode(fmt::format("Player {}", n));
    profile.tribe_name = u"Tribe";
    return plugin_->Join(std::move(profile));
  }

  // One answered statement, so that a scenario starts connected and outside any outage.
  void Warm() {
    devhost::Player& player = NewLinkedPlayer();
    for (int i = 0; i < 3; ++i) Logout(player);
  }

  Options options_;
  ServerAddress server_;
  test::FaultProxy proxy_;
  std::unique_ptr<RawConnection> admin_;
  std::unique_ptr<RawConnection> raw_;
  std::unique_ptr<HostOutput> output_;
  std::unique_ptr<InProcessPlugin> plugin_;
  std::vector<std::string> rows_;
  int players_made_ = 0;
  bool failed_ = false;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument.starts_with("--stall-seconds=")) {
      options.stall_seconds = std::stoi(argument.substr(16));
    } else if (argument.starts_with("--delay-calls=")) {
      options.delay_calls = std::stoi(argument.substr(14));
    } else if (argument.starts_with("--root=")) {
      options.root = argument.substr(7);
    } else {
      throw std::invalid_argument("unknown argument " + argument);
    }
  }
  return options;
}

}  // namespace
}  // namespace veltrane::bench

int main(int argc, char** argv) {
  using namespace veltrane::bench;
  try {
    const Options options = ParseOptions(argc, argv);
    Scenarios scenarios(options, ServerAddress::FromEnvironment());
    scenarios.Delayed();
    scenarios.RefusedThenBack();
    scenarios.Stalled();
    scenarios.PrintTable();
    return scenarios.Failed() ? 1 : 0;
  } catch (const std::exception& error) {
    std::cerr << "veltrane_outage_bench: " << error.what() << "\n";
    return 2;
  }
}
