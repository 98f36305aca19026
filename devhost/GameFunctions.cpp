#include "GameFunctions.h"

#include <malloc.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "DevHost.h"
#include "Output.h"
#include "PluginCall.h"

namespace devhost {

namespace {

Game& TheGame() { return DevHost::Get().game; }

// The live object of that kind behind a pointer from the plugin; anything else is the plugin's
// error, reported as an exception it can catch.
GameObject& Require(const void* object, ObjectKind kind, const char* function) {
  GameObject* found = TheGame().Lookup(object, kind);
  if (found == nullptr)
    throw std::invalid_argument(std::string(function) + " called on an unknown object");
  return *found;
}

Player& RequirePlayer(const void* controller, const char* function) {
  return static_cast<Player&>(Require(controller, ObjectKind::kPlayerController, function));
}

FString* GetUniqueNetIdAsString(const void* self, FString* result) {
  *result =
      FString(RequirePlayer(self, "AShooterPlayerController.GetUniqueNetIdAsString()").profile.eos_id);
  return result;
}

int GetLinkedPlayerID(const void* self) {
  return RequirePlayer(self, "AShooterPlayerController.GetLinkedPlayerID()").profile.player_id;
}

FString* GetPlayerCharacterName(const void* self, FString* result) {
  *result = FString(
      RequirePlayer(self, "AShooterPlayerController.GetPlayerCharacterName()").profile.character_name);
  return result;
}

APrimalCharacter* GetPlayerCharacter(const void* self) {
  Player& player = RequirePlayer(self, "AShooterPlayerController.GetPlayerCharacter()");
  return player.profile.has_character ? player.character.As<APrimalCharacter>() : nullptr;
}

bool IsDead(const void* self) {
  return static_cast<CharacterObject&>(
             Require(self, ObjectKind::kCharacter, "APrimalCharacter.IsDead()"))
      .dead;
}

AController* GetOwnerController(const void* self) { return TheGame().OwnerOf(self); }

FString* GetPlayerOrTribeName(const void* self, FString* result) {
  auto& state = static_cast<PlayerStateObject&>(
      Require(self, ObjectKind::kPlayerState, "AShooterPlayerState.GetPlayerOrTribeName()"));
  *result = FString(state.player.profile.tribe_name);
  return result;
}

// By value, as the game declares it.
void HTTPPostRequest(const void* self, FString url,  // NOLINT(performance-unnecessary-value-param)
                     FString body) {                 // NOLINT(performance-unnecessary-value-param)
  Require(self, ObjectKind::kGameState, "AShooterGameState.HTTPPostRequest(FString,FString)");
  std::string url_text = AsaApi::Tools::Utf8Encode(url.View());
  std::string body_text = AsaApi::Tools::Utf8Encode(body.View());
  PrintLine("http-post url=" + JsonText(url_text) + " body=" + JsonText(body_text));
  DevHost::Get().http.Post(std::move(url_text), std::move(body_text));
}

void SendMessage(const void* self, int id, int type, FString& message) {
  auto& connection = static_cast<RconConnectionObject&>(Require(
      self, ObjectKind::kRconConnection, "RCONClientConnection.SendMessage(int,int,FString&)"));
  const std::string text = AsaApi::Tools::Utf8Encode(message.View());
  PrintLine("rcon-reply id=" + std::to_string(id) + " text=" + JsonText(text));
  DevHost::Get().SendRconReply(connection.client_id, id, type, text);
}

// The game's own logout: the player is gone once the whole hook chain has returned.
void Logout(AShooterGameMode* game_mode, AController* exiting) {
  Game& game = TheGame();
  if (game.Lookup(game_mode, ObjectKind::kGameMode) == nullptr)
    PrintLine("error " + JsonText("game logout called with an unknown game mode"));
  const std::string name = game.NameOf(exiting);
  if (exiting != nullptr && game.PlayerOf(exiting) == nullptr) {
    PrintLine("error " + JsonText("game logout called with an unknown controller"));
    return;
  }
  PrintLine("game-logout " + name);
  if (Player* player = game.PlayerOf(exiting)) player->logged_out = true;
}

// The game's own login: the player has joined; the plugin's detours run around it.
void PostLogin(AShooterGameMode* game_mode, APlayerController* new_player) {
  Game& game = TheGame();
  if (game.Lookup(game_mode, ObjectKind::kGameMode) == nullptr)
    PrintLine("error " + JsonText("game login called with an unknown game mode"));
  if (game.PlayerOf(new_player) == nullptr) {
    PrintLine("error " + JsonText("game login called with an unknown controller"));
    return;
  }
  PrintLine("game-login " + game.NameOf(new_player));
}

// The game's kick: the player is told why, and his logout runs through the hooks on it as the
// game's own does when a player leaves; once the call returns he is gone.
void KickPlayerController(const void* self, APlayerController* player, const FString& message) {
  constexpr char kName[] = "AShooterGameMode.KickPlayerController(APlayerController*,FString&)";
  Require(self, ObjectKind::kGameMode, kName);
  Player& kicked = RequirePlayer(player, kName);
  Game& game = TheGame();
  PrintLine("kick " + game.NameOf(player) + " text=" + JsonText(message));
  using LogoutFunction = void (*)(AShooterGameMode*, AController*);
  auto* logout =
      reinterpret_cast<LogoutFunction>(AsaApi::GetAddress("AShooterGameMode.Logout(AController*)"));
  CallPlugin("logout", [&] { logout(game.GameMode(), player); });
  game.Remove(kicked);
}

// FMemory keeps no state of its own: strings may be freed while the process exits.
constexpr std::size_t kPlainAlignment = alignof(std::max_align_t);

void* Malloc(std::uint64_t count, unsigned int alignment) {
  const std::size_t size = count == 0 ? 1 : std::size_t(count);
  if (alignment <= kPlainAlignment) return std::malloc(size);
  return std::aligned_alloc(alignment, (size + alignment - 1) / alignment * alignment);
}

void* Realloc(void* original, std::uint64_t count, unsigned int alignment) {
  if (count == 0) {
    std::free(original);
    return nullptr;
  }
  if (alignment <= kPlainAlignment) return std::realloc(original, std::size_t(count));
  void* moved = Malloc(count, alignment);
  if (moved != nullptr && original != nullptr) {
    std::memcpy(moved, original, std::min(std::size_t(count), malloc_usable_size(original)));
    std::free(original);
  }
  return moved;
}

void Free(void* original) { std::free(original); }

struct GameFunction {
  std::string_view name;
  void* entry;
};

template <typename Function>
void* Entry(Function function) {
  return reinterpret_cast<void*>(function);
}

}  // namespace

void* FindGameFunction(std::string_view name) {
  // Trivially destructible, so it outlives every string freed at exit.
  static const GameFunction kFunctions[] = {
      {"AShooterPlayerController.GetUniqueNetIdAsString()", Entry(&GetUniqueNetIdAsString)},
      {"AShooterPlayerController.GetLinkedPlayerID()", Entry(&GetLinkedPlayerID)},
      {"AShooterPlayerController.GetPlayerCharacterName()", Entry(&GetPlayerCharacterName)},
      {"AShooterPlayerController.GetPlayerCharacter()", Entry(&GetPlayerCharacter)},
      {"APrimalCharacter.IsDead()", Entry(&IsDead)},
      {"AActor.GetOwnerController()", Entry(&GetOwnerController)},
      {"AShooterPlayerState.GetPlayerOrTribeName()", Entry(&GetPlayerOrTribeName)},
      {"AShooterGameState.HTTPPostRequest(FString,FString)", Entry(&HTTPPostRequest)},
      {"RCONClientConnection.SendMessage(int,int,FString&)", Entry(&SendMessage)},
      {"AShooterGameMode.Logout(AController*)", Entry(&Logout)},
      {"AShooterGameMode.PostLogin(APlayerController*)", Entry(&PostLogin)},
      {"AShooterGameMode.KickPlayerController(APlayerController*,FString&)",
       Entry(&KickPlayerController)},
      {"FMemory.Malloc(unsigned__int64,unsignedint)", Entry(&Malloc)},
      {"FMemory.Realloc(void*,unsigned__int64,unsignedint)", Entry(&Realloc)},
      {"FMemory.Free(void*)", Entry(&Free)},
  };
  for (const GameFunction& function : kFunctions)
    if (function.name == name) return function.entry;
  return nullptr;
}

}  // namespace devhost
