#pragma once
// The small game the plugin runs in: one world with its game state and game mode, the players
// the script lets join, and the RCON connections of requests being served. The plugin holds
// these only as opaque engine pointers; every pointer it hands back is checked against the live
// objects before it is used. Game thread only.

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

#include "host/GameTypes.h"

namespace devhost {

enum class ObjectKind {
  kWorld,
  kGameState,
  kGameMode,
  kPlayerController,
  kPlayerState,
  kCharacter,
  kRconConnection,
};

struct GameObject {
  explicit GameObject(ObjectKind object_kind) : kind(object_kind) {}
  GameObject(const GameObject&) = delete;
  GameObject& operator=(const GameObject&) = delete;

  // The same object as the plugin's engine type.
  template <typename EngineType>
  EngineType* As() {
    return reinterpret_cast<EngineType*>(this);
  }

  const ObjectKind kind;
};

// What `join` says about a player.
struct PlayerProfile {
  std::string script_name;
  std::u16string character_name;
  std::u16string eos_id;
  std::u16string tribe_name;
  int player_id = 0;
  int tribe_id = 0;
  bool has_state = true;
  bool has_character = true;
  bool dead = false;
  bool has_owner = true;
};

struct Player;

struct PlayerStateObject : GameObject {
  explicit PlayerStateObject(Player& owner) : GameObject(ObjectKind::kPlayerState), player(owner) {}
  Player& player;
};

struct CharacterObject : GameObject {
  explicit CharacterObject(Player& owner) : GameObject(ObjectKind::kCharacter), player(owner) {}
  Player& player;
  bool dead = false;
};

// The player controller; its player state and character live inside it.
struct Player : GameObject {
  explicit Player(PlayerProfile player_profile);

  PlayerProfile profile;
  PlayerStateObject state{*this};
  CharacterObject character{*this};
  APlayerState* player_state_field = nullptr;  // "AController.PlayerState"
  int targeting_team = 0;                      // "UPrimalActor.TargetingTeam"
  bool logged_out = false;                     // set by the game's own logout
};

struct WorldObject : GameObject {
  WorldObject() : GameObject(ObjectKind::kWorld) {}
  AShooterGameState* game_state_field = nullptr;  // "UWorld.GameState"
};

// The connection an RCON request came in on; client 0 is the script's `rcon` command.
struct RconConnectionObject : GameObject {
  explicit RconConnectionObject(int client)
      : GameObject(ObjectKind::kRconConnection), client_id(client) {}
  const int client_id;
};

class Game {
 public:
  Game();

  UWorld* World() { return world_.As<UWorld>(); }
  AShooterGameMode* GameMode() { return game_mode_.As<AShooterGameMode>(); }

  // Throws std::invalid_argument when the script name is taken.
  Player& Join(PlayerProfile profile);
  Player* FindPlayer(std::string_view script_name);
  // The player in the game whose EOS id is exactly eos_id, not one whose game logout ran; of
  // several (only a script can make them), the first by script name. Null when there is none.
  Player* FindPlayerByEosId(std::u16string_view eos_id) const;
  void Remove(Player& player);

  // Objects that live elsewhere but may be handed to the plugin for a while.
  void Register(GameObject& object);
  void Unregister(GameObject& object);

  // The live object behind a pointer from the plugin; null when there is none of that kind.
  GameObject* Lookup(const void* object, ObjectKind kind) const;
  Player* PlayerOf(const void* controller) const;
  // The controller that owns an actor: the player for its controller, state and character.
  AController* OwnerOf(const void* actor) const;

  // Address of a named field inside a live object; null when the object has none.
  void* FieldAddress(const void* object, std::string_view field) const;

  // A controller as the output names it: the script name (quoted when it is not a plain word, see
  // NameText), "-" for none, "?" for an unknown one.
  std::string NameOf(const void* controller) const;

 private:
  WorldObject world_;
  GameObject game_state_{ObjectKind::kGameState};
  GameObject game_mode_{ObjectKind::kGameMode};
  std::map<std::string, std::unique_ptr<Player>, std::less<>> players_;
  std::unordered_map<const void*, GameObject*> live_;
};

}  // namespace devhost
