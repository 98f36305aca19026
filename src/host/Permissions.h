#pragma once
// The host-side Permissions plugin. Its functions are bound at their first call, never at load:
// a plugin may be loaded where Permissions is not, and must ask AsaApi::Tools::IsPluginLoaded
// ("Permissions") before calling in.

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <optional>
#include <stdexcept>
#include <string>

#include "host/FString.h"
#include "host/WindowsApi.h"

namespace Permissions {
namespace detail {

// Exported by the Permissions plugin under C names.
using IsPlayerInGroupFn = bool (*)(const FString* eos_id, const FString* group);
// Answers false and fills *error when the player could not be added.
using AddPlayerToGroupFn = bool (*)(const FString* eos_id, const FString* group, FString* error);

// The Permissions plugin's function of that name, null while there is none. On Linux the host
// process exports it; on Windows it is an export of Permissions.dll, which the host has loaded
// (found by name, as a delay-loaded import is, without taking a reference).
inline void* FindExportedFunction(const char* symbol) {
#ifdef _WIN32
  const HMODULE module = GetModuleHandleW(L"Permissions.dll");
  return module == nullptr ? nullptr : reinterpret_cast<void*>(GetProcAddress(module, symbol));
#else
  return dlsym(RTLD_DEFAULT, symbol);
#endif
}

template <typename Function>
Function BindOnFirstCall(Function& slot, const char* symbol) {
  if (slot == nullptr) {
    slot = reinterpret_cast<Function>(FindExportedFunction(symbol));
    if (slot == nullptr)
      throw std::runtime_error(std::string("Permissions: cannot bind ") + symbol);
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
