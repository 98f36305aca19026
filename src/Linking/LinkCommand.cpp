// The link command's game side: reads the player from the game and hands him to the link flow of
// the plugin's state, which it is given.

#include "Linking/LinkCommand.h"

#include <optional>
#include <string>

#include "Configuration/Settings.h"
#include "Discord/AnnouncementText.h"
#include "Discord/Webhook.h"
#include "Linking/LinkFlow.h"
#include "Linking/PermissionGroup.h"
#include "Linking/PlayerNotification.h"
#include "Plugin/PluginLog.h"
#include "Plugin/PluginState.h"
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
    NotifyPlayer(player_, settings_, message_key, success ? kSuccessColour : kErrorColour);
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
    if (!announcement.empty()) SendDiscordWebhook(settings.discord, announcement);
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

void RunLinkCommand(PluginState& state, AShooterPlayerController* player, FString* message) {
  if (player == nullptr) return;
  APrimalCharacter* character = player->GetPlayerCharacter();
  if (character == nullptr || character->IsDead()) return;

  TArray<FString> words;
  message->ParseIntoArray(words, u" ", true);
  std::optional<std::string> code;
  if (words.size() >= 2) code = words[1].ToString();

  const Settings& settings = state.settings;
  GamePlayer seam(player, settings);
  state.Links().Run(settings, code, seam, LinkFlow::Clock::now());
}
