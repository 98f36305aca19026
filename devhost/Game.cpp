#include "Game.h"

#include <stdexcept>

#include "Output.h"

namespace devhost {

Player::Player(PlayerProfile player_profile)
    : GameObject(ObjectKind::kPlayerController), profile(std::move(player_profile)) {
  if (profile.has_state) player_state_field = state.As<APlayerState>();
  targeting_team = profile.tribe_id;
  character.dead = profile.dead;
}

Game::Game() {
  world_.game_state_field = game_state_.As<AShooterGameState>();
  Register(world_);
  Register(game_state_);
  Register(game_mode_);
}

Player& Game::Join(PlayerProfile profile) {
  if (players_.count(profile.script_name) != 0)
    throw std::invalid_argument("player " + profile.script_name + " has joined already");
  const std::string name = profile.script_name;
  Player& player = *players_.emplace(name, std::make_unique<Player>(std::move(profile))).first->second;
  Register(player);
  Register(player.state);
  Register(player.character);
  return player;
}

Player* Game::FindPlayer(std::string_view script_name) {
  const auto found = players_.find(script_name);
  return found == players_.end() ? nullptr : found->second.get();
}

Player* Game::FindPlayerByEosId(std::u16string_view eos_id) const {
  for (const auto& [name, player] : players_)
    if (!player->logged_out && player->profile.eos_id == eos_id) return player.get();
  return nullptr;
}

void Game::Remove(Player& player) {
  Unregister(player.character);
  Unregister(player.state);
  Unregister(player);
  players_.erase(player.profile.script_name);
}

void Game::Register(GameObject& object) { live_[&object] = &object; }

void Game::Unregister(GameObject& object) { live_.erase(&object); }

GameObject* Game::Lookup(const void* object, ObjectKind kind) const {
  const auto found = live_.find(object);
  if (found == live_.end() || found->second->kind != kind) return nullptr;
  return found->second;
}

Player* Game::PlayerOf(const void* controller) const {
  return static_cast<Player*>(Lookup(controller, ObjectKind::kPlayerController));
}

AController* Game::OwnerOf(const void* actor) const {
  const auto found = live_.find(actor);
  if (found == live_.end()) return nullptr;
  Player* owner = nullptr;
  switch (found->second->kind) {
    case ObjectKind::kPlayerController:
      owner = static_cast<Player*>(found->second);
      break;
    case ObjectKind::kPlayerState:
      owner = &static_cast<PlayerStateObject*>(found->second)->player;
      break;
    case ObjectKind::kCharacter:
      owner = &static_cast<CharacterObject*>(found->second)->player;
      break;
    default:
      return nullptr;
  }
  return owner->profile.has_owner ? owner->As<AController>() : nullptr;
}

void* Game::FieldAddress(const void* object, std::string_view field) const {
  const auto found = live_.find(object);
  if (found == live_.end()) return nullptr;
  GameObject* live = found->second;
  switch (live->kind) {
    case ObjectKind::kPlayerController: {
      auto* player = static_cast<Player*>(live);
      if (field == "AController.PlayerState") return &player->player_state_field;
      if (field == "UPrimalActor.TargetingTeam") return &player->targeting_team;
      return nullptr;
    }
    case ObjectKind::kCharacter:
      if (field == "UPrimalActor.TargetingTeam")
        return &static_cast<CharacterObject*>(live)->player.targeting_team;
      return nullptr;
    case ObjectKind::kWorld:
      if (field == "UWorld.GameState") return &static_cast<WorldObject*>(live)->game_state_field;
      return nullptr;
    default:
      return nullptr;
  }
}

std::string Game::NameOf(const void* controller) const {
  if (controller == nullptr) return "-";
  const Player* player = PlayerOf(controller);
  return player != nullptr ? NameText(player->profile.script_name) : "?";
}

}  // namespace devhost
