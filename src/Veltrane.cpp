// Veltrane: links a player's game account (EOS id) to a Discord account with a one-time code.
// This file holds the entry point, the load and unload steps, the link command and the logout
// hook, and the module-level objects.

#include <mysql.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "Database/DefaultIdentity.h"
#include "Database/MysqlDB.h"
#include "PluginLog.h"
#include "VeltraneAdminCommands.h"
#include "VeltraneCodeAttempts.h"
#include "VeltraneConfig.h"
#include "VeltraneLinksInDoubt.h"
#include "VeltraneNotify.h"
#include "VeltranePermissionGroup.h"
#include "VeltraneReload.h"
#include "VeltraneWebhook.h"
#include "host/AsaApi.h"

namespace {

// The client library's global state, set up by the first connection, is freed only on request;
// without it every unload of the module leaks it.
struct MysqlClientLibrary {
  ~MysqlClientLibrary() { mysql_library_end(); }
};

}  // namespace

// Module-level objects. Statics die in the reverse order of their construction: the log holder
// (a function-local static, constructed during Load) goes first, then the account store, which
// closes its connection, then the configuration document.
nlohmann::json config;
// Between the two, so that the client library ends after the store has closed its connection.
MysqlClientLibrary mysql_client_library;
std::unique_ptr<IDatabase> account_store;
void (*game_logout)(AShooterGameMode*, AController*) = nullptr;

namespace {

constexpr char kReloadCommand[] = "Veltrane.Reload";
constexpr char kLinkedCommand[] = "Veltrane.Linked";
constexpr char kUnlinkCommand[] = "Veltrane.Unlink";
constexpr char kLogoutFunction[] = "AShooterGameMode.Logout(AController*)";

// The text the chat command was registered under: a reload may change LinkDiscordCmd, but Unload
// must remove the command that exists. Plain std::u16string, not FString, because it is destroyed
// at module teardown, when the game's allocator may be gone.
std::u16string registered_link_command;

// What Load registered, which is what Unload removes: after a failed load the Windows loader
// still detaches the module, and the host's names are not the plugin's to remove then.
struct Registrations {
  bool link_command = false;
  bool console_command = false;
  bool rcon_command = false;
  bool admin_commands = false;
  bool logout_hook = false;
} registered;

LinksInDoubt links_in_doubt;

// The name the game shows for the player's tribe; empty without a player state.
FString TribeNameOf(AShooterPlayerController* player) {
  FString tribe_name;
  if (APlayerState* player_state = player->PlayerStateField()) {
    static_cast<AShooterPlayerState*>(player_state)->GetPlayerOrTribeName(&tribe_name);
  }
  return tribe_name;
}

// Stores a linked player's current character and tribe data when UpdatePlayerDataOnLogout is set.
void RefreshPlayerDataOnLogout(AController* exiting) {
  const Settings& settings = LiveSettings();
  if (!settings.update_player_data_on_logout || exiting == nullptr) return;
  AController* owner = exiting->GetOwnerController();
  if (owner == nullptr) return;
  auto* player = static_cast<AShooterPlayerController*>(owner);
  const bool debug = settings.debug;

  FString eos_id;
  player->GetUniqueNetIdAsString(&eos_id);
  const int player_id = player->GetLinkedPlayerID();
  FString character_name;
  player->GetPlayerCharacterName(&character_name);
  const int tribe_id = player->TargetingTeamField();
  const FString tribe_name = TribeNameOf(player);

  const std::string eos_text = eos_id.ToString();
  // Without an identity of his own the player owns no row (as the link command sees it).
  if (veltrane::IsDefaultIdentity(eos_text) || player_id == 0) return;
  if (!account_store->IsPlayerExist(eos_text) || !account_store->IsPlayerIDExist(eos_text)) return;
  const bool updated = account_store->UpdateAccountLogout(
      AsaApi::Tools::Utf8Encode(character_name.View()), tribe_id,
      AsaApi::Tools::Utf8Encode(tribe_name.View()), "Updated", eos_text);
  if (!debug) return;
  if (updated) {
    PluginLog::Get()->info("The user with EOS-ID {} was updated on logout.", eos_text);
  } else {
    PluginLog::Get()->warn("The user with EOS-ID {} was NOT updated on logout.", eos_text);
  }
}

}  // namespace

void LinkEOSDiscord(AShooterPlayerController* player, FString* message, int /*mode*/,
                    int /*channel*/);
