#pragma once
// The group step after a link: puts the player into a group of the host's Permissions plugin; and
// its reverse when an admin unlinks him.

#include <string>

#include "host/FString.h"

// Adds the player to group unless already a member. Does nothing while the Permissions plugin is
// not loaded; its functions are bound only after it is. True when he was added; why the
// Permissions plugin refused is not the caller's concern.
bool AddToPermissionGroup(const FString& eos_id, const std::string& group, bool debug);

// What taking a player out of his group did.
struct GroupRemoval {
  enum class Outcome {
    Removed,
    NotAMember,
    PermissionsNotLoaded,
    Refused,  // the Permissions plugin answered why not (reason)
  };
  Outcome outcome = Outcome::Removed;
  std::string reason;
};

// Removes the player from group when he is a member, as AddToPermissionGroup put him there. Binds
// the Permissions functions only once the plugin is loaded.
GroupRemoval RemoveFromPermissionGroup(const FString& eos_id, const std::string& group);
