#include "PermissionsStandIn.h"

#include <stdexcept>

#include "DevHost.h"
#include "Output.h"
#include "host/Permissions.h"

namespace devhost {

void PermissionsStandIn::RequireLoaded() const {
  if (!loaded_) throw std::runtime_error("Permissions is not loaded");
}

bool PermissionsStandIn::IsPlayerInGroup(const FString& eos_id, const FString& group) const {
  RequireLoaded();
  const auto found = groups_.find(AsaApi::Tools::Utf8Encode(eos_id.View()));
  return found != groups_.end() &&
         found->second.count(AsaApi::Tools::Utf8Encode(group.View())) != 0;
}

std::optional<std::string> PermissionsStandIn::AddPlayerToGroup(const FString& eos_id,
                                                                const FString& group) {
  RequireLoaded();
  if (failing_) return "Permissions stand-in refuses the addition";
  const std::string eos = AsaApi::Tools::Utf8Encode(eos_id.View());
  const std::string name = AsaApi::Tools::Utf8Encode(group.View());
  if (!groups_[eos].insert(name).second) return "Player is already in the group";
  PrintLine("group-add eos=" + JsonText(eos) + " group=" + JsonText(name));
  return std::nullopt;
}

std::optional<std::string> PermissionsStandIn::RemovePlayerFromGroup(const FString& eos_id,
                                                                     const FString& group) {
  RequireLoaded();
  if (failing_) return "Permissions stand-in refuses the removal";
  const std::string eos = AsaApi::Tools::Utf8Encode(eos_id.View());
  const std::string name = AsaApi::Tools::Utf8Encode(group.View());
  const auto found = groups_.find(eos);
  if (found == groups_.end() || found->second.erase(name) == 0) return "Player is not in the group";
  PrintLine("group-remove eos=" + JsonText(eos) + " group=" + JsonText(name));
  return std::nullopt;
}

}  // namespace devhost

// The exported names, with the signatures host/Permissions.h binds.
extern "C" bool Permissions_IsPlayerInGroup(const FString* eos_id, const FString* group) {
  return devhost::DevHost::Get().permissions.IsPlayerInGroup(*eos_id, *group);
}

extern "C" bool Permissions_AddPlayerToGroup(const FString* eos_id, const FString* group,
                                             FString* error) {
  const std::optional<std::string> refused =
      devhost::DevHost::Get().permissions.AddPlayerToGroup(*eos_id, *group);
  if (refused && error != nullptr) *error = FString(*refused);
  return !refused;
}

extern "C" bool Permissions_RemovePlayerFromGroup(const FString* eos_id, const FString* group,
                                                  FString* error) {
  const std::optional<std::string> refused =
      devhost::DevHost::Get().permissions.RemovePlayerFromGroup(*eos_id, *group);
  if (refused && error != nullptr) *error = FString(*refused);
  return !refused;
}

// Checked here so that a change of the plugin-side signatures fails to build.
static_assert(
    std::is_same_v<decltype(&Permissions_IsPlayerInGroup), Permissions::detail::IsPlayerInGroupFn>);
static_assert(std::is_same_v<decltype(&Permissions_AddPlayerToGroup),
                             Permissions::detail::AddPlayerToGroupFn>);
static_assert(std::is_same_v<decltype(&Permissions_RemovePlayerFromGroup),
                             Permissions::detail::RemovePlayerFromGroupFn>);
