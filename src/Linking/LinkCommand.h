#pragma once
// The game side of the link command: the player and his code read from the game, his reply shown.

#include "host/GameTypes.h"

// The link command typed by player (message: the whole chat line). Host errors throw.
void RunLinkCommand(AShooterPlayerController* player, FString* message);

// The name the game shows for the player's tribe; empty without a player state.
FString TribeNameOf(AShooterPlayerController* player);
