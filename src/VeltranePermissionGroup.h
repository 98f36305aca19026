#pragma once
// The group step after a link: puts the player into a group of the host's Permissions plugin.

#include <string>

#include "host/FString.h"

// Adds the player to group unless already a member. Does nothing while the Permissions plugin is
// not loaded; its functions are bound only after it is. What the addition answers is dropped.
void AddToPermissionGroup(const FString& eos_id, const std::string& group, bool debug);
