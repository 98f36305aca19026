#pragma once
// The login hook's work: the store is asked whether the player who logs in is linked, as the link
// command asks it, and the answer puts the group right (RestoreGroupAtLogin,
// RemoveGroupWhenUnlinked) and sets a reminder for a player who is not linked (LinkReminder). The
// question is a task of the plugin's pending work; a reminder that falls due asks it again. The
// login also starts a player's grace of linked-only play (RequireLink.h), which a linked one ends.

#include <optional>
#include <string>

#include "Configuration/Settings.h"
#include "Database/IDatabase.h"
#include "host/GameTypes.h"

struct PluginState;

// Linked as the link command means it. Nothing when the database could not answer.
StoreTask<std::optional<bool>> IsLinked(IDatabase& store, std::string eos_id);

// The settings ask for the login hook: it is installed at load only then.
bool LoginHookWanted(const Settings& settings);

// Asks the store about the player who logged in, when the state's settings ask for any step at
// login. Host errors throw.
void CheckPlayerAtLogin(PluginState& state, APlayerController* new_player);

// At each tick: the reminders due whose player is still in the game ask the store whether he has
// linked meanwhile, and remind him when he has not.
void GiveDueReminders(PluginState& state);

// At a reload: with the reminder turned off, the reminders waiting are dropped before they ask the
// store anything, with one info line.
void DropRemindersTurnedOff(PluginState& state);