void Hook_AShooterGameMode_Logout(AShooterGameMode* game_mode, AController* exiting);

void Load() {
  PluginLog::Init("Veltrane");
  try {
    ReadConfig();
    const DatabaseSettings& database = LiveSettings().database;
    account_store = std::make_unique<MySql>(
        database.mysql_host, database.mysql_user, database.mysql_pass, database.mysql_db,
        database.mysql_port, static_cast<unsigned int>(database.mysql_timeout));
  } catch (const std::exception& error) {
    PluginLog::Get()->error(error.what());
    throw;
  }

  AsaApi::ICommands& commands = AsaApi::GetCommands();
  const FString link_command = GetText("LinkDiscordCmd");
  commands.RegisterChatCommand(link_command, &LinkEOSDiscord);
  registered_link_command = link_command.ToWide();
  registered.link_command = true;
  commands.RegisterConsoleCommand(kReloadCommand, &ReloadConfigCmd);
  registered.console_command = true;
  commands.RegisterRconCommand(kReloadCommand, &ReloadConfigRcon);
  registered.rcon_command = true;
  // The admin commands ask the store of this load and read their settings at each use.
  const AdminCommand linked = [](std::string_view line) {
    return AnswerLinked(*account_store, line);
  };
  const AdminCommand unlink = [](std::string_view line) {
    return AnswerUnlink(*account_store, ReadUnlinkSettings(), line);
  };
  commands.RegisterConsoleCommand(kLinkedCommand, AdminConsoleCommand(kLinkedCommand, linked));
  commands.RegisterRconCommand(kLinkedCommand, AdminRconCommand(kLinkedCommand, linked));
  commands.RegisterConsoleCommand(kUnlinkCommand, AdminConsoleCommand(kUnlinkCommand, unlink));
  commands.RegisterRconCommand(kUnlinkCommand, AdminRconCommand(kUnlinkCommand, unlink));
  registered.admin_commands = true;
  AsaApi::GetHooks().SetHook(kLogoutFunction, &Hook_AShooterGameMode_Logout, &game_logout);
  registered.logout_hook = true;
}

