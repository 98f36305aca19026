#pragma once
// The logout refresh: a linked player's character and tribe, stored as they are when he leaves.

#include "host/GameTypes.h"

// Stores a linked player's current character and tribe data when UpdatePlayerDataOnLogout is set.
// Host and setting errors throw.
void RefreshPlayerDataOnLogout(AController* exiting);
