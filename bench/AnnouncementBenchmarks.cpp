// The Discord announcement of a link: composing it from a long template, and the webhook sender
// turning it into the message body. Neither touches the database.

#include <benchmark/benchmark.h>
#include <fmt/format.h>

#include <string>

#include "BenchContext.h"
#include "Configuration/SettingsTable.h"
#include "Discord/AnnouncementText.h"
#include "Discord/Webhook.h"
#include "host/AsaApi.h"

namespace veltrane::bench {

namespace {

// Every placeholder, in several letter cases, about 2,000 characters, as an administrator who
// writes a whole welcome text might.
std::string LongTemplate() {
  std::string text;
  for (int part = 0; text.size() < 2000; ++part) {
    text += fmt::format(
        "Part {}: Player {{CharacterName}} (id {{PlayerId}}, EOS-ID {{EOS}}) of tribe "
        "{{TribeName}} [{{TribeId}}] linked on {{MapName}}; welcome, {{charactername}}! "
        "Say \"hi\" to {{TRIBENAME}} on {{mapname}}.\n",
        part);
  }
  return text;
}

AnnouncementValues Values() {
  return {.character_name = u"Ælfrida the Brave",
          .map_name = u"TheIsland",
          .player_id = 1234567890,
          .eos_id = u"0002a8f1c3e54b7d9e0f1a2b3c4d5e6f",
          .tribe_id = -1987654321,
          .tribe_name = u"The \"Quoted\" Tribe \\ of Rødby"};
}

void ComposeLongTemplate(benchmark::State& state) {
  const std::u16string template_text = AsaApi::Tools::Utf8Decode(LongTemplate());
  const AnnouncementValues values = Values();
  for (auto _ : state) {
    std::u16string announcement = ComposeAnnouncement(template_text, values);
    benchmark::DoNotOptimize(announcement);
  }
  state.counters["template_chars"] = double(template_text.size());
  state.counters["announcement_chars"] = double(ComposeAnnouncement(template_text, values).size());
}

// The sender up to the post: its three settings, the body, the world and game state looked up.
// The game state is taken away for the loop, so that the sender stops just before the post.
void WebhookBodyOfLongAnnouncement(benchmark::State& state) {
  // The sender compiled into the harness is handed its settings, as the plugin's link command
  // hands it those of its state.
  DiscordSettings discord = DefaultSettings().discord;
  discord.enable_discord = true;
  discord.web_hook_url = "http://127.0.0.1:9/never-posted";
  const std::u16string announcement =
      ComposeAnnouncement(AsaApi::Tools::Utf8Decode(LongTemplate()), Values());
  AShooterGameState*& game_state = GetNativeField<AShooterGameState*>(
      AsaApi::GetApiUtils().GetCurrentWorld(), "UWorld.GameState");
  AShooterGameState* const present = game_state;
  game_state = nullptr;
  Context().output->Clear();

  for (auto _ : state) SendDiscordWebhook(discord, announcement);

  game_state = present;
  if (Context().output->CountLines("http-post") != 0) state.SkipWithError("the sender posted");
}

}  // namespace

void RegisterAnnouncementBenchmarks() {
  const Workload& workload = Context().workload;
  benchmark::RegisterBenchmark("announcement_compose", ComposeLongTemplate)
      ->Iterations(workload.cpu_calls)
      ->Repetitions(workload.cpu_repetitions)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("webhook_body", WebhookBodyOfLongAnnouncement)
      ->Iterations(workload.cpu_calls)
      ->Repetitions(workload.cpu_repetitions)
      ->UseRealTime()
      ->Unit(benchmark::kMicrosecond);
}

}  // namespace veltrane::bench