void Unload() {
  AsaApi::ICommands& commands = AsaApi::GetCommands();
  if (std::exchange(registered.link_command, false))
    commands.UnregisterChatCommand(FString(registered_link_command));
  if (std::exchange(registered.console_command, false))
    commands.UnregisterConsoleCommand(kReloadCommand);
  if (std::exchange(registered.rcon_command, false)) commands.UnregisterRconCommand(kReloadCommand);
  if (std::exchange(registered.admin_commands, false)) {
    for (const char* name : {kLinkedCommand, kUnlinkCommand}) {
      commands.UnregisterConsoleCommand(name);
      commands.UnregisterRconCommand(name);
    }
  }
  if (std::exchange(registered.logout_hook, false))
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
    if (player == nullptr) return;
    APrimalCharacter* character = player->GetPlayerCharacter();
    if (character == nullptr || character->IsDead()) return;

    TArray<FString> words;
    message->ParseIntoArray(words, u" ", true);

    const Settings& settings = LiveSettings();
    const int message_seconds = settings.messages_duration;
    const bool notification_mode = settings.notification_mode;
    const bool debug = settings.debug;
    const bool use_permissions = settings.use_permissions;
    const std::string& group = settings.permission_group_to_add;
    const std::string& map_name = settings.map_name;
    const bool enable_discord = settings.discord.enable_discord;
    const std::string& custom_message = settings.discord.custom_message;

    const auto reply = [&](const char* message_key, FLinearColor colour) {
      NotifyPlayer(player, message_key, colour, notification_mode, message_seconds);
    };

    if (words.size() < 2) {
      reply("CmdUsage", kErrorColour);
      return;
    }

    const FString eos_id = AsaApi::GetApiUtils().GetEOSIDFromController(player);
    const int player_id = player->GetLinkedPlayerID();
    FString character_name;
    player->GetPlayerCharacterName(&character_name);
    const int tribe_id = player->TargetingTeamField();
    const FString tribe_name = TribeNameOf(player);
    const std::string eos_text = eos_id.ToString();
    const std::string code = words[1].ToString();

    // Waiting rows hold the default EOS id: a player reported with it, or with none, owns nothing.
    if (veltrane::IsDefaultIdentity(eos_text)) {
      reply("InvalidCode", kErrorColour);
      PluginLog::Get()->warn("Refused to link a player whose EOS id is empty or reads as \"0\".");
      return;
    }
    // Player id 0 is what a row holds until it is linked: no identity either.
    if (player_id == 0) {
      reply("InvalidCode", kErrorColour);
      PluginLog::Get()->warn("Refused to link a player whose player id is 0.");
      return;
    }

    const std::string character_name_utf8 = AsaApi::Tools::Utf8Encode(character_name.View());
    const auto finish_link = [&] {
      ForgetWrongCodes(eos_text);
      if (use_permissions) AddToPermissionGroup(eos_id, group, debug);
      if (enable_discord) {
        if (debug) PluginLog::Get()->info("Discord enable, trying to send a webhook.");
        const AnnouncementValues values{FString(character_name_utf8.c_str()),
                                        FString(map_name.c_str()),
                                        player_id,
                                        eos_id,
                                        tribe_id,
                                        tribe_name};
        const FString announcement = ComposeAnnouncement(FString(custom_message.c_str()), values);
        // An empty announcement is not worth a post; the link itself stands and is confirmed.
        if (!announcement.IsEmpty()) SendDiscordWebhook(announcement.View());
      }
      reply("AccountLinked", kSuccessColour);
      if (debug)
        PluginLog::Get()->info("The user with ID {} linked his account with discord.", eos_text);
    };
    // A database that could not be asked is no answer: the player must not read it as a wrong
    // code or as linked.
    const auto database_unavailable = [&] {
      if (account_store->LastAnswer() == StoreAnswer::Known) return false;
      reply("DatabaseUnavailable", kErrorColour);
      return true;
    };

    // His update whose answer was lost is decided by its row before anything else: until then he
    // may link no other code, and it is finished only when that very row holds him.
    switch (links_in_doubt.Decide(*account_store, eos_text)) {
      case LinkInDoubt::Undecided:
        reply("DatabaseUnavailable", kErrorColour);
        return;
      case LinkInDoubt::Landed:
        finish_link();
        return;
      case LinkInDoubt::None:
      case LinkInDoubt::DidNotLand:  // he was told elsewhere what became of that row
        break;
    }

    if (IsLockedOutOfLinking(eos_text)) {
      reply("TooManyAttempts", kErrorColour);
      return;
    }

    if (account_store->IsPlayerExist(eos_text) && account_store->IsPlayerIDExist(eos_text)) {
      reply("AccountAlredyLinked", kErrorColour);
      if (debug)
        PluginLog::Get()->info("The user with ID {} tried to link his account again.", eos_text);
      return;
    }
    if (database_unavailable()) return;

    const auto refuse_code = [&] {
      reply("InvalidCode", kErrorColour);
      if (debug)
        PluginLog::Get()->info("The user with ID {} tried to link use a invalid code.", eos_text);
    };
    // The store refuses the words it writes into the code column itself ("Linked", "Updated").
    int row_id = 0;
    if (!account_store->IsCodeExist(code, row_id)) {
      if (database_unavailable()) return;
      CountWrongCode(eos_text);
      refuse_code();
      return;
    }

    // False also when another link took the row since IsCodeExist: the code is gone either way.
    if (!account_store->UpdateAccount(row_id, eos_text, code, player_id, character_name_utf8,
                                      tribe_id, AsaApi::Tools::Utf8Encode(tribe_name.View()))) {
      // Its answer lost: the store ends what may still run of it, then the row tells.
      if (account_store->LastAnswer() == StoreAnswer::InDoubt) {
        links_in_doubt.Remember(eos_text, row_id);
        if (links_in_doubt.Decide(*account_store, eos_text) == LinkInDoubt::Landed) {
          finish_link();
          return;
        }
        reply("DatabaseUnavailable", kErrorColour);
        return;
      }
      if (!database_unavailable()) refuse_code();
      return;
    }
    finish_link();
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected error {}", __FILE__, "LinkEOSDiscord",
                            error.what());
  }
}

void Hook_AShooterGameMode_Logout(AShooterGameMode* game_mode, AController* exiting) {
  // The game's own logout runs after this guard on every path, whatever the settings hold.
  try {
    RefreshPlayerDataOnLogout(exiting);
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected error {}", __FILE__, "Hook_AShooterGameMode_Logout",
                            error.what());
  }
  if (game_logout != nullptr) game_logout(game_mode, exiting);
}
