// Veltrane: links a player's game account (EOS id) to a Discord account with a one-time code.
// This file holds the module's lifetime: the entry point, the load and unload steps, the host
// callbacks, and the module-level objects. Load registers the entries of the table of commands
// and the hook (Plugin/CommandTable.h); each host callback here takes the plugin's state from
// plugin_state, the one place that reaches it, and hands it to its entry's handler under a guard.

#include <chrono>
#include <memory>
#include <string>
#include <utility>

#include "Admin/AdminCommands.h"
#include "Configuration/ConfigFile.h"
#include "Database/AccountStore.h"
#include "Database/ClientLibrary.h"
#include "Discord/PaceFile.h"
#include "Plugin/CommandTable.h"
#include "Plugin/PluginLog.h"
#include "Plugin/PluginState.h"
#include "host/AsaApi.h"

// Module-level objects (the configuration document, config, is the configuration's:
// Configuration/ConfigFile.h). Statics die in the reverse order of their construction: the log
// holder (a function-local static, constructed during Load) goes first, then the plugin's state
// when Unload did not end it, which closes the store's connection, then the client library.
MysqlClientLibrary mysql_client_library;
namespace {
// The state of the loaded plugin; null outside Load..Unload.
std::unique_ptr<PluginState> plugin_state;
}  // namespace
void (*game_logout)(AShooterGameMode*, AController*) = nullptr;
void (*game_post_login)(AShooterGameMode*, APlayerController*) = nullptr;

void LinkEOSDiscord(AShooterPlayerController* player, FString* message, int /*mode*/,
                    int /*channel*/);
void Hook_AShooterGameMode_Logout(AShooterGameMode* game_mode, AController* exiting);
void Hook_AShooterGameMode_PostLogin(AShooterGameMode* game_mode, APlayerController* new_player);

