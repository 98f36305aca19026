#include "HookTable.h"

#include <algorithm>

#include "GameFunctions.h"
#include "Output.h"

namespace devhost {

namespace {

void PrintHookLine(std::string_view action, std::string_view function_name, bool ok) {
  PrintLine(std::string(action) + " name=" + JsonText(function_name) +
            (ok ? " ok=true" : " ok=false"));
}

}  // namespace

bool HookTable::InstallHook(const std::string& function_name, LPVOID detour, LPVOID* original) {
  bool ok = false;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    std::vector<Detour>& chain = chains_[function_name];
    const bool known = FindGameFunction(function_name) != nullptr;
    const bool twice = std::any_of(chain.begin(), chain.end(),
                                   [detour](const Detour& hook) { return hook.entry == detour; });
    if (known && detour != nullptr && !twice) {
      chain.push_back({detour, original});
      Relink(function_name, chain);
      ok = true;
    }
    if (chain.empty()) chains_.erase(function_name);
  }
  PrintHookLine("hook-install", function_name, ok);
  return ok;
}

bool HookTable::RemoveHook(const std::string& function_name, LPVOID detour) {
  bool ok = false;
  {
    const std::lock_guard<std::mutex> guard(lock_);
    const auto found = chains_.find(function_name);
    if (found != chains_.end()) {
      std::vector<Detour>& chain = found->second;
      const auto hook = std::find_if(chain.begin(), chain.end(),
                                     [detour](const Detour& each) { return each.entry == detour; });
      if (hook != chain.end()) {
        chain.erase(hook);
        Relink(function_name, chain);
        ok = true;
      }
      if (chain.empty()) chains_.erase(found);
    }
  }
  PrintHookLine("hook-remove", function_name, ok);
  return ok;
}

void HookTable::Relink(std::string_view function_name, std::vector<Detour>& chain) {
  void* below = FindGameFunction(function_name);
  for (Detour& hook : chain) {
    if (hook.slot != nullptr) *hook.slot = below;
    below = hook.entry;
  }
}

void* HookTable::CurrentEntry(std::string_view function_name) const {
  {
    const std::lock_guard<std::mutex> guard(lock_);
    const auto found = chains_.find(function_name);
    if (found != chains_.end() && !found->second.empty()) return found->second.back().entry;
  }
  return FindGameFunction(function_name);
}

std::size_t HookTable::Count() const {
  const std::lock_guard<std::mutex> guard(lock_);
  std::size_t count = 0;
  for (const auto& [name, chain] : chains_) count += chain.size();
  return count;
}

}  // namespace devhost
