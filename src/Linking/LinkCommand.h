#pragma once
// The game side of the link command: the player and his code read from the game, his reply shown.

#include "host/GameTypes.h"

struct PluginState;

// The link command typed by player (message: the whole chat line), run by the flow over state
// with its settings. Host errors throw.
void RunLinkCommand(PluginState& state, AShooterPlayerController* player, FString* message);

// The name the game shows for the player's tribe; empty without a player state.
FString TribeNameOf(AShooterPlayerController* player);
