#pragma once
// The host's per-plugin way of showing texts to one player. The plugin-facing calls pass the text
// through the message formatter (FString::Format) first, so a format error throws before anything
// is sent.

#include "host/FString.h"
#include "host/GameTypes.h"

namespace AsaApi {

class IMessagingManager {
 public:
  virtual ~IMessagingManager() = default;

  void SendServerMessage(AShooterPlayerController* player, FLinearColor color,
                         const UTF16CHAR* text) {
    ShowServerMessage(player, color, FString::Format(text));
  }
  void SendChatMessage(AShooterPlayerController* player, const FString& sender,
                       const UTF16CHAR* text) {
    ShowChatMessage(player, sender, FString::Format(text));
  }
  void SendNotification(AShooterPlayerController* player, FLinearColor color, float scale,
                        float seconds, UTexture2D* icon, const UTF16CHAR* text) {
    ShowNotification(player, color, scale, seconds, icon, FString::Format(text));
  }

 protected:
  // The host's side: the text is final here. Called on the game thread.
  virtual void ShowServerMessage(AShooterPlayerController* player, FLinearColor color,
                                 const FString& text) = 0;
  virtual void ShowChatMessage(AShooterPlayerController* player, const FString& sender,
                               const FString& text) = 0;
  virtual void ShowNotification(AShooterPlayerController* player, FLinearColor color, float scale,
                                float seconds, UTexture2D* icon, const FString& text) = 0;
};

}  // namespace AsaApi