namespace {

// The host knows the link command's and the hooks' callbacks as plain functions; each runs the
// handler of its one entry in the table.
constexpr ChatHandler kLinkHandler = OnlyHandler<ChatHandler>();
constexpr LogoutHandler kLogoutHandler = OnlyHandler<LogoutHandler>();
constexpr LoginHandler kLoginHandler = OnlyHandler<LoginHandler>();
constexpr TickHandler kTickHandler = OnlyHandler<TickHandler>();

// The guard around every callback's work: an error of a host call, the store or a reply text is
// logged with the callback's name and never reaches the host's dispatch.
template <typename Work>
void Guarded(std::string_view name, const Work& work) {
  try {
    work();
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected error {}", __FILE__, name, error.what());
  }
}

// An admin command's handler given the state; the callback that calls it only does so while the
// plugin is loaded.
AdminCommand WithState(AdminHandler handler) {
  return [handler](std::string_view command_line) { return handler(*plugin_state, command_line); };
}

AsaApi::ConsoleCommandCallback ConsoleCallback(const CommandEntry& entry) {
  AsaApi::ConsoleCommandCallback run;
  if (const ConsoleHandler* handler = std::get_if<ConsoleHandler>(&entry.handler)) {
    run = [handler = *handler](APlayerController* player, FString* command_line, bool) {
      handler(*plugin_state, player, command_line);
    };
  } else {
    run = AdminConsoleCommand(std::string(entry.name),
                              WithState(std::get<AdminHandler>(entry.handler)));
  }
  return [name = entry.name, run = std::move(run)](APlayerController* player, FString* command_line,
                                                   bool from_cheat_input) {
    Guarded(name, [&] {
      if (plugin_state) run(player, command_line, from_cheat_input);
    });
  };
}

AsaApi::RconCommandCallback RconCallback(const CommandEntry& entry) {
  AsaApi::RconCommandCallback run;
  if (const RconHandler* handler = std::get_if<RconHandler>(&entry.handler)) {
    run = [handler = *handler](RCONClientConnection* connection, RCONPacket* packet, UWorld*) {
      handler(*plugin_state, connection, packet);
    };
  } else {
    run =
        AdminRconCommand(std::string(entry.name), WithState(std::get<AdminHandler>(entry.handler)));
  }
  return [name = entry.name, run = std::move(run)](RCONClientConnection* connection,
                                                   RCONPacket* packet, UWorld* world) {
    Guarded(name, [&] {
      if (plugin_state) run(connection, packet, world);
    });
  };
}

// Registers entry at each of its places, and keeps each registration in the state for Unload.
void Register(PluginState& state, const CommandEntry& entry) {
  if (entry.wanted != nullptr && !entry.wanted(state.settings)) return;
  AsaApi::ICommands& commands = AsaApi::GetCommands();
  for (const Place place : kPlaces) {
    if (!entry.places.Has(place)) continue;
    // The chat command's name is the text its Messages key has now.
    const FString name = place == Place::Chat ? GetText(state.settings, std::string(entry.name))
                                              : FString(std::string(entry.name));
    void* detour = nullptr;
    switch (place) {
      case Place::Chat:  // the one chat entry's, the link command's (kLinkHandler)
        commands.RegisterChatCommand(name, &LinkEOSDiscord);
        break;
      case Place::Console:
        commands.RegisterConsoleCommand(name, ConsoleCallback(entry));
        break;
      case Place::Rcon:
        commands.RegisterRconCommand(name, RconCallback(entry));
        break;
      case Place::Hook:  // the logout's (kLogoutHandler) or the login's (kLoginHandler)
        if (std::holds_alternative<LoginHandler>(entry.handler)) {
          AsaApi::GetHooks().SetHook(std::string(entry.name), &Hook_AShooterGameMode_PostLogin,
                                     &game_post_login);
          detour = reinterpret_cast<void*>(&Hook_AShooterGameMode_PostLogin);
          state.login_hook_installed = true;
        } else {
          AsaApi::GetHooks().SetHook(std::string(entry.name), &Hook_AShooterGameMode_Logout,
                                     &game_logout);
          detour = reinterpret_cast<void*>(&Hook_AShooterGameMode_Logout);
        }
        break;
      case Place::Tick:  // the one tick entry's (kTickHandler)
        commands.AddOnTickCallback(name, [name = entry.name](float delta_seconds) {
          Guarded(name, [&] {
            if (plugin_state) kTickHandler(*plugin_state, delta_seconds);
          });
        });
        break;
    }
    state.registered.push_back({place, name.ToWide(), detour});
  }
}

// How long the unload waits for the store's work when MysqlTimeout sets no limit.
constexpr int kUnloadWaitSeconds = 10;

}  // namespace

void Load() {
  PluginLog::Init("Veltrane");
  plugin_state = std::make_unique<PluginState>();
  PluginState& state = *plugin_state;
  // Before the configuration: a load that fails keeps it for the next one through its unload.
  state.announcements.pace =
      ReadPaceFile(PluginFolder(), WebhookPace::Clock::now(), std::chrono::system_clock::now());
  try {
    state.settings = ReadConfig();
    state.config_reads.last_read = std::chrono::system_clock::now();
    state.account_store = BuildAccountStore(state.settings.database);
    state.mysql_timeout_at_load = state.settings.database.mysql_timeout;
    // A non-blocking store connects at the first tick; Load waits for nothing.
    state.work.Add(*state.account_store, PendingWork::Kind::Connection,
                   state.account_store->Connect());
  } catch (const std::exception& error) {
    PluginLog::Get()->error(error.what());
    throw;
  }
  for (const CommandEntry& entry : kCommandTable) Register(state, entry);
}

