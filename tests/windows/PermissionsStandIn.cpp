// Permissions.dll of the Windows load test: the two functions host/Permissions.h binds by name,
// which answer that every player is in the group "Verified" and refuse every addition.

#include "host/FString.h"

extern "C" __declspec(dllexport) bool Permissions_IsPlayerInGroup(const FString*,
                                                                  const FString* group) {
  return group->View() == u"Verified";
}

extern "C" __declspec(dllexport) bool Permissions_AddPlayerToGroup(const FString*, const FString*,
                                                                   FString* error) {
  *error = FString(u"refused by the stand-in");
  return false;
}
