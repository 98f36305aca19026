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
  // The running game mode; null before the game has one.
  virtual AShooterGameMode* GetShooterGameMode() const = 0;
  // The EOS id of the controller's player; empty when it has none.
  virtual FString GetEOSIDFromController(AController* controller) const = 0;
  // The messaging service of the plugin whose module file is plugin_path.
  virtual std::shared_ptr<IMessagingManager> GetMessagingManager(const FString& plugin_path) = 0;
  // Game thread: the controller of the player in the game now whose EOS id is eos_id; null when
  // there is none (he left or logged out). Valid until the callback it was asked in returns.
  virtual AShooterPlayerController* FindPlayerFromEOSID(const FString& eos_id) = 0;
};

}  // namespace AsaApi
