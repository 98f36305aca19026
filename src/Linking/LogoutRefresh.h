#pragma once
// The logout refresh: a linked player's character and tribe, stored as they are when he leaves.

#include "host/GameTypes.h"

struct PluginState;

// Stores a linked player's current character and tribe data in the state's store when its
// settings' UpdatePlayerDataOnLogout is set. Host errors throw.
void RefreshPlayerDataOnLogout(PluginState& state, AController* exiting);
