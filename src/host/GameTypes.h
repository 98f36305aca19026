#pragma once
// The game's objects as the plugin sees them: opaque, with the functions and fields it uses
// reached by name (host/GameAddress.h). The game owns every object; the plugin only holds
// pointers for the length of a callback.

#include <cstdint>

#include "host/FString.h"
#include "host/GameAddress.h"
#include "host/WindowsApi.h"  // before the members: no windows.h macro may rename one

struct FLinearColor {
  float R = 0.f;
  float G = 0.f;
  float B = 0.f;
  float A = 0.f;
};

struct UTexture2D;

struct UObject {};

struct UWorld : UObject {
  struct AShooterGameState*& GameStateField() {
    return GetNativeField<struct AShooterGameState*>(this, "UWorld.GameState");
  }
};

struct AActor : UObject {
  struct AController* GetOwnerController() {
    return NativeCall<struct AController*>(this, "AActor.GetOwnerController()");
  }
};

struct UPrimalActor : AActor {};

struct APlayerState : AActor {};

struct AShooterPlayerState : APlayerState {
  FString* GetPlayerOrTribeName(FString* result) {
    return NativeCall<FString*, FString*>(this, "AShooterPlayerState.GetPlayerOrTribeName()",
                                          result);
  }
};

struct AController : UPrimalActor {
  APlayerState*& PlayerStateField() {
    return GetNativeField<APlayerState*>(this, "AController.PlayerState");
  }
  int& TargetingTeamField() { return GetNativeField<int>(this, "UPrimalActor.TargetingTeam"); }
};

struct APrimalCharacter : UPrimalActor {
  bool IsDead() { return NativeCall<bool>(this, "APrimalCharacter.IsDead()"); }
};

struct APlayerController : AController {};

struct AShooterPlayerController : APlayerController {
  FString* GetUniqueNetIdAsString(FString* result) {
    return NativeCall<FString*, FString*>(this, "AShooterPlayerController.GetUniqueNetIdAsString()",
                                          result);
  }
  int GetLinkedPlayerID() {
    return NativeCall<int>(this, "AShooterPlayerController.GetLinkedPlayerID()");
  }
  FString* GetPlayerCharacterName(FString* result) {
    return NativeCall<FString*, FString*>(this, "AShooterPlayerController.GetPlayerCharacterName()",
                                          result);
  }
  APrimalCharacter* GetPlayerCharacter() {
    return NativeCall<APrimalCharacter*>(this, "AShooterPlayerController.GetPlayerCharacter()");
  }
};

struct AShooterGameState : AActor {
  // Asks the game to POST body to url; the answer is the game's own business.
  void HTTPPostRequest(FString url, FString body) {
    NativeCall<void, FString, FString>(this, "AShooterGameState.HTTPPostRequest(FString,FString)",
                                       std::move(url), std::move(body));
  }
};

struct AShooterGameMode : AActor {
  // Sends the player away with message: the game shows it to him and logs him out (its logout
  // hooks run within the call); the controller is gone once the call has returned.
  void KickPlayerController(APlayerController* player, const FString& message) {
    NativeCall<void, APlayerController*, const FString&>(
        this, "AShooterGameMode.KickPlayerController(APlayerController*,FString&)", player,
        message);
  }
};

// One RCON request as the game received it; Id is the id the client gave its request.
struct RCONPacket {
  int Length = 0;
  int Id = 0;
  int Type = 0;
  FString Body;
};

struct RCONClientConnection : UObject {
  void SendMessage(int id, int type, FString& message) {
    NativeCall<void, int, int, FString&>(this, "RCONClientConnection.SendMessage(int,int,FString&)",
                                         id, type, message);
  }
};
