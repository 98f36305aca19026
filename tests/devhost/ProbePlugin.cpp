// A plugin for testing the devhost: it registers a chat, a console and an RCON command and the
// logout hook, calls the host's functions on request and prints what it sees as "probe ..."
// lines. Its behaviour at load comes from the "Probe" section of config.json.

#include <spdlog/logger.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "host/AsaApi.h"
#include "host/Permissions.h"

namespace {

constexpr char kLogout[] = "AShooterGameMode.Logout(AController*)";
constexpr char kEcho[] = "Probe.Echo";
constexpr char kUnhook[] = "Probe.Unhook";

nlohmann::json settings;
std::u16string chat_command;
bool leave_registered = false;
std::shared_ptr<spdlog::logger> logger;

using LogoutFunction = void (*)(AShooterGameMode*, AController*);
LogoutFunction original_a = nullptr;
LogoutFunction original_b = nullptr;

void Print(const std::string& line) {
  const std::string whole = "probe " + line + "\n";
  std::fputs(whole.c_str(), stdout);  // one call: whole lines never mix with the host's
  std::fflush(stdout);
}

std::string Utf8(const FString& text) { return AsaApi::Tools::Utf8Encode(text.View()); }
std::string Json(const std::string& text) { return nlohmann::json(text).dump(); }
std::string Json(const FString& text) { return Json(Utf8(text)); }

std::string EosOf(AController* controller) {
  return controller == nullptr ? "null"
                               : Json(AsaApi::GetApiUtils().GetEOSIDFromController(controller));
}

// What comes after the first n words of the line, as typed.
FString After(const FString& line, int words) {
  std::u16string_view rest = line.View();
  for (int i = 0; i < words; ++i) {
    rest.remove_prefix(std::min(rest.find_first_not_of(u' '), rest.size()));
    rest.remove_prefix(std::min(rest.find(u' '), rest.size()));
  }
  if (!rest.empty()) rest.remove_prefix(1);
  return FString(rest);
}

std::string ModulePath() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&ModulePath), &module);
  WCHAR path[MAX_PATH];
  GetModuleFileNameW(module, path, MAX_PATH);
  return AsaApi::Tools::Utf8Encode(path);
}

// The executable's file, looked up by name (null names the executable).
std::string ExecutablePath() {
  HMODULE module = nullptr;
  if (!GetModuleHandleExA(0, nullptr, &module)) return "";
  WCHAR path[MAX_PATH];
  GetModuleFileNameW(module, path, MAX_PATH);
  return AsaApi::Tools::Utf8Encode(path);
}

std::shared_ptr<AsaApi::IMessagingManager> Messaging() {
  return AsaApi::GetApiUtils().GetMessagingManager(FString(ModulePath()));
}

void WhoAmI(AShooterPlayerController* player) {
  FString net_id;
  player->GetUniqueNetIdAsString(&net_id);
  FString name;
  player->GetPlayerCharacterName(&name);
  FString tribe;
  APlayerState* state = player->PlayerStateField();
  if (state != nullptr) static_cast<AShooterPlayerState*>(state)->GetPlayerOrTribeName(&tribe);
  APrimalCharacter* character = player->GetPlayerCharacter();
  const char* life = character == nullptr ? "none" : character->IsDead() ? "dead" : "alive";
  AController* owner = player->GetOwnerController();
  const char* owner_text = owner == nullptr ? "none" : owner == player ? "self" : "other";
  Print("whoami eos=" + EosOf(player) + " netid=" + Json(net_id) +
        " id=" + std::to_string(player->GetLinkedPlayerID()) + " name=" + Json(name) +
        " team=" + std::to_string(player->TargetingTeamField()) + " tribe=" + Json(tribe) +
        " state=" + (state != nullptr ? "yes" : "no") + " char=" + life + " owner=" + owner_text);
}

void Post(const FString& line) {
  TArray<FString> words;
  line.ParseIntoArray(words, u" ");
  UWorld* world = AsaApi::GetApiUtils().GetCurrentWorld();
  world->GameStateField()->HTTPPostRequest(words.size() > 2 ? words[2] : FString(), After(line, 3));
}

void Perms(AShooterPlayerController* player, const FString& group) {
  if (!AsaApi::Tools::IsPluginLoaded("Permissions")) {
    Print("perms not-loaded");
    return;
  }
  const FString eos = AsaApi::GetApiUtils().GetEOSIDFromController(player);
  const bool member = Permissions::IsPlayerInGroup(eos, group);
  const std::optional<std::string> refused = Permissions::AddPlayerToGroup(eos, group);
  Print(std::string("perms member=") + (member ? "true" : "false") +
        (refused ? " refused=" + Json(*refused) : " added"));
}

void Unperms(AShooterPlayerController* player, const FString& group) {
  const FString eos = AsaApi::GetApiUtils().GetEOSIDFromController(player);
  const std::optional<std::string> refused = Permissions::RemovePlayerFromGroup(eos, group);
  const bool member = Permissions::IsPlayerInGroup(eos, group);
  Print(std::string("unperms ") + (refused ? "refused=" + Json(*refused) : "removed") +
        " member=" + (member ? "true" : "false"));
}

