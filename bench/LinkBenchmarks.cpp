// The link command: the plugin's chat command typed by a player, side by side with the same
// statements sent raw. Each call links a fresh code row for a fresh player; rows and players are
// made before the timed loop and removed after it, so the table keeps its size.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <array>
#include <string>
#include <vector>

#include "BenchContext.h"
#include "SideBySide.h"

namespace veltrane::bench {

namespace {

struct LinkAttempt {
  std::string code;
  std::string eos_id;
  int player_id = 0;
  std::string character_name;
  int tribe_id = 0;
  std::string tribe_name;
};

// Codes and EOS ids no seeded row holds: seeded codes are hexadecimal, seeded EOS ids MD5 hashes.
std::vector<LinkAttempt> NewAttempts(int count, const char* side, BenchContext& context) {
  const int generation = ++context.generation;
  std::uniform_int_distribution<std::uint64_t> any;
  std::uniform_int_distribution<int> any_id(1, 2000000000);
  std::vector<LinkAttempt> attempts;
  attempts.reserve(std::size_t(count));
  for (int i = 0; i < count; ++i) {
    attempts.push_back({fmt::format("QZ{}{:06}{:04}", side, generation, i),
                        fmt::format("{:016x}{:016x}", any(context.random), any(context.random)),
                        any_id(context.random), fmt::format("Newcomer {}-{}", generation, i),
                        any_id(context.random), fmt::format("Tribe {}-{}", generation, i)});
  }
  return attempts;
}

// The outside party's rows: one code row per attempt and, for a player who is to be asked all
// four questions, a row with the player's EOS id and player id 0.
void InsertRows(SeededTable& table, const std::vector<LinkAttempt>& attempts,
                bool player_has_unlinked_row) {
  RawConnection& admin = table.Admin();
  std::string values;
  for (const LinkAttempt& attempt : attempts) {
    if (!values.empty()) values += ',';
    values += fmt::format("('0', {}, {})", admin.Quote(std::to_string(attempt.player_id)),
                          admin.Quote(attempt.code));
    if (player_has_unlinked_row)
      values += fmt::format(",({}, '0', '0')", admin.Quote(attempt.eos_id));
  }
  admin.Run("INSERT INTO player_discord (eos_id, discord_id, code) VALUES " + values);
}

// The statements the store sends for one attempt, made in advance: the raw side is the round
// trips alone.
std::array<std::string, 4> StatementsOf(const LinkAttempt& attempt, RawConnection& raw) {
  const std::string eos_id = raw.Quote(attempt.eos_id);
  const std::string code = raw.Quote(attempt.code);
  return {fmt::format("SELECT EXISTS (SELECT * FROM player_discord WHERE eos_id = {});", eos_id),
          fmt::format("SELECT COUNT(*) FROM player_discord WHERE player_id <> 0 AND eos_id = {};",
                      eos_id),
          fmt::format("SELECT EXISTS (SELECT * FROM player_discord WHERE code = {});", code),
          fmt::format("UPDATE player_discord SET eos_id = {}, player_id = {}, character_name = {}, "
                      "tribe_id = {}, tribe_name = {}, code = 'Linked' WHERE code = {};",
                      eos_id, attempt.player_id, raw.Quote(attempt.character_name),
                      attempt.tribe_id, raw.Quote(attempt.tribe_name), code)};
}

devhost::PlayerProfile PlayerOf(const LinkAttempt& attempt) {
  devhost::PlayerProfile profile;
  profile.script_name = attempt.code;
  profile.eos_id = std::u16string(attempt.eos_id.begin(), attempt.eos_id.end());
  profile.player_id = attempt.player_id;
  profile.character_name = AsaApi::Tools::Utf8Decode(attempt.character_name);
  profile.tribe_id = attempt.tribe_id;
  profile.tribe_name = AsaApi::Tools::Utf8Decode(attempt.tribe_name);
  return profile;
}

void Link(benchmark::State& state, int rows, bool player_has_unlinked_row) {
  BenchContext& context = Context();
  SeededTable& table = *context.tables.at(rows);
  RawConnection& raw = *context.raw.at(rows);
  InProcessPlugin& plugin = *context.plugin;
  plugin.Use(table.Database(), InProcessPlugin::StoreMode::Blocking, false);

  const int count = int(state.max_iterations) + context.workload.warm_up_calls;
  const std::vector<LinkAttempt> plugin_attempts = NewAttempts(count, "P", context);
  const std::vector<LinkAttempt> raw_attempts = NewAttempts(count, "R", context);
  InsertRows(table, plugin_attempts, player_has_unlinked_row);
  InsertRows(table, raw_attempts, player_has_unlinked_row);
  const std::string command = plugin.MessageText("LinkDiscordCmd");
  std::vector<devhost::Player*> players;
  std::vector<FString> lines;
  std::vector<std::array<std::string, 4>> statements;
  for (int i = 0; i < count; ++i) {
    players.push_back(&plugin.Join(PlayerOf(plugin_attempts[i])));
    lines.emplace_back(AsaApi::Tools::Utf8Decode(command + " " + plugin_attempts[i].code));
    statements.push_back(StatementsOf(raw_attempts[i], raw));
  }

  std::uint64_t raw_links = 0;
  const auto plugin_link = [&](int i) { InProcessPlugin::Chat(*players[i], lines[i]); };
  // As the store: the second question is only asked of an EOS id that has a row.
  const auto raw_link = [&](int i) {
    raw.Run(statements[i][0]);
    if (player_has_unlinked_row) raw.Run(statements[i][1]);
    raw.Run(statements[i][2]);
    raw_links += raw.Run(statements[i][3]);
  };
  int next = 0;
  for (; next < context.workload.warm_up_calls; ++next) {
    plugin_link(next);
    raw_link(next);
  }
  context.output->Clear();

  SideBySide timing;
  for (auto _ : state) {
    timing.Call(
        next, [&] { plugin_link(next); }, [&] { raw_link(next); });
    ++next;
  }
  timing.Report(state);

  // Controller in, reply out, row linked: a run that did less measured something else.
  const std::size_t replies =
      context.output->CountLines(plugin.PrintedMessageText("AccountLinked"));
  const std::uint64_t linked = table.Admin().Run(
      fmt::format("SELECT COUNT(*) FROM player_discord WHERE id > {} AND code = 'Linked' AND "
                  "character_name LIKE 'Newcomer %'",
                  table.Rows()));
  if (replies != std::size_t(state.iterations()) || linked != 2 * std::uint64_t(count) ||
      raw_links != std::uint64_t(count)) {
    state.SkipWithError(fmt::format("{} of {} players told AccountLinked, {} of {} rows linked",
                                    replies, state.iterations(), linked, 2 * count)
                            .c_str());
  }
  for (devhost::Player* player : players) plugin.Leave(*player);
  table.RemoveAddedRows();
}

}  // namespace

void RegisterLinkBenchmarks(const std::vector<int>& sizes) {
  const Workload& workload = Context().workload;
  for (const bool unlinked_row : {true, false}) {
    for (const int rows : sizes) {
      benchmark::RegisterBenchmark(
          fmt::format("{}/{}", unlinked_row ? "link_four_statements" : "link_new_player", rows)
              .c_str(),
          Link, rows, unlinked_row)
          ->Iterations(workload.database_calls)
          ->Repetitions(workload.database_repetitions)
          ->UseRealTime()
          ->Unit(benchmark::kMicrosecond);
    }
  }
}

}  // namespace veltrane::bench
