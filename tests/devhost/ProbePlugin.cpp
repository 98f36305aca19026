// A plugin for testing the devhost: it registers a chat, a console and an RCON command and the
// logout hook, registers tick callbacks and calls the host's functions on request, and prints
// what it sees as "probe ..." lines. Its behaviour at load comes from the "Probe" section of
// config.json.

#include <spdlog/logger.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>

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

// What the tick callbacks saw: a tick must come on the game thread and never inside one of the
// probe's other callbacks.
struct TickRecord {
  int count = 0;
  float min_delta = std::numeric_limits<float>::infinity();
  int nested = 0;
  int other_thread = 0;
};
std::thread::id game_thread;
int callbacks_running = 0;
std::map<std::string, TickRecord> tick_records;
std::set<std::string> ticks_registered;

// Marks one of the probe's callbacks as running.
struct InCallback {
  InCallback() { ++callbacks_running; }
  ~InCallback() { --callbacks_running; }
  InCallback(const InCallback&) = delete;
  InCallback& operator=(const InCallback&) = delete;
};

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

void AddTick(const std::string& id) {
  const auto tick = [id](float delta) {
    TickRecord& record = tick_records[id];
    ++record.count;
    record.min_delta = std::min(record.min_delta, delta);
    if (callbacks_running != 0) ++record.nested;
    if (std::this_thread::get_id() != game_thread) ++record.other_thread;
  };
  const bool ok = AsaApi::GetCommands().AddOnTickCallback(FString(id), tick);
  if (ok) {
    tick_records[id] = TickRecord{};
    ticks_registered.insert(id);
  }
  Print("tick-add id=" + id + " ok=" + (ok ? "true" : "false"));
}

void RemoveTick(const std::string& id) {
  const bool ok = AsaApi::GetCommands().RemoveOnTickCallback(FString(id));
  if (ok) ticks_registered.erase(id);
  Print("tick-remove id=" + id + " ok=" + (ok ? "true" : "false"));
}

void ShowTicks(const std::string& id) {
  const TickRecord& record = tick_records[id];
  Print("ticks id=" + id + " count=" + std::to_string(record.count) +
        " min_delta=" + (record.count == 0 ? "null" : nlohmann::json(record.min_delta).dump()) +
        " nested=" + std::to_string(record.nested) +
        " other_thread=" + std::to_string(record.other_thread));
}

// A late reply, as a command that waits for its answers over ticks sends it: after the given
// number of ticks the player is looked up again by his EOS id, and the callback removes itself.
void ReplyAfter(AShooterPlayerController* player, int ticks) {
  const FString eos = AsaApi::GetApiUtils().GetEOSIDFromController(player);
  const std::string id = "reply " + Utf8(eos);
  auto left = std::make_shared<int>(ticks);
  const auto tick = [id, eos, left, ticks](float) {
    if (--*left > 0) return;
    AsaApi::GetCommands().RemoveOnTickCallback(FString(id));
    ticks_registered.erase(id);
    AShooterPlayerController* found = AsaApi::GetApiUtils().FindPlayerFromEOSID(eos);
    const std::string text = "reply after " + std::to_string(ticks) + " ticks";
    if (found != nullptr) {
      Messaging()->SendNotification(found, {1.f, 1.f, 1.f, 1.f}, 1.f, 5.f, nullptr, *FString(text));
    } else {
      Messaging()->SendServerMessage(nullptr, {1.f, 0.f, 0.f, 1.f},
                                     *FString(text + ": no player " + Utf8(eos)));
    }
  };
  const bool ok = AsaApi::GetCommands().AddOnTickCallback(FString(id), tick);
  if (ok) ticks_registered.insert(id);
}

void Find(AShooterPlayerController* player, const FString& eos) {
  AShooterPlayerController* found = AsaApi::GetApiUtils().FindPlayerFromEOSID(eos);
  Print("find eos=" + Json(eos) + " found=" + (found == nullptr ? "null" : EosOf(found)) +
        " self=" + (found == player ? "true" : "false"));
}

// Holds the game thread, as a slow command would.
void Busy(int milliseconds) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (std::chrono::steady_clock::now() < end) {
  }
}

void Chat(AShooterPlayerController* player, FString* line, int mode, int channel) {
  const InCallback running;
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
  } else if (action == "tick") {
    AddTick(words.size() > 2 ? Utf8(words[2]) : "");
  } else if (action == "untick") {
    RemoveTick(words.size() > 2 ? Utf8(words[2]) : "");
  } else if (action == "ticks") {
    ShowTicks(words.size() > 2 ? Utf8(words[2]) : "");
  } else if (action == "reply-after") {
    ReplyAfter(player, words.size() > 2 ? std::stoi(Utf8(words[2])) : 1);
  } else if (action == "find") {
    Find(player, words.size() > 2 ? words[2] : FString());
  } else if (action == "busy") {
    Busy(words.size() > 2 ? std::stoi(Utf8(words[2])) : 0);
  }
}

void Console(APlayerController* player, FString* line, bool cheat) {
  const InCallback running;
  Print("console player=" + EosOf(player) + " line=" + Json(*line) +
        " cheat=" + (cheat ? "true" : "false"));
}

void Unhook(APlayerController*, FString*, bool);

void Rcon(RCONClientConnection* connection, RCONPacket* packet, UWorld* world) {
  const InCallback running;
  Print("rcon id=" + std::to_string(packet->Id) + " type=" + std::to_string(packet->Type) +
        " body=" + Json(packet->Body) +
        " world=" + (world == AsaApi::GetApiUtils().GetCurrentWorld() ? "current" : "other"));
  FString reply = After(packet->Body, 1);
  if (reply == FString(u"big")) reply = FString(std::u16string(10000, u'x') + u"end");
  connection->SendMessage(packet->Id, 0, reply);
}

// Whether the exiting player can be found by his EOS id, before and after the game's own logout.
std::string FoundByEos(const FString& eos) {
  AShooterPlayerController* found = AsaApi::GetApiUtils().FindPlayerFromEOSID(eos);
  return found == nullptr ? "null" : EosOf(found);
}

void LogoutA(AShooterGameMode* game_mode, AController* exiting) {
  const InCallback running;
  Print("logout-a exiting=" + EosOf(exiting));
  if (exiting == nullptr) {
    original_a(game_mode, exiting);
    return;
  }
  const FString eos = AsaApi::GetApiUtils().GetEOSIDFromController(exiting);
  const std::string before = FoundByEos(eos);
  original_a(game_mode, exiting);
  Print("find-at-logout before=" + before + " after=" + FoundByEos(eos));
}

void LogoutB(AShooterGameMode* game_mode, AController* exiting) {
  const InCallback running;
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
  game_thread = std::this_thread::get_id();
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
  for (const std::string& id : ticks_registered) commands.RemoveOnTickCallback(FString(id));
  ticks_registered.clear();
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
