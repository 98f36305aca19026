#pragma once
// The host's hook manager: diverts a game function, named as in host/GameAddress.h, to a detour.
// Called on the game thread.

#include <string>

#include "host/WindowsApi.h"

namespace AsaApi {

class IHooks {
 public:
  virtual ~IHooks() = default;

  // Takes the detour off the named function; false when it was not installed.
  virtual bool RemoveHook(const std::string& function_name, LPVOID detour) = 0;
  // Sends every call of the named function to detour and writes into *original an entry through
  // which the detour reaches the function it replaced. False when the function is unknown.
  virtual bool InstallHook(const std::string& function_name, LPVOID detour, LPVOID* original) = 0;

  template <typename Function>
  bool SetHook(const std::string& function_name, Function detour, Function* original) {
    return InstallHook(function_name, reinterpret_cast<LPVOID>(detour), reinterpret_cast<LPVOID*>(original));
  }
  template <typename Function>
  bool DisableHook(const std::string& function_name, Function detour) {
    return RemoveHook(function_name, reinterpret_cast<LPVOID>(detour));
  }
};

}  // namespace AsaApi
