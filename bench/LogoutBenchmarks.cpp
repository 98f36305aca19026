// The logout hook: with the refresh on, a linked player leaves and the plugin refreshes the row
// (three statements), side by side with the same statements sent raw; with the refresh off the
// hook reads one setting and passes the call on.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <array>
#include <string>
#include <vector>

#include "BenchContext.h"
#include "SideBySide.h"

namespace veltrane::bench {

namespace {

// What a leaving player's row is refreshed with: new names and tribe, so that every update writes.
struct Departure {
  LinkedRow row;
  std::string character_name;
  int tribe_id = 0;
  std::string tribe_name;
};

std::vector<Departure> NewDepartures(SeededTable& table, int count, BenchContext& context) {
  const int generation = ++context.generation;
  std::vector<Departure> departures;
  for (LinkedRow& row : table.SampleLinkedRows(count, context.random)) {
    departures.push_back({row, fmt::format("Survivor {} #{}", row.id, generation),
                          generation % 1000000 + 1, fmt::format("Tribe #{}", generation)});
  }
  return departures;
}

std::uint64_t RefreshedRows(SeededTable& table, const std::vector<Departure>& departures) {
  std::string ids;
  for (const Departure& departure : departures) ids += fmt::format("{},", departure.row.id);
  ids.pop_back();
  return table.Admin().Run(fmt::format(
      "SELECT COUNT(*) FROM player_discord WHERE id IN ({}) AND code = 'Updated' AND tribe_id = {}",
      ids, departures.front().tribe_id));
}

devhost::PlayerProfile PlayerOf(const Departure& departure, int generation) {
  devhost::PlayerProfile profile;
  profile.script_name = fmt::format("leaver-{}-{}", generation, departure.row.id);
  profile.eos_id = std::u16string(departure.row.eos_id.begin(), departure.row.eos_id.end());
  profile.player_id = departure.row.player_id;
  profile.character_name = AsaApi::Tools::Utf8Decode(departure.character_name);
  profile.tribe_id = departure.tribe_id;
  profile.tribe_name = AsaApi::Tools::Utf8Decode(departure.tribe_name);
  return profile;
}

// The statements the store sends when a linked player leaves, made in advance.
std::array<std::string, 3> StatementsOf(const Departure& departure, RawConnection& raw) {
  const std::string eos_id = raw.Quote(departure.row.eos_id);
  return {fmt::format("SELECT EXISTS (SELECT * FROM player_discord WHERE eos_id = {});", eos_id),
          fmt::format("SELECT COUNT(*) FROM player_discord WHERE player_id <> 0 AND eos_id = {};",
                      eos_id),
          fmt::format("UPDATE player_discord SET character_name = {}, tribe_id = {}, tribe_name = "
                      "{}, code = 'Updated' WHERE eos_id = {};",
                      raw.Quote(departure.character_name), departure.tribe_id,
                      raw.Quote(departure.tribe_name), eos_id)};
}

// Statements of every kind the server ran so far.
std::uint64_t StatementsRun(RawConnection& admin) {
  std::uint64_t total = 0;
  for (const std::vector<std::string>& status :
       admin.Rows("SHOW GLOBAL STATUS WHERE Variable_name IN ('Com_select', 'Com_update', "
                  "'Com_insert', 'Com_delete')")) {
    total += std::stoull(status.at(1));
  }
  return total;
}

void Refresh(benchmark::State& state, int rows) {
  BenchContext& context = Context();
  SeededTable& table = *context.tables.at(rows);
  RawConnection& raw = *context.raw.at(rows);
  InProcessPlugin& plugin = *context.plugin;
  plugin.Use(table.Database(), InProcessPlugin::StoreMode::Blocking, true);

  const int count = int(state.max_iterations) + context.workload.warm_up_calls;
  std::vector<Departure> departures = NewDepartures(table, 2 * count, context);
  const std::vector<Departure> raw_departures(departures.begin() + count, departures.end());
  departures.resize(std::size_t(count));
  std::vector<devhost::Player*> players;
  std::vector<std::array<std::string, 3>> statements;
  for (int i = 0; i < count; ++i) {
    players.push_back(&plugin.Join(PlayerOf(departures[i], context.generation)));
    statements.push_back(StatementsOf(raw_departures[i], raw));
  }
  const InProcessPlugin::LogoutFunction logout = InProcessPlugin::LogoutEntry();
  AShooterGameMode* game_mode = InProcessPlugin::GameMode();

  const auto plugin_refresh = [&](int i) { logout(game_mode, players[i]->As<AController>()); };
  const auto raw_refresh = [&](int i) {
    raw.Run(statements[i][0]);
    raw.Run(statements[i][1]);
    raw.Run(statements[i][2]);
  };
  int next = 0;
  for (; next < context.workload.warm_up_calls; ++next) {
    plugin_refresh(next);
    raw_refresh(next);
  }

  SideBySide timing;
  for (auto _ : state) {
    timing.Call(
        next, [&] { plugin_refresh(next); }, [&] { raw_refresh(next); });
    ++next;
  }
  timing.Report(state);

  const std::uint64_t refreshed =
      RefreshedRows(table, departures) + RefreshedRows(table, raw_departures);
  if (refreshed != 2 * std::uint64_t(count)) {
    state.SkipWithError(fmt::format("{} of {} rows refreshed", refreshed, 2 * count).c_str());
  }
  for (devhost::Player* player : players) plugin.Leave(*player);
}

void HookWithRefreshOff(benchmark::State& state, int rows) {
  BenchContext& context = Context();
  SeededTable& table = *context.tables.at(rows);
  InProcessPlugin& plugin = *context.plugin;
  plugin.UseRefresh(InProcessPlugin::StoreMode::Blocking, false, table.Database());
  devhost::PlayerProfile profile;
  profile.script_name = fmt::format("stayer-{}", ++context.generation);
  profile.eos_id = u"00000000000000000000000000000000";
  devhost::Player& player = plugin.Join(profile);
  const InProcessPlugin::LogoutFunction logout = InProcessPlugin::LogoutEntry();
  AShooterGameMode* game_mode = InProcessPlugin::GameMode();
  AController* exiting = player.As<AController>();
  const std::uint64_t statements_before = StatementsRun(table.Admin());

  for (auto _ : state) logout(game_mode, exiting);

  // The status query itself is a statement of its own kind, not counted here.
  const std::uint64_t statements = StatementsRun(table.Admin()) - statements_before;
  if (statements != 0) {
    state.SkipWithError(fmt::format("the hook sent {} statements", statements).c_str());
  }
  plugin.Leave(player);
}

}  // namespace

void RegisterLogoutBenchmarks(const std::vector<int>& sizes) {
  const Workload& workload = Context().workload;
  for (const int rows : sizes) {
    benchmark::RegisterBenchmark(fmt::format("logout_refresh_on/{}", rows).c_str(), Refresh, rows)
        ->Iterations(workload.database_calls)
        ->Repetitions(workload.database_repetitions)
        ->UseRealTime()
        ->Unit(benchmark::kMicrosecond);
  }
  // No statement is sent, so the table's size does not enter; the smallest one is loaded.
  benchmark::RegisterBenchmark("logout_refresh_off", HookWithRefreshOff, sizes.front())
      ->Iterations(benchmark::IterationCount{workload.cpu_calls} * 10)
      ->Repetitions(workload.cpu_repetitions)
      ->UseRealTime()
      ->Unit(benchmark::kNanosecond);
}

}  // namespace veltrane::bench
