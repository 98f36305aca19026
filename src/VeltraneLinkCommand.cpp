// The link command's game side: reads the player from the game and hands him to the link flow of
// the loaded plugin's state.

#include "VeltraneLinkCommand.h"

#include <optional>
#include <string>

#include "LinkFlow.h"
#include "PluginLog.h"
#include "PluginState.h"
#include "VeltraneNotify.h"
#include "VeltranePermissionGroup.h"
#include "VeltraneSettings.h"
#include "VeltraneWebhook.h"
#include "host/AsaApi.h"

namespace {

// The player in the game, for the flow: replies, the group step and the announcement.
class GamePlayer final : public LinkingPlayerSeam {
 public:
  GamePlayer(AShooterPlayerController* player, const Settings& settings, FString eos_id,
             FString tribe_name)
      : player_(player),
        settings_(settings),
        eos_id_(std::move(eos_id)),
        tribe_name_(std::move(tribe_name)) {}

  void Reply(const char* message_key, bool success) override {
    NotifyPlayer(player_, message_key, success ? kSuccessColour : kErrorColour,
                 settings_.notification_mode, settings_.messages_duration);
  }

  void AddToGroup(const std::string& group, bool debug) override {
    AddToPermissionGroup(eos_id_, group, debug);
  }

  void Announce(const LinkingPlayer& player, const Settings& settings) override {
    const AnnouncementValues values{FString(player.character_name.c_str()),
                                    FString(settings.map_name.c_str()),
                                    player.player_id,
                                    eos_id_,
                                    player.tribe_id,
                                    tribe_name_};
    const FString announcement =
        ComposeAnnouncement(FString(settings.discord.custom_message.c_str()), values);
    // An empty announcement is not worth a post; the link itself stands and is confirmed.
    if (!announcement.IsEmpty()) SendDiscordWebhook(announcement.View());
  }

 private:
  AShooterPlayerController* player_;
  const Settings& settings_;
  FString eos_id_;
  FString tribe_name_;
};

}  // namespace

FString TribeNameOf(AShooterPlayerController* player) {
  FString tribe_name;
  if (APlayerState* player_state = player->PlayerStateField()) {
    static_cast<AShooterPlayerState*>(player_state)->GetPlayerOrTribeName(&tribe_name);
  }
  return tribe_name;
}

void RunLinkCommand(AShooterPlayerController* player, FString* message) {
  if (player == nullptr || !plugin_state) return;
  APrimalCharacter* character = player->GetPlayerCharacter();
  if (character == nullptr || character->IsDead()) return;

  TArray<FString> words;
  message->ParseIntoArray(words, u" ", true);
  std::optional<std::string> code;
  if (words.size() >= 2) code = words[1].ToString();

  const Settings& settings = LiveSettings();
  const FString eos_id = AsaApi::GetApiUtils().GetEOSIDFromController(player);
  FString character_name;
  player->GetPlayerCharacterName(&character_name);
  FString tribe_name = TribeNameOf(player);
  const LinkingPlayer linking{eos_id.ToString(), player->GetLinkedPlayerID(),
                              AsaApi::Tools::Utf8Encode(character_name.View()),
                              player->TargetingTeamField(),
                              AsaApi::Tools::Utf8Encode(tribe_name.View())};
  GamePlayer seam(player, settings, eos_id, std::move(tribe_name));
  plugin_state->Links().Run(settings, linking, code, seam, LinkFlow::Clock::now());
}
