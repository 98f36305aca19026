#pragma once
// The plugin module loaded into this process by the development host's core, exactly as the
// devhost executable loads it, so that its chat command and its logout hook are called the way
// the game calls them: through the host's command dispatch and through the hooked function.
//
// The game's own logout is replaced by an empty function underneath the plugin's hook: it is the
// host's work, not the plugin's, and would only print a line.

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "Game.h"
#include "RawConnection.h"
#include "host/FString.h"
#include "host/GameTypes.h"

namespace veltrane::bench {

class InProcessPlugin {
 public:
  using LogoutFunction = void (*)(AShooterGameMode*, AController*);
  using LoginFunction = void (*)(AShooterGameMode*, APlayerController*);
  // Database.NonBlocking of the configuration written. Given at every load, never taken from the
  // example configuration, so that a benchmark measures the store it names whatever the example
  // says. A non-blocking store goes on only at the host's ticks, which the benchmark then calls.
  enum class StoreMode { Blocking, NonBlocking };

  // root is the server's directory (the configuration goes below it); messages come from the
  // example configuration. A server with a CA is reached with TlsMode VERIFY_IDENTITY.
  InProcessPlugin(std::filesystem::path root, const std::filesystem::path& example_config,
                  ServerAddress server, const std::filesystem::path& module);
  ~InProcessPlugin();
  InProcessPlugin(const InProcessPlugin&) = delete;
  InProcessPlugin& operator=(const InProcessPlugin&) = delete;

  // The plugin loaded against database with a store of mode (loaded anew when it used another
  // database or mode) and the logout refresh on or off (switched with the reload command). With
  // login_steps (loaded anew when it changes: the login hook is installed at load) the login puts
  // the group back (RestoreGroupAtLogin, the Permissions stand-in loaded) and reminds a player not
  // linked at the next tick (a LinkReminder with no delay). Throws when the load fails. A
  // non-blocking store connects at the first tick after the load.
  void Use(const std::string& database, StoreMode mode, bool refresh_on_logout,
           bool login_steps = false);
  // MysqlTimeout of the configurations written from now on (10 unless set).
  void SetMysqlTimeout(int seconds) { mysql_timeout_seconds_ = seconds; }
  // Unloads the plugin and loads it again with the same configuration; throws when it fails.
  void LoadAnew();

  // The same with whatever database it already uses.
  void UseRefresh(StoreMode mode, bool refresh_on_logout,
                  const std::string& database_when_unloaded);

  devhost::Player& Join(devhost::PlayerProfile profile);
  void Leave(devhost::Player& player);

  // A chat line as the player typed it, through the host's dispatch.
  static void Chat(devhost::Player& player, FString& line);
  // The entry the game's calls of its logout reach: the plugin's hook while it is loaded.
  static LogoutFunction LogoutEntry();
  // The entry the game's calls of its login reach, as the development host's join calls it.
  static LoginFunction LoginEntry();
  static AShooterGameMode* GameMode();

  // A message text of the configuration.
  std::string MessageText(const std::string& key) const;
  // How the host prints a message text in a reply line.
  std::string PrintedMessageText(const std::string& key) const;

 private:
  void WriteConfig(const std::string& database, StoreMode mode, bool refresh_on_logout,
                   bool login_steps) const;

  std::filesystem::path root_;
  nlohmann::json example_;
  ServerAddress server_;
  std::optional<std::string> database_;
  StoreMode mode_ = StoreMode::Blocking;
  bool refresh_on_logout_ = false;
  bool login_steps_ = false;
  int mysql_timeout_seconds_ = 10;
};

}  // namespace veltrane::bench
