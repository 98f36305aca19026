// The logout refresh: a linked player's character and tribe, stored as they are when he leaves.
// They are read before the game's own logout; the store's statements run as a task of the
// plugin's pending work, at once or over the next ticks.

#include "Linking/LogoutRefresh.h"

#include <cstdint>
#include <string>

#include "Configuration/Settings.h"
#include "Database/DefaultIdentity.h"
#include "Linking/LinkCommand.h"
#include "Linking/PendingWork.h"
#include "Plugin/PluginLog.h"
#include "Plugin/PluginState.h"
#include "host/AsaApi.h"

namespace {

// What the game held of the player when he left.
struct LeavingPlayer {
  std::string eos_id;
  std::string character_name;
  int tribe_id = 0;
  std::string tribe_name;
};

// Counted and, with debug, logged: at once, or once the store has settled a refresh in doubt.
void Report(std::uint64_t& refreshes, bool debug, const std::string& eos_id, bool refreshed) {
  if (refreshed) ++refreshes;
  if (!debug) return;
  if (refreshed) {
    PluginLog::Get()->info("The user with EOS-ID {} was updated on logout.", eos_id);
  } else {
    PluginLog::Get()->warn("The user with EOS-ID {} was NOT updated on logout.", eos_id);
  }
}

StoreTask<void> RefreshRow(IDatabase& store, LeavingPlayer player, bool debug,
                           std::uint64_t& refreshes) {
  if (!co_await store.IsPlayerExist(player.eos_id) ||
      !co_await store.IsPlayerIDExist(player.eos_id)) {
    co_return;
  }
  const Answered<bool> updated = co_await store.UpdateAccountLogout(
      player.character_name, player.tribe_id, player.tribe_name, "Updated", player.eos_id,
      [&refreshes, debug](const std::string& eos_id, bool refreshed) {
        Report(refreshes, debug, eos_id, refreshed);
      });
  if (updated.answer != StoreAnswer::InDoubt)
    Report(refreshes, debug, player.eos_id, updated.value);
}

}  // namespace

void RefreshPlayerDataOnLogout(PluginState& state, AController* exiting) {
  const Settings& settings = state.settings;
  if (!settings.update_player_data_on_logout || exiting == nullptr) return;
  AController* owner = exiting->GetOwnerController();
  if (owner == nullptr) return;
  auto* player = static_cast<AShooterPlayerController*>(owner);

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
  state.work.Add(store, PendingWork::Kind::LogoutRefresh,
                 RefreshRow(store,
                            {eos_text, AsaApi::Tools::Utf8Encode(character_name.View()), tribe_id,
                             AsaApi::Tools::Utf8Encode(tribe_name.View())},
                            settings.debug, state.logout_refreshes));
}
