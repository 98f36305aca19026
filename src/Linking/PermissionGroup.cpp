#include "Linking/PermissionGroup.h"

#include "Plugin/PluginLog.h"
#include "host/Permissions.h"
#include "host/Tools.h"

bool AddToPermissionGroup(const FString& eos_id, const std::string& group, bool debug) {
  if (!AsaApi::Tools::IsPluginLoaded("Permissions")) return false;
  if (debug) PluginLog::Get()->info("Permissions loaded.");
  if (Permissions::IsPlayerInGroup(eos_id, FString(group.c_str()))) return false;
  if (debug) {
    PluginLog::Get()->info("The user with ID {} is not in group: {}.", eos_id.ToString(), group);
  }
  return !Permissions::AddPlayerToGroup(eos_id, FString(group.c_str()));
}

GroupRemoval RemoveFromPermissionGroup(const FString& eos_id, const std::string& group) {
  if (!AsaApi::Tools::IsPluginLoaded("Permissions"))
    return {GroupRemoval::Outcome::PermissionsNotLoaded, {}};
  if (!Permissions::IsPlayerInGroup(eos_id, FString(group.c_str())))
    return {GroupRemoval::Outcome::NotAMember, {}};
  const std::optional<std::string> refused =
      Permissions::RemovePlayerFromGroup(eos_id, FString(group.c_str()));
  if (refused) return {GroupRemoval::Outcome::Refused, *refused};
  return {GroupRemoval::Outcome::Removed, {}};
}
