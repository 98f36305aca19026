#pragma once
// The host's command registry and its tick. Callbacks are called on the game thread, one at a
// time; a tick callback never runs inside another callback.

#include <functional>

#include "host/FString.h"
#include "host/GameTypes.h"

namespace AsaApi {

// Player, the whole chat line, the chat send mode and the chat channel.
using ChatCommandCallback = std::function<void(AShooterPlayerController*, FString*, int, int)>;
// Player (null when the server runs the command itself), the command line, whether it came from cheat input.
using ConsoleCommandCallback = std::function<void(APlayerController*, FString*, bool)>;
using RconCommandCallback = std::function<void(RCONClientConnection*, RCONPacket*, UWorld*)>;
// The seconds since the previous tick, above zero.
using OnTickCallback = std::function<void(float)>;

class ICommands {
 public:
  virtual ~ICommands() = default;

  // A chat line whose first word equals command (ignoring case) calls callback.
  virtual bool RegisterChatCommand(const FString& command, const ChatCommandCallback& callback) = 0;
  // A console line whose first word equals command (ignoring case) calls callback.
  virtual bool RegisterConsoleCommand(const FString& command, const ConsoleCommandCallback& callback) = 0;
  // An RCON request whose first word equals command (ignoring case) calls callback.
  virtual bool RegisterRconCommand(const FString& command, const RconCommandCallback& callback) = 0;
  // Each answers false when no such command was registered.
  virtual bool UnregisterChatCommand(const FString& command) = 0;
  virtual bool UnregisterConsoleCommand(const FString& command) = 0;
  virtual bool UnregisterRconCommand(const FString& command) = 0;

  // Calls callback on the game thread once every server frame (in the devhost about every 16 ms)
  // until it is removed; false when the id (ignoring case) is registered already.
  virtual bool AddOnTickCallback(const FString& id, const OnTickCallback& callback) = 0;
  // Stops the tick callback of that id (matched exactly); false when there is none.
  virtual bool RemoveOnTickCallback(const FString& id) = 0;
};

}  // namespace AsaApi
