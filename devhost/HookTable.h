#pragma once
// The hook manager. A hooked game function is reached through its newest detour: the game's own
// calls and GetAddress both give that entry. Each detour's slot holds the entry it replaced, and
// every change rewrites the slots, so a detour taken out of the middle of a chain leaves the
// others linked to what is still installed.

#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "host/IHooks.h"

namespace devhost {

class HookTable : public AsaApi::IHooks {
 public:
  // IHooks (game thread)
  bool RemoveHook(const std::string& function_name, LPVOID detour) override;
  bool InstallHook(const std::string& function_name, LPVOID detour, LPVOID* original) override;

  // The entry a call of the named function goes to: the newest detour, or the game's own
  // function; null when the game has no such function. Any thread.
  void* CurrentEntry(std::string_view function_name) const;
  std::size_t Count() const;

 private:
  struct Detour {
    void* entry;
    void** slot;
  };
  void Relink(std::string_view function_name, std::vector<Detour>& chain);

  mutable std::mutex lock_;
  std::map<std::string, std::vector<Detour>, std::less<>> chains_;
};

}  // namespace devhost
