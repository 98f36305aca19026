#pragma once
// The command registry: chat, console and RCON commands by their first word, compared without
// regard to ASCII case as the game's own dispatch does, and the tick callbacks by their id.
// Registration and dispatch run on the game thread; each change prints its line.

#include <memory>
#include <string>
#include <vector>

#include "host/ICommands.h"

namespace devhost {

class CommandRegistry : public AsaApi::ICommands {
 public:
  // ICommands
  bool RegisterChatCommand(const FString& command,
                           const AsaApi::ChatCommandCallback& callback) override;
  bool RegisterConsoleCommand(const FString& command,
                              const AsaApi::ConsoleCommandCallback& callback) override;
  bool RegisterRconCommand(const FString& command,
                           const AsaApi::RconCommandCallback& callback) override;
  bool UnregisterChatCommand(const FString& command) override;
  bool UnregisterConsoleCommand(const FString& command) override;
  bool UnregisterRconCommand(const FString& command) override;
  bool AddOnTickCallback(const FString& id, const AsaApi::OnTickCallback& callback) override;
  bool RemoveOnTickCallback(const FString& id) override;

  // Each calls the command named by the line's first word and answers false when none is
  // registered. A callback may change the registry while it runs.
  bool DispatchChat(AShooterPlayerController* player, FString& line);
  bool DispatchConsole(APlayerController* player, FString& line);
  bool DispatchRcon(RCONClientConnection* connection, RCONPacket& packet, UWorld* world);

  // The game loop's tick: calls each callback that was registered when the tick began and is
  // still registered when its turn comes, so a callback may add or remove any, itself included.
  // One that throws prints an error line; the others still run.
  void Tick(float delta_seconds);
  // After the plugin's detach: each tick callback it left registered prints an error line and is
  // never called again, since the real host would call it in a module that is gone. It stays
  // registered (its id taken, the module open) until removed.
  void AbandonTicks();

  std::size_t Count() const {
    return chat_.size() + console_.size() + rcon_.size() + ticks_.size();
  }

 private:
  template <typename Callback>
  struct Command {
    FString text;
    Callback callback;
  };
  template <typename Callback>
  using Commands = std::vector<Command<Callback>>;

  template <typename Callback>
  static bool Register(Commands<Callback>& commands, const char* kind, const FString& text,
                       const Callback& callback);
  template <typename Callback>
  static bool Unregister(Commands<Callback>& commands, const char* kind, const FString& text);
  template <typename Callback>
  static const Callback* Find(const Commands<Callback>& commands, const FString& line);

  Commands<AsaApi::ChatCommandCallback> chat_;
  Commands<AsaApi::ConsoleCommandCallback> console_;
  Commands<AsaApi::RconCommandCallback> rcon_;

  struct TickCallback {
    FString id;
    // Shared with a running tick, so a callback that removes itself is not destroyed while it runs.
    std::shared_ptr<const AsaApi::OnTickCallback> callback;
    bool abandoned = false;
  };
  std::vector<TickCallback> ticks_;
  // The callbacks of the running tick; a member, to spare an allocation at every tick.
  std::vector<std::shared_ptr<const AsaApi::OnTickCallback>> ticking_;
};

// The first word of a command line (split at spaces, empty pieces dropped); empty when none.
FString FirstWord(const FString& line);
bool EqualsIgnoringCase(const FString& a, const FString& b);

}  // namespace devhost
