#pragma once
// The development host as one object: the game, the host API objects handed to the plugin, the
// plugin module, and the workers around the game thread. Host functions of the plugin API reach
// it through Get().

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "ApiUtils.h"
#include "CommandRegistry.h"
#include "Game.h"
#include "GameLoop.h"
#include "HookTable.h"
#include "HttpPoster.h"
#include "PermissionsStandIn.h"
#include "PluginModule.h"
#include "RconServer.h"

namespace devhost {

class DevHost {
 public:
  // Never destroyed: a plugin module's objects may call into the host while the process exits.
  static DevHost& Get();

  // Where Tools::GetCurrentDir points and the configuration is read from.
  std::filesystem::path root = std::filesystem::current_path();

  Game game;
  CommandRegistry commands;
  HookTable hooks;
  ApiUtils api_utils{game};
  PermissionsStandIn permissions;
  GameLoop loop{[this](float delta_seconds) { commands.Tick(delta_seconds); }};
  HttpPoster http{[this] { loop.Wake(); }};  // http-wait waits on the game loop
  std::optional<PluginModule> plugin;
  std::unique_ptr<RconServer> rcon;

  // Game thread: one RCON request, from a TCP client or (client 0) from the script. Prints an
  // error line when no RCON command takes it.
  void ServeRconRequest(int client_id, const rcon::Packet& packet);
  // The reply of SendMessage, to the client the request came from; the script has none.
  void SendRconReply(int client_id, int request_id, int type, const std::string& text);
  // Registrations and hooks the host holds.
  std::size_t Registrations() const { return commands.Count() + hooks.Count(); }

 private:
  DevHost() = default;
};

}  // namespace devhost
