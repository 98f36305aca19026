// The logout refresh: a linked player's character and tribe, stored as they are when he leaves.

#include "Linking/LogoutRefresh.h"

#include <string>

#include "Configuration/Settings.h"
#include "Database/DefaultIdentity.h"
#include "Linking/LinkCommand.h"
#include "Plugin/PluginLog.h"
#include "Plugin/PluginState.h"
#include "host/AsaApi.h"

void RefreshPlayerDataOnLogout(PluginState& state, AController* exiting) {
  const Settings& settings = state.settings;
  if (!settings.update_player_data_on_logout || exiting == nullptr) return;
  AController* owner = exiting->GetOwnerController();
  if (owner == nullptr) return;
  auto* player = static_cast<AShooterPlayerController*>(owner);
  const bool debug = settings.debug;

  FString eos_id;
  player->GetUniqueNetIdAsString(&eos_id);
  const int player_id = player->GetLinkedPlayerID();
  FString character_name;
  player->GetPlayerCharacterName(&character_name);
  const int tribe_id = player->TargetingTeamField();
  const FString tribe_name = TribeNameOf(player);

  const std::string eos_text = eos_id.ToString();
  // Without an identity of his own the player owns no row (as the link command sees it).
  if (veltrane::IsDefaultIdentity(eos_text) || player_id == 0) return;
  IDatabase& store = *state.account_store;
  if (!store.IsPlayerExist(eos_text) || !store.IsPlayerIDExist(eos_text)) return;
  const bool updated =
      store.UpdateAccountLogout(AsaApi::Tools::Utf8Encode(character_name.View()), tribe_id,
                                AsaApi::Tools::Utf8Encode(tribe_name.View()), "Updated", eos_text);
  if (updated) ++state.logout_refreshes;
  if (!debug) return;
  if (updated) {
    PluginLog::Get()->info("The user with EOS-ID {} was updated on logout.", eos_text);
  } else {
    PluginLog::Get()->warn("The user with EOS-ID {} was NOT updated on logout.", eos_text);
  }
}