void Chat(AShooterPlayerController* player, FString* line, int mode, int channel) {
  TArray<FString> words;
  line->ParseIntoArray(words, u" ");
  const std::string action = words.size() > 1 ? words[1].ToString() : "";
  Print("chat line=" + Json(*line) + " mode=" + std::to_string(mode) +
        " channel=" + std::to_string(channel));
  const FLinearColor red{1.f, 0.f, 0.f, 1.f};
  if (action == "whoami") {
    WhoAmI(player);
  } else if (action == "notify") {
    Messaging()->SendNotification(player, {0.16202937f, 0.70837575f, 0.29177064f, 1.f}, 1.3f, -2.5f,
                                  nullptr, *After(*line, 2));
  } else if (action == "chat") {
    Messaging()->SendChatMessage(player, FString("Probe \xC3\xA9"), *After(*line, 2));
  } else if (action == "server") {
    Messaging()->SendServerMessage(player, red, *After(*line, 2));
  } else if (action == "stranger") {
    Messaging()->SendServerMessage(reinterpret_cast<AShooterPlayerController*>(&settings), red,
                                   u"x");
  } else if (action == "elsewhere") {
    AsaApi::GetApiUtils().GetMessagingManager(FString("/elsewhere/Other.so"));
  } else if (action == "post") {
    Post(*line);
  } else if (action == "perms") {
    Perms(player, words.size() > 2 ? words[2] : FString(u"Verified"));
  } else if (action == "unperms") {
    Unperms(player, words.size() > 2 ? words[2] : FString(u"Verified"));
  } else if (action == "unregister") {
    AsaApi::GetCommands().UnregisterChatCommand(FString(chat_command));
  } else if (action == "module") {
    Print("module loaded=" +
          std::string(AsaApi::Tools::IsPluginLoaded("ProbePlugin") ? "true" : "false") +
          " path=" + Json(ModulePath()) + " exe=" + Json(ExecutablePath()) +
          " dir=" + Json(AsaApi::Tools::GetCurrentDir()));
  } else if (action == "throw") {
    throw std::runtime_error("probe chat failure");
  }
}

void Console(APlayerController* player, FString* line, bool cheat) {
  Print("console player=" + EosOf(player) + " line=" + Json(*line) +
        " cheat=" + (cheat ? "true" : "false"));
}

void Unhook(APlayerController*, FString*, bool);

void Rcon(RCONClientConnection* connection, RCONPacket* packet, UWorld* world) {
  Print("rcon id=" + std::to_string(packet->Id) + " type=" + std::to_string(packet->Type) +
        " body=" + Json(packet->Body) +
        " world=" + (world == AsaApi::GetApiUtils().GetCurrentWorld() ? "current" : "other"));
  FString reply = After(packet->Body, 1);
  if (reply == FString(u"big")) reply = FString(std::u16string(10000, u'x') + u"end");
  connection->SendMessage(packet->Id, 0, reply);
}

void LogoutA(AShooterGameMode* game_mode, AController* exiting) {
  Print("logout-a exiting=" + EosOf(exiting));
  original_a(game_mode, exiting);
}

void LogoutB(AShooterGameMode* game_mode, AController* exiting) {
  Print("logout-b exiting=" + EosOf(exiting));
  original_b(game_mode, exiting);
}

void Unhook(APlayerController*, FString*, bool) {
  Print(std::string("unhook a=") +
        (AsaApi::GetHooks().DisableHook(kLogout, &LogoutA) ? "true" : "false"));
}

void ReadSettings() {
  std::ifstream file(AsaApi::Tools::GetCurrentDir() + "/ArkApi/Plugins/Veltrane/config.json");
  settings = file ? nlohmann::json::parse(file).value("Probe", nlohmann::json::object())
                  : nlohmann::json::object();
}

void Load() {
  ReadSettings();
  const std::vector<spdlog::sink_ptr>& sinks = AsaApi::GetLogSinks();
  logger = std::make_shared<spdlog::logger>("Probe", sinks.begin(), sinks.end());
  logger->flush_on(spdlog::level::info);
  logger->info("Probe loaded {}", 1);
  if (settings.contains("ThrowOnLoad"))
    throw std::runtime_error(settings["ThrowOnLoad"].get<std::string>());
  if (settings.value("ReturnFalse", false)) return;
  leave_registered = settings.value("LeaveRegistered", false);
  chat_command = FString(settings.value("ChatCommand", "/probe")).ToWide();
  AsaApi::ICommands& commands = AsaApi::GetCommands();
  commands.RegisterChatCommand(FString(chat_command), &Chat);
  commands.RegisterConsoleCommand(kEcho, &Console);
  commands.RegisterConsoleCommand(kUnhook, &Unhook);
  commands.RegisterRconCommand(kEcho, &Rcon);
  AsaApi::IHooks& hooks = AsaApi::GetHooks();
  hooks.SetHook(kLogout, &LogoutA, &original_a);
  if (settings.value("SecondHook", false)) hooks.SetHook(kLogout, &LogoutB, &original_b);
  hooks.SetHook("AShooterGameMode.NoSuchFunction()", &LogoutA, &original_a);
}

void Unload() {
  Print("unload");
  if (leave_registered) return;
  AsaApi::ICommands& commands = AsaApi::GetCommands();
  commands.UnregisterChatCommand(FString(chat_command));
  commands.UnregisterConsoleCommand(kEcho);
  commands.UnregisterConsoleCommand(kUnhook);
  commands.UnregisterRconCommand(kEcho);
  AsaApi::IHooks& hooks = AsaApi::GetHooks();
  hooks.DisableHook(kLogout, &LogoutA);
  hooks.DisableHook(kLogout, &LogoutB);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) BOOL WINAPI DllMain(HMODULE module, DWORD reason,
                                                                      LPVOID) {
  Print("dllmain reason=" + std::to_string(reason) +
        (module != nullptr ? " module=set" : " module=null"));
  if (reason == DLL_PROCESS_ATTACH) {
    Load();
    if (settings.value("ReturnFalse", false)) return FALSE;
  }
  if (reason == DLL_PROCESS_DETACH) Unload();
  return TRUE;
}
