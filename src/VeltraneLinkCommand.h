#pragma once
// The game side of the link command and of the logout refresh.

#include "host/GameTypes.h"

// The link command typed by player (message: the whole chat line). Host errors throw.
void RunLinkCommand(AShooterPlayerController* player, FString* message);

// Stores a linked player's current character and tribe data when UpdatePlayerDataOnLogout is set.
// Host and setting errors throw.
void RefreshPlayerDataOnLogout(AController* exiting);

// The name the game shows for the player's tribe; empty without a player state.
FString TribeNameOf(AShooterPlayerController* player);
