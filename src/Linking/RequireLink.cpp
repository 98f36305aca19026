// Linked-only play's game side. Only the EOS id is kept across a wait: the player is looked up
// again when the answer comes, and at the kick.

#include "Linking/RequireLink.h"

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "Configuration/ConfigFile.h"
#include "Linking/LoginCheck.h"
#include "Linking/PendingWork.h"
#include "Linking/PlayerNotification.h"
#include "Plugin/PluginLog.h"
#include "Plugin/PluginState.h"
#include "host/AsaApi.h"
#include "host/Permissions.h"

namespace {

constexpr char kWarningKey[] = "RequireLinkWarning";
constexpr char kKickKey[] = "KickUnlinked";

bool WarningOn(const Settings& settings) {
  const auto text = settings.messages.find(kWarningKey);
  return text != settings.messages.end() && !text->second.empty();
}

// The EOS id as the link command writes it into the table and the log.
std::string EosText(const std::u16string& eos_id) { return FString(eos_id).ToString(); }

AShooterPlayerController* InGame(const std::u16string& eos_id) {
  return AsaApi::GetApiUtils().FindPlayerFromEOSID(FString(eos_id));
}

enum class Exemption { None, Exempt, Unknown };

// Asked of the Permissions plugin each time: an admin may put a player into the group, or take
// him out, at any time.
Exemption ExemptionOf(const Settings& settings, const std::u16string& eos_id) {
  const std::string& group = settings.require_link_exempt_group;
  if (group.empty()) return Exemption::None;
  if (!AsaApi::Tools::IsPluginLoaded("Permissions")) return Exemption::Unknown;
  return Permissions::IsPlayerInGroup(FString(eos_id), FString(group.c_str())) ? Exemption::Exempt
                                                                               : Exemption::None;
}

// The settings are read when the answer has come: a reload in between counts.
StoreTask<void> WarnUnlessLinked(PluginState& state, LinkGraces::Due due) {
  const std::optional<bool> linked = co_await IsLinked(*state.account_store, EosText(due.eos_id));
  if (!linked || !RequireLinkOn(state.settings) || state.replies_dropped) co_return;
  if (*linked) {
    state.graces.Forget(due);
    co_return;
  }
  AShooterPlayerController* player = InGame(due.eos_id);
  // One who left meanwhile is warned when he comes back within his grace.
  if (player == nullptr || !WarningOn(state.settings) || !state.graces.Current(due)) co_return;
  NotifyPlayer(player, state.settings, kWarningKey, kErrorColour);
  state.graces.Warned(due);
}

StoreTask<void> SendAwayUnlessLinked(PluginState& state, LinkGraces::Due due) {
  const std::optional<bool> linked = co_await IsLinked(*state.account_store, EosText(due.eos_id));
  if (!RequireLinkOn(state.settings) || state.replies_dropped) co_return;
  if (!linked) {
    // The end stays due: it is asked again a warning's lead later.
    if (state.graces.Unanswered(due)) {
      PluginLog::Get()->info(
          "The user with ID {} was not sent away at the end of his grace: the database could not "
          "say whether he has linked. It is asked again until it can.",
          EosText(due.eos_id));
    }
    co_return;
  }
  if (*linked) {
    state.graces.Forget(due);
  } else {
    state.graces.Decided(due);
  }
}

// Kicked here, at the top of the tick: the game's logout runs within the kick, and the logout
// hook with it, which may add work of its own.
void SendAwayDecided(PluginState& state) {
  for (const std::u16string& eos_id : state.graces.TakeToSendAway()) {
    // One who left meanwhile is decided when he comes back.
    AShooterPlayerController* player = InGame(eos_id);
    if (player == nullptr) continue;
    AShooterGameMode* game_mode = AsaApi::GetApiUtils().GetShooterGameMode();
    if (game_mode == nullptr) throw std::runtime_error("no game mode to send a player away with");
    const FString text = FString::Format(*GetText(state.settings, kKickKey));
    state.graces.CountSentAway();
    PluginLog::Get()->info(
        "The user with ID {} was sent away: he had not linked his account by the end of his "
        "grace.",
        EosText(eos_id));
    game_mode->KickPlayerController(player, text);
  }
}

}  // namespace

bool RequireLinkOn(const Settings& settings) { return settings.require_link_seconds > 0; }

void StartGraceAtLogin(PluginState& state, const FString& eos_id) {
  if (!RequireLinkOn(state.settings)) return;
  state.graces.Login(eos_id.ToWide(), LinkGraces::Clock::now(),
                     std::chrono::seconds(state.settings.require_link_seconds));
}

void CancelGracesTurnedOff(PluginState& state) {
  if (RequireLinkOn(state.settings) || state.graces.Empty()) return;
  const std::size_t in_grace = state.graces.InGrace();
  state.graces.Clear();
  if (in_grace > 0) {
    PluginLog::Get()->info(
        "Graces to link cancelled because a reload turned RequireLinkSeconds off: {}", in_grace);
  }
}

void AdvanceGraces(PluginState& state) {
  LinkGraces& graces = state.graces;
  const Settings& settings = state.settings;
  // Questions already asked find it off when their answer comes.
  if (!RequireLinkOn(settings)) return;
  for (LinkGraces::Due& due : graces.TakeDue(LinkGraces::Clock::now())) {
    const bool end = due.step == LinkGraces::Step::End;
    if (InGame(due.eos_id) == nullptr) {
      // He left: asked nothing.
      if (end) graces.EndedAway(due);
      continue;
    }
    if (!end && !WarningOn(settings)) continue;
    switch (ExemptionOf(settings, due.eos_id)) {
      case Exemption::Exempt:
        graces.Forget(due);
        continue;
      case Exemption::Unknown:
        if (end) {
          PluginLog::Get()->warn(
              "The user with ID {} was not sent away: the Permissions plugin, which tells whether "
              "he is in the group {}, is not loaded.",
              EosText(due.eos_id), settings.require_link_exempt_group);
          graces.Forget(due);
        }
        continue;
      case Exemption::None:
        break;
    }
    state.work.Add(*state.account_store, PendingWork::Kind::LoginCheck,
                   end ? SendAwayUnlessLinked(state, std::move(due))
                       : WarnUnlessLinked(state, std::move(due)));
  }
  SendAwayDecided(state);
}