void Unload() {
  if (!plugin_state) return;
  // Ended here whatever the host does next: the store closes its connection.
  const std::unique_ptr<PluginState> state = std::move(plugin_state);
  AsaApi::ICommands& commands = AsaApi::GetCommands();
  const auto remove = [&commands](const Registration& registration) {
    const FString name(registration.name);
    switch (registration.place) {
      case Place::Chat:
        commands.UnregisterChatCommand(name);
        break;
      case Place::Console:
        commands.UnregisterConsoleCommand(name);
        break;
      case Place::Rcon:
        commands.UnregisterRconCommand(name);
        break;
      case Place::Hook:
        AsaApi::GetHooks().RemoveHook(AsaApi::Tools::Utf8Encode(registration.name),
                                      registration.detour);
        break;
      case Place::Tick:
        commands.RemoveOnTickCallback(name);
        break;
    }
  };
  // No new work from here on. The players' work already under way is finished in place, as no
  // tick comes any more, within the MysqlTimeout the store was made with, and the writes in doubt
  // get a last try to be settled; its players are told nothing. The tick goes last.
  for (const Registration& registration : state->registered) {
    if (registration.place != Place::Tick) remove(registration);
  }
  // A failed load has no store.
  const bool writes_in_doubt = state->account_store && state->account_store->WritesInDoubt() > 0;
  if (!state->work.Empty() || writes_in_doubt) {
    state->replies_dropped = true;
    const int timeout = state->mysql_timeout_at_load;
    state->work.FinishForUnload(
        *state->account_store,
        std::chrono::steady_clock::now() +
            std::chrono::seconds(timeout > 0 ? timeout : kUnloadWaitSeconds));
  }
  // The announcements of the links made until now, as far as the pace allows; never waited for.
  PostAnnouncementsAtUnload(state->announcements, state->settings.discord,
                            WebhookPace::Clock::now());
  // The posts of the last minute, for the next load's pace.
  WritePaceFile(state->announcements.pace, PluginFolder(), WebhookPace::Clock::now(),
                std::chrono::system_clock::now());
  for (const Registration& registration : state->registered) {
    if (registration.place == Place::Tick) remove(registration);
  }
}

// On Windows the loader finds the entry point in the module's header: it is no export. Elsewhere
// the host looks it up by name, the one symbol the module exports.
#ifdef _WIN32
#define ENTRY_POINT_VISIBILITY
#else
#define ENTRY_POINT_VISIBILITY __attribute__((visibility("default")))
#endif

// MinGW's C++ runtime and threads are DLLs beside the plugin (cmake/Windows.cmake). Pinned at the
// first load, they stay for the process: freed with the plugin, each of its loads would leave their
// TLS slot, handles and exception pool in the host again. MSVC's runtime DLLs are the host's own.
namespace {
void KeepRuntimeLoaded() {
#if defined(_WIN32) && defined(__MINGW32__)
  for (const wchar_t* name : {L"libstdc++-6.dll", L"libgcc_s_seh-1.dll", L"libwinpthread-1.dll"}) {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_PIN, name, &module);
  }
#endif
}
}  // namespace

extern "C" ENTRY_POINT_VISIBILITY BOOL WINAPI DllMain(HMODULE /*module*/, DWORD reason,
                                                      LPVOID /*reserved*/) {
  // Nothing may leave for the loader, which runs this under its lock and cannot unwind through
  // it. An exception from Load (which has logged a configuration it could not read) answers
  // FALSE, which the loader reports as a failed load and follows with a detach; one from Unload
  // is logged here.
  try {
    switch (reason) {
      case DLL_PROCESS_ATTACH:
        KeepRuntimeLoaded();
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
  Guarded("LinkEOSDiscord", [&] {
    if (plugin_state) kLinkHandler(*plugin_state, player, message);
  });
}

void Hook_AShooterGameMode_Logout(AShooterGameMode* game_mode, AController* exiting) {
  // The game's own logout runs after the guard on every path, whatever the settings hold.
  Guarded("Hook_AShooterGameMode_Logout", [&] {
    if (plugin_state) kLogoutHandler(*plugin_state, exiting);
  });
  if (game_logout != nullptr) game_logout(game_mode, exiting);
}

void Hook_AShooterGameMode_PostLogin(AShooterGameMode* game_mode, APlayerController* new_player) {
  // The game's own login runs first, on every path: the player exists when the plugin asks.
  if (game_post_login != nullptr) game_post_login(game_mode, new_player);
  Guarded("Hook_AShooterGameMode_PostLogin", [&] {
    if (plugin_state) kLoginHandler(*plugin_state, new_player);
  });
}
