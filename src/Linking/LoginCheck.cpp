// The login hook's work. Only the player's EOS id is read on the game thread; the store's answer
// may come on a later tick, when the player is looked up again by that id. While the database
// cannot answer nothing is changed and nobody is reminded: an outage is no answer.

#include "Linking/LoginCheck.h"

#include <chrono>
#include <string>
#include <utility>

#include "Database/DefaultIdentity.h"
#include "Linking/PendingWork.h"
#include "Linking/PermissionGroup.h"
#include "Linking/PlayerNotification.h"
#include "Linking/RequireLink.h"
#include "Plugin/PluginLog.h"
#include "Plugin/PluginState.h"
#include "host/AsaApi.h"

namespace {

constexpr char kReminderKey[] = "LinkReminder";

bool ReminderOn(const Settings& settings) {
  const auto text = settings.messages.find(kReminderKey);
  return text != settings.messages.end() && !text->second.empty();
}

bool GroupStepsOn(const Settings& settings) {
  return settings.use_permissions &&
         (settings.restore_group_at_login || settings.remove_group_when_unlinked);
}

}  // namespace

// Linked as the link command means it. Nothing when the database could not answer.
StoreTask<std::optional<bool>> IsLinked(IDatabase& store, std::string eos_id) {
  const Answered<bool> has_row = co_await store.IsPlayerExist(eos_id);
  if (!has_row.Known()) co_return std::nullopt;
  if (!has_row.value) co_return false;
  const Answered<bool> linked = co_await store.IsPlayerIDExist(eos_id);
  if (!linked.Known()) co_return std::nullopt;
  co_return linked.value;
}

namespace {

// The settings are read when the answer has come: a reload in between counts.
StoreTask<void> AskAtLogin(PluginState& state, FString eos_id) {
  const std::string eos_text = eos_id.ToString();
  const std::optional<bool> linked = co_await IsLinked(*state.account_store, eos_text);
  if (!linked) co_return;
  const Settings& settings = state.settings;
  const std::string& group = settings.permission_group_to_add;
  if (*linked) {
    state.graces.Linked(eos_id.ToWide());
    if (settings.use_permissions && settings.restore_group_at_login &&
        AddToPermissionGroup(eos_id, group, false)) {
      ++state.login_counts.groups_given_back;
      if (settings.debug) {
        PluginLog::Get()->info("The user with ID {} is linked and was given the group {} back.",
                               eos_text, group);
      }
    }
    co_return;
  }
  if (settings.use_permissions && settings.remove_group_when_unlinked) {
    const GroupRemoval removal = RemoveFromPermissionGroup(eos_id, group);
    if (removal.outcome == GroupRemoval::Outcome::Removed) {
      ++state.login_counts.groups_removed;
      PluginLog::Get()->info("The user with ID {} is not linked and was removed from the group {}.",
                             eos_text, group);
    } else if (removal.outcome == GroupRemoval::Outcome::Refused) {
      PluginLog::Get()->warn(
          "The user with ID {} is not linked; Permissions refused to remove him from the group {}: "
          "{}",
          eos_text, group, removal.reason);
    }
  }
  if (ReminderOn(settings)) {
    state.reminders.Add(
        eos_id.ToWide(),
        LinkReminders::Clock::now() + std::chrono::seconds(settings.link_reminder_delay_seconds));
  }
}

// A reminder due: given when the store still says he is not linked and he is still in the game.
StoreTask<void> RemindUnlessLinked(PluginState& state, FString eos_id) {
  // Turned off by a reload while this waited for its turn: nothing to ask.
  if (!ReminderOn(state.settings)) co_return;
  const std::optional<bool> linked = co_await IsLinked(*state.account_store, eos_id.ToString());
  if (!linked || *linked || !ReminderOn(state.settings) || state.replies_dropped) co_return;
  AShooterPlayerController* player = AsaApi::GetApiUtils().FindPlayerFromEOSID(eos_id);
  if (player == nullptr) co_return;
  NotifyPlayer(player, state.settings, kReminderKey, kSuccessColour);
  ++state.login_counts.reminders_given;
}

}  // namespace

bool LoginHookWanted(const Settings& settings) {
  return settings.restore_group_at_login || settings.remove_group_when_unlinked ||
         ReminderOn(settings) || RequireLinkOn(settings);
}

void CheckPlayerAtLogin(PluginState& state, APlayerController* new_player) {
  const Settings& settings = state.settings;
  if (new_player == nullptr ||
      !(GroupStepsOn(settings) || ReminderOn(settings) || RequireLinkOn(settings)))
    return;
  FString eos_id = AsaApi::GetApiUtils().GetEOSIDFromController(new_player);
  // The default ids are no one's own: such a player has no link and no group of his own.
  if (veltrane::IsDefaultIdentity(eos_id.ToString())) return;
  StartGraceAtLogin(state, eos_id);
  state.work.Add(*state.account_store, PendingWork::Kind::LoginCheck,
                 AskAtLogin(state, std::move(eos_id)));
}

void GiveDueReminders(PluginState& state) {
  if (state.reminders.Waiting() == 0) return;
  for (std::u16string& due : state.reminders.TakeDue(LinkReminders::Clock::now())) {
    FString eos_id(due);
    // He left: no question for him.
    if (AsaApi::GetApiUtils().FindPlayerFromEOSID(eos_id) == nullptr) continue;
    state.work.Add(*state.account_store, PendingWork::Kind::LoginCheck,
                   RemindUnlessLinked(state, std::move(eos_id)));
  }
}

void DropRemindersTurnedOff(PluginState& state) {
  if (ReminderOn(state.settings)) return;
  if (const std::size_t dropped = state.reminders.DropAll()) {
    PluginLog::Get()->info("Link reminders dropped because a reload turned LinkReminder off: {}",
                           dropped);
  }
}
