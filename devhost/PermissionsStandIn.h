#pragma once
// The Permissions plugin's stand-in: groups of EOS ids, switched on and off by the script. Its
// three C functions are exported by the devhost executable, where Permissions.h binds them.

#include <map>
#include <optional>
#include <set>
#include <string>

#include "host/FString.h"

namespace devhost {

class PermissionsStandIn {
 public:
  bool IsLoaded() const { return loaded_; }
  void SetLoaded(bool loaded) { loaded_ = loaded; }
  // With failing on, every addition and removal answers an error text instead of changing.
  void SetFailing(bool failing) { failing_ = failing; }
  void Add(const std::string& eos_id, const std::string& group) { groups_[eos_id].insert(group); }
  // An admin's removal by hand, silent like Add; false when he was not in the group.
  bool Remove(const std::string& eos_id, const std::string& group) {
    const auto found = groups_.find(eos_id);
    return found != groups_.end() && found->second.erase(group) != 0;
  }

  // Both throw std::runtime_error while the stand-in is not loaded.
  bool IsPlayerInGroup(const FString& eos_id, const FString& group) const;
  // Empty when added, which prints "group-add"; otherwise the reason it was not.
  std::optional<std::string> AddPlayerToGroup(const FString& eos_id, const FString& group);
  // Empty when removed, which prints "group-remove"; otherwise the reason it was not.
  std::optional<std::string> RemovePlayerFromGroup(const FString& eos_id, const FString& group);

 private:
  void RequireLoaded() const;

  bool loaded_ = false;
  bool failing_ = false;
  std::map<std::string, std::set<std::string>> groups_;
};

}  // namespace devhost
