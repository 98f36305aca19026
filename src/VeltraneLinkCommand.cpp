// The link command's game side: reads the player from the game and hands him to the link flow of
// the loaded plugin's state.

#include "VeltraneLinkCommand.h"

#include <optional>
#include <string>

#include "AnnouncementText.h"
#include "LinkFlow.h"
#include "PluginLog.h"
#include "PluginState.h"
#include "VeltraneNotify.h"
#include "VeltranePermissionGroup.h"
#include "VeltraneSettings.h"
#include "VeltraneWebhook.h"
#include "host/AsaApi.h"

namespace {

// The player in the game, for the flow: who he is, replies, the group step and the announcement.
class GamePlayer final : public LinkingPlayerSeam {
 public:
  GamePlayer(AShooterPlayerController* player, const Settings& settings)
      : player_(player), settings_(settings) {}

  LinkingPlayer Identity() override {
    eos_id_ = AsaApi::GetApiUtils().GetEOSIDFromController(player_);
    const int player_id = player_->GetLinkedPlayerID();
    FString character_name;
    player_->GetPlayerCharacterName(&character_name);
    const int tribe_id = player_->TargetingTeamField();
    tribe_name_ = TribeNameOf(player_);
    return {eos_id_.ToString(), player_id, AsaApi::Tools::Utf8Encode(character_name.View()),
            tribe_id, AsaApi::Tools::Utf8Encode(tribe_name_.View())};
  }

  void Reply(const char* message_key, bool success) override {
    NotifyPlayer(player_, message_key, success ? kSuccessColour : kErrorColour,
                 settings_.notification_mode, settings_.messages_duration);
  }

  void AddToGroup(const std::string& group, bool debug) override {
    AddToPermissionGroup(eos_id_, group, debug);
  }

  // The game's own texts of the EOS id and the tribe name, as Identity() read them.
  void Announce(const LinkingPlayer& player, const Settings& settings) override {
    const AnnouncementValues values{AsaApi::Tools::Utf8Decode(player.character_name),
                                    AsaApi::Tools::Utf8Decode(settings.map_name),
                                    player.player_id,
                                    eos_id_.ToWide(),
                                    player.tribe_id,
                                    tribe_name_.ToWide()};
    const std::u16string announcement =
        ComposeAnnouncement(AsaApi::Tools::Utf8Decode(settings.discord.custom_message), values);
    // An empty announcement is not worth a post; the link itself stands and is confirmed.
    if (!announcement.empty()) SendDiscordWebhook(announcement);
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
  GamePlayer seam(player, settings);
  plugin_state->Links().Run(settings, code, seam, LinkFlow::Clock::now());
}
