#pragma once
// The utility object: the world, EOS ids and the players by them, and the messaging service that
// prints what a player would see. Game thread.

#include <memory>

#include "Game.h"
#include "host/IApiUtils.h"

namespace devhost {

class PlayerMessaging : public AsaApi::IMessagingManager {
 public:
  explicit PlayerMessaging(const Game& game) : game_(game) {}

 protected:
  // IMessagingManager
  void ShowServerMessage(AShooterPlayerController* player, FLinearColor color,
                         const FString& text) override;
  void ShowChatMessage(AShooterPlayerController* player, const FString& sender,
                       const FString& text) override;
  void ShowNotification(AShooterPlayerController* player, FLinearColor color, float scale,
                        float seconds, UTexture2D* icon, const FString& text) override;

 private:
  // The player's name for the output line; false (with an error line) for an unknown pointer.
  bool Recipient(const void* player, std::string& name) const;

  const Game& game_;
};

class ApiUtils : public AsaApi::IApiUtils {
 public:
  explicit ApiUtils(Game& game) : game_(game) {}

  // IApiUtils
  UWorld* GetCurrentWorld() const override { return game_.World(); }
  AShooterGameMode* GetShooterGameMode() const override { return game_.GameMode(); }
  FString GetEOSIDFromController(AController* controller) const override;
  std::shared_ptr<AsaApi::IMessagingManager> GetMessagingManager(
      const FString& plugin_path) override;
  AShooterPlayerController* FindPlayerFromEOSID(const FString& eos_id) override;

 private:
  Game& game_;
};

}  // namespace devhost
