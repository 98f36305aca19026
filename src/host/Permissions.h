#pragma once
// The host-side Permissions plugin. Its functions are bound at their first call, never at load:
// a plugin may be loaded where Permissions is not, and must ask AsaApi::Tools::IsPluginLoaded
// ("Permissions") before calling in.

#include <dlfcn.h>

#include <optional>
#include <stdexcept>
#include <string>

#include "host/FString.h"

namespace Permissions {
namespace detail {

// Exported by the Permissions plugin under C names.
using IsPlayerInGroupFn = bool (*)(const FString* eos_id, const FString* group);
// Answers false and fills *error when the player could not be added.
using AddPlayerToGroupFn = bool (*)(const FString* eos_id, const FString* group, FString* error);

template <typename Function>
Function BindOnFirstCall(Function& slot, const char* symbol) {
  if (slot == nullptr) {
    slot = reinterpret_cast<Function>(dlsym(RTLD_DEFAULT, symbol));
    if (slot == nullptr) throw std::runtime_error(std::string("Permissions: cannot bind ") + symbol);
  }
  return slot;
}

}  // namespace detail

inline bool IsPlayerInGroup(const FString& eos_id, const FString& group) {
  static detail::IsPlayerInGroupFn bound = nullptr;
  return detail::BindOnFirstCall(bound, "Permissions_IsPlayerInGroup")(&eos_id, &group);
}

// Empty when the player was added; otherwise the reason it was not.
inline std::optional<std::string> AddPlayerToGroup(const FString& eos_id, const FString& group) {
  static detail::AddPlayerToGroupFn bound = nullptr;
  FString error;
  if (detail::BindOnFirstCall(bound, "Permissions_AddPlayerToGroup")(&eos_id, &group, &error))
    return std::nullopt;
  return AsaApi::Tools::Utf8Encode(error.View());
}

namespace detail {
// Answers false and fills *error when the player could not be removed.
using RemovePlayerFromGroupFn = bool (*)(const FString* eos_id, const FString* group,
                                         FString* error);
}  // namespace detail

// Empty when the player was removed; otherwise the reason he was not.
inline std::optional<std::string> RemovePlayerFromGroup(const FString& eos_id,
                                                        const FString& group) {
  static detail::RemovePlayerFromGroupFn bound = nullptr;
  FString error;
  if (detail::BindOnFirstCall(bound, "Permissions_RemovePlayerFromGroup")(&eos_id, &group, &error))
    return std::nullopt;
  return AsaApi::Tools::Utf8Encode(error.View());
}

}  // namespace Permissions
