#pragma once
// The host's utility object.

#include <memory>

#include "host/FString.h"
#include "host/GameTypes.h"
#include "host/IMessagingManager.h"

namespace AsaApi {

class IApiUtils {
 public:
  virtual ~IApiUtils() = default;

  // The running world; null before the game has one.
  virtual UWorld* GetCurrentWorld() const = 0;
  // The EOS id of the controller's player; empty when it has none.
  virtual FString GetEOSIDFromController(AController* controller) const = 0;
  // The messaging service of the plugin whose module file is plugin_path.
  virtual std::shared_ptr<IMessagingManager> GetMessagingManager(const FString& plugin_path) = 0;
};

}  // namespace AsaApi
