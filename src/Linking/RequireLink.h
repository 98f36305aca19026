#pragma once
// Linked-only play (Settings.RequireLinkSeconds): a player who has not linked by the end of his
// grace is warned a while before it, then sent away through the game's own kick. The graces wait
// in LinkGraces, advanced by the tick; at the warning and at the end the store is asked the link
// command's question (LoginCheck's IsLinked) as the plugin's pending work. Nobody is sent away on
// a guess: while the database cannot answer, the end is asked again later.

#include "Configuration/Settings.h"
#include "host/FString.h"

struct PluginState;

bool RequireLinkOn(const Settings& settings);

// At login (the login hook): starts the player's grace at his first login since load; a rejoin
// does not start it afresh. Does nothing while linked-only play is off.
void StartGraceAtLogin(PluginState& state, const FString& eos_id);

// At a reload: with linked-only play turned off, every grace is cancelled, with one info line;
// turned on again, graces start afresh at the logins after it.
void CancelGracesTurnedOff(PluginState& state);

// At each tick: asks about the players whose warning or end is due, and sends away those found
// not linked at the end. The kick runs the game's logout, and with it the logout hook, here at the
// top of the tick, never inside the store's work.
void AdvanceGraces(PluginState& state);
