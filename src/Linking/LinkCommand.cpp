// The link command's game side: reads the player from the game and hands him, with a copy of the
// settings, to the link flow of the plugin's state, as a task of its pending work.

#include "Linking/LinkCommand.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "Configuration/Settings.h"
#include "Database/DefaultIdentity.h"
#include "Discord/AnnouncementPosts.h"
#include "Discord/AnnouncementQueue.h"
#include "Discord/AnnouncementText.h"
#include "Linking/LinkFlow.h"
#include "Linking/PendingWork.h"
#include "Linking/PermissionGroup.h"
#include "Linking/PlayerNotification.h"
#include "Plugin/PluginState.h"
#include "host/AsaApi.h"

namespace {

// The player in the game, for the flow: who he was when he typed the command, replies, the group
// step and the announcement. The flow may go on over later ticks, when the player may have left:
// a reply is then shown to him only when the game still has a player of his EOS id, and none once
// the plugin unloads.
class GamePlayer final : public LinkingPlayerSeam {
 public:
  // His EOS id is read at once: a reply on a later tick finds him by it.
  GamePlayer(AShooterPlayerController* player, Settings settings, const bool& replies_dropped,
             AnnouncementQueue& announcements)
      : player_(player),
        settings_(std::move(settings)),
        replies_dropped_(replies_dropped),
        announcements_(announcements),
        eos_id_(AsaApi::GetApiUtils().GetEOSIDFromController(player)) {}

  // Reads the rest of who he is now, in the host's callback: the flow asks only once the command
  // has a code, and may ask on a later tick.
  void ReadIdentity() {
    FString character_name;
    player_->GetPlayerCharacterName(&character_name);
    tribe_name_ = TribeNameOf(player_);
    identity_ = {eos_id_.ToString(), player_->GetLinkedPlayerID(),
                 AsaApi::Tools::Utf8Encode(character_name.View()), player_->TargetingTeamField(),
                 AsaApi::Tools::Utf8Encode(tribe_name_.View())};
  }

  const Settings& settings() const { return settings_; }

  // The host callback has returned: the controller it handed over may be gone from now on.
  void CallbackReturned() { player_ = nullptr; }

  LinkingPlayer Identity() override { return identity_; }

  void Reply(const char* message_key, bool success) override {
    if (replies_dropped_) return;
    AShooterPlayerController* player = player_;
    // The default ids are no one's own: nobody is found by them.
    if (player == nullptr && !veltrane::IsDefaultIdentity(eos_id_.ToString())) {
      player = AsaApi::GetApiUtils().FindPlayerFromEOSID(eos_id_);
    }
    if (player == nullptr) return;
    NotifyPlayer(player, settings_, message_key, success ? kSuccessColour : kErrorColour);
  }

  void AddToGroup(const std::string& group, bool debug) override {
    AddToPermissionGroup(eos_id_, group, debug);
  }

  std::shared_ptr<LinkingPlayerSeam> Later() override {
    auto later = std::make_shared<GamePlayer>(*this);
    later->CallbackReturned();
    return later;
  }

  // The game's own texts of the EOS id and the tribe name, as they were read.
  void Announce(const LinkingPlayer& player, const Settings& settings) override {
    const AnnouncementValues values{AsaApi::Tools::Utf8Decode(player.character_name),
                                    AsaApi::Tools::Utf8Decode(settings.map_name),
                                    player.player_id,
                                    eos_id_.ToWide(),
                                    player.tribe_id,
                                    tribe_name_.ToWide()};
    const std::u16string announcement =
        ComposeAnnouncement(AsaApi::Tools::Utf8Decode(settings.discord.custom_message), values);
    // It waits for its turn at the tick (Discord/AnnouncementPosts.h). An empty one is not worth
    // a post; the link itself stands and is confirmed.
    if (!announcement.empty()) QueueAnnouncement(announcements_, announcement);
  }

 private:
  AShooterPlayerController* player_;
  const Settings settings_;  // as they were when he typed the command
  const bool& replies_dropped_;
  AnnouncementQueue& announcements_;
  const FString eos_id_;
  FString tribe_name_;
  LinkingPlayer identity_;
};

// One command as a task that owns what the flow is given.
StoreTask<void> LinkJob(LinkFlow flow, std::unique_ptr<GamePlayer> player,
                        std::optional<std::string> code) {
  co_await flow.Run(player->settings(), code, *player);
}

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

  auto seam = std::make_unique<GamePlayer>(player, state.settings, state.replies_dropped,
                                           state.announcements.queue);
  GamePlayer& game_player = *seam;
  if (code) seam->ReadIdentity();
  const bool taken = state.work.Add(*state.account_store, PendingWork::Kind::LinkCommand,
                                    LinkJob(state.Links(), std::move(seam), std::move(code)));
  if (taken) {
    // The task, when it waits, owns the seam now; when it has ended, it is gone with it.
    if (!state.work.Empty()) game_player.CallbackReturned();
    return;
  }
  NotifyPlayer(player, state.settings, "DatabaseUnavailable", kErrorColour);
}
