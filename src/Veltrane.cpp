// Veltrane: links a player's game account (EOS id) to a Discord account with a one-time code.
// This file holds the module's lifetime: the entry point, the load and unload steps, the callbacks
// the host calls (each guarded here), and the module-level objects. Each callback takes the
// plugin's state from plugin_state, the one place that reaches it, and hands it on.

#include <memory>
#include <string>
#include <utility>

#include "Admin/AdminCommands.h"
#include "Configuration/ConfigFile.h"
#include "Configuration/ReloadCommands.h"
#include "Configuration/Settings.h"
#include "Database/AccountStore.h"
#include "Database/ClientLibrary.h"
#include "Linking/LinkCommand.h"
#include "Linking/LogoutRefresh.h"
#include "Plugin/PluginLog.h"
#include "Plugin/PluginState.h"
#include "host/AsaApi.h"

// Module-level objects. Statics die in the reverse order of their construction: the log holder
// (a function-local static, constructed during Load) goes first, then the plugin's state when
// Unload did not end it, which closes the store's connection, then the client library, then the
// configuration document.
nlohmann::json config;
MysqlClientLibrary mysql_client_library;
namespace {
// The state of the loaded plugin; null outside Load..Unload.
std::unique_ptr<PluginState> plugin_state;
}  // namespace
void (*game_logout)(AShooterGameMode*, AController*) = nullptr;

namespace {

constexpr char kReloadCommand[] = "Veltrane.Reload";
constexpr char kStatusCommand[] = "Veltrane.Status";
constexpr char kLinkedCommand[] = "Veltrane.Linked";
constexpr char kUnlinkCommand[] = "Veltrane.Unlink";
constexpr char kLogoutFunction[] = "AShooterGameMode.Logout(AController*)";

}  // namespace

void LinkEOSDiscord(AShooterPlayerController* player, FString* message, int /*mode*/,
                    int /*channel*/);
void Hook_AShooterGameMode_Logout(AShooterGameMode* game_mode, AController* exiting);

void Load() {
  PluginLog::Init("Veltrane");
  plugin_state = std::make_unique<PluginState>();
  PluginState& state = *plugin_state;
  try {
    state.settings = ReadConfig();
    state.config_reads.last_read = std::chrono::system_clock::now();
    state.account_store = BuildAccountStore(state.settings.database);
  } catch (const std::exception& error) {
    PluginLog::Get()->error(error.what());
    throw;
  }

  AsaApi::ICommands& commands = AsaApi::GetCommands();
  Registrations& registered = state.registered;
  const FString link_command = GetText(state.settings, "LinkDiscordCmd");
  commands.RegisterChatCommand(link_command, &LinkEOSDiscord);
  registered.link_command = link_command.ToWide();
  registered.chat_command = true;
  commands.RegisterConsoleCommand(kReloadCommand,
                                  [](APlayerController* player, FString* command_line, bool) {
                                    if (plugin_state)
                                      ReloadConfigCmd(*plugin_state, player, command_line);
                                  });
  registered.console_command = true;
  commands.RegisterRconCommand(kReloadCommand,
                               [](RCONClientConnection* connection, RCONPacket* packet, UWorld*) {
                                 if (plugin_state)
                                   ReloadConfigRcon(*plugin_state, connection, packet);
                               });
  registered.rcon_command = true;
  // The admin commands ask the state of this load, its settings as the last read left them.
  const AdminCommand status = [](std::string_view line) {
    return AnswerStatus(*plugin_state, line);
  };
  const AdminCommand linked = [](std::string_view line) {
    return AnswerLinked(*plugin_state, line);
  };
  const AdminCommand unlink = [](std::string_view line) {
    return AnswerUnlink(*plugin_state, line);
  };
  commands.RegisterConsoleCommand(kLinkedCommand, AdminConsoleCommand(kLinkedCommand, linked));
  commands.RegisterRconCommand(kLinkedCommand, AdminRconCommand(kLinkedCommand, linked));
  commands.RegisterConsoleCommand(kUnlinkCommand, AdminConsoleCommand(kUnlinkCommand, unlink));
  commands.RegisterRconCommand(kUnlinkCommand, AdminRconCommand(kUnlinkCommand, unlink));
  commands.RegisterConsoleCommand(kStatusCommand, AdminConsoleCommand(kStatusCommand, status));
  commands.RegisterRconCommand(kStatusCommand, AdminRconCommand(kStatusCommand, status));
  registered.admin_commands = true;
  AsaApi::GetHooks().SetHook(kLogoutFunction, &Hook_AShooterGameMode_Logout, &game_logout);
  registered.logout_hook = true;
}

void Unload() {
  if (!plugin_state) return;
  // Ended here whatever the host does next: the store closes its connection.
  const std::unique_ptr<PluginState> state = std::move(plugin_state);
  Registrations& registered = state->registered;
  AsaApi::ICommands& commands = AsaApi::GetCommands();
  if (registered.chat_command) commands.UnregisterChatCommand(FString(registered.link_command));
  if (registered.console_command) commands.UnregisterConsoleCommand(kReloadCommand);
  if (registered.rcon_command) commands.UnregisterRconCommand(kReloadCommand);
  if (registered.admin_commands) {
    for (const char* name : {kLinkedCommand, kUnlinkCommand, kStatusCommand}) {
      commands.UnregisterConsoleCommand(name);
      commands.UnregisterRconCommand(name);
    }
  }
  if (registered.logout_hook)
    AsaApi::GetHooks().DisableHook(kLogoutFunction, &Hook_AShooterGameMode_Logout);
}

// On Windows the loader finds the entry point in the module's header: it is no export. Elsewhere
// the host looks it up by name, the one symbol the module exports.
#ifdef _WIN32
#define ENTRY_POINT_VISIBILITY
#else
#define ENTRY_POINT_VISIBILITY __attribute__((visibility("default")))
#endif

extern "C" ENTRY_POINT_VISIBILITY BOOL WINAPI DllMain(HMODULE /*module*/, DWORD reason,
                                                      LPVOID /*reserved*/) {
  // Nothing may leave for the loader, which runs this under its lock and cannot unwind through
  // it. An exception from Load (which has logged a configuration it could not read) answers
  // FALSE, which the loader reports as a failed load and follows with a detach; one from Unload
  // is logged here.
  try {
    switch (reason) {
      case DLL_PROCESS_ATTACH:
        Load();
        break;
      case DLL_PROCESS_DETACH:
        Unload();
        break;
      default:
        break;
    }
  } catch (const std::exception& error) {
    if (reason == DLL_PROCESS_DETACH && PluginLog::Get()) PluginLog::Get()->error(error.what());
    return FALSE;
  } catch (...) {
    return FALSE;
  }
  return TRUE;
}

void LinkEOSDiscord(AShooterPlayerController* player, FString* message, int /*mode*/,
                    int /*channel*/) {
  // One guard over the whole command: a mistyped setting or a failing host call must not reach
  // the host's chat dispatch.
  try {
    if (plugin_state) RunLinkCommand(*plugin_state, player, message);
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected error {}", __FILE__, "LinkEOSDiscord",
                            error.what());
  }
}

void Hook_AShooterGameMode_Logout(AShooterGameMode* game_mode, AController* exiting) {
  // The game's own logout runs after this guard on every path, whatever the settings hold.
  try {
    if (plugin_state) RefreshPlayerDataOnLogout(*plugin_state, exiting);
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected error {}", __FILE__, "Hook_AShooterGameMode_Logout",
                            error.what());
  }
  if (game_logout != nullptr) game_logout(game_mode, exiting);
}
