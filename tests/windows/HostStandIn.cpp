// The host module of the Windows load test (see HostStandIn.h). Built as the host module's name
// (VELTRANE_HOST_MODULE) with the same .def as the plugin's import library of it, so it exports
// exactly the host functions the plugin calls.

#include "HostStandIn.h"

#include <spdlog/logger.h>
#include <spdlog/sinks/ostream_sink.h>

#include <cstdlib>
#include <memory>
#include <sstream>

namespace standin {
namespace {

std::string Utf8(const FString& text) { return AsaApi::Tools::Utf8Encode(text.View()); }

// spdlog's own sink over a stream, in the host's own pattern, as a real host's sinks are: it keeps
// whatever formatter it is handed, so one installed by the plugin would outlive FreeLibrary here.
// Without the time, so that the loader compares whole lines; the loader is the only thread.
std::ostringstream log_text;

std::vector<spdlog::sink_ptr> MakeLogSinks() {
  const auto sink = std::make_shared<spdlog::sinks::ostream_sink_mt>(log_text);
  sink->set_pattern("[%n][%l] %v");
  return {sink};
}

class Commands : public AsaApi::ICommands {
 public:
  // AsaApi::ICommands
  bool RegisterChatCommand(const FString& command,
                           const AsaApi::ChatCommandCallback& callback) override {
    return Host().chat_commands.emplace(Utf8(command), callback).second;
  }
  bool RegisterConsoleCommand(const FString& command,
                              const AsaApi::ConsoleCommandCallback&) override {
    return Host().console_commands.insert(Utf8(command)).second;
  }
  bool RegisterRconCommand(const FString& command, const AsaApi::RconCommandCallback&) override {
    return Host().rcon_commands.insert(Utf8(command)).second;
  }
  bool UnregisterChatCommand(const FString& command) override {
    return Host().chat_commands.erase(Utf8(command)) != 0;
  }
  bool UnregisterConsoleCommand(const FString& command) override {
    return Host().console_commands.erase(Utf8(command)) != 0;
  }
  bool UnregisterRconCommand(const FString& command) override {
    return Host().rcon_commands.erase(Utf8(command)) != 0;
  }
  // Kept, never called: the loader drives no game frames.
  bool AddOnTickCallback(const FString& id, const AsaApi::OnTickCallback& callback) override {
    return Host().tick_callbacks.emplace(Utf8(id), callback).second;
  }
  bool RemoveOnTickCallback(const FString& id) override {
    return Host().tick_callbacks.erase(Utf8(id)) != 0;
  }
};

void GameLogout(AShooterGameMode*, AController*) {}
void GamePostLogin(AShooterGameMode*, APlayerController*) {}

class Hooks : public AsaApi::IHooks {
 public:
  // AsaApi::IHooks
  bool RemoveHook(const std::string& function_name, LPVOID) override {
    return Host().hooks.erase(function_name) != 0;
  }
  bool InstallHook(const std::string& function_name, LPVOID, LPVOID* original) override {
    *original = function_name == "AShooterGameMode.PostLogin(APlayerController*)"
                    ? reinterpret_cast<LPVOID>(&GamePostLogin)
                    : reinterpret_cast<LPVOID>(&GameLogout);
    return Host().hooks.insert(function_name).second;
  }
};

class Messaging : public AsaApi::IMessagingManager {
 protected:
  // AsaApi::IMessagingManager
  void ShowServerMessage(AShooterPlayerController*, FLinearColor, const FString& text) override {
    Host().notifications.push_back(Utf8(text));
  }
  void ShowChatMessage(AShooterPlayerController*, const FString&, const FString& text) override {
    Host().notifications.push_back(Utf8(text));
  }
  void ShowNotification(AShooterPlayerController*, FLinearColor, float, float, UTexture2D*,
                        const FString& text) override {
    Host().notifications.push_back(Utf8(text));
  }
};

class ApiUtils : public AsaApi::IApiUtils {
 public:
  // AsaApi::IApiUtils
  UWorld* GetCurrentWorld() const override { return nullptr; }
  AShooterGameMode* GetShooterGameMode() const override { return nullptr; }
  FString GetEOSIDFromController(AController*) const override { return FString(u"EOS-1"); }
  std::shared_ptr<AsaApi::IMessagingManager> GetMessagingManager(const FString& path) override {
    Host().messaging_paths.push_back(Utf8(path));
    return std::make_shared<Messaging>();
  }
  // The loader hands the plugin a controller of its own making and keeps no list of players.
  AShooterPlayerController* FindPlayerFromEOSID(const FString&) override { return nullptr; }
};

// The game: its allocator, and a player whose character is alive.
void* Malloc(std::uint64_t count, unsigned int) { return std::malloc(count); }
void* Realloc(void* original, std::uint64_t count, unsigned int) {
  return std::realloc(original, count);
}
void Free(void* original) { std::free(original); }
APrimalCharacter the_character;
APrimalCharacter* GetPlayerCharacter(const void*) { return &the_character; }
bool IsDead(const void*) { return false; }

}  // namespace

HostRecord& Host() {
  static HostRecord record;
  return record;
}

std::vector<std::string> LogLines() {
  std::vector<std::string> lines;
  std::istringstream text(log_text.str());
  // spdlog ends a line with "\r\n" on Windows.
  for (std::string line; std::getline(text, line);) {
    if (line.ends_with('\r')) line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

void ClearLog() { log_text.str(""); }

void LogAsHost(const std::string& text) {
  static spdlog::logger logger("AsaApi", AsaApi::GetLogSinks().begin(),
                               AsaApi::GetLogSinks().end());
  logger.info(text);
}

}  // namespace standin

namespace AsaApi {

ICommands& GetCommands() {
  static standin::Commands commands;
  return commands;
}

IHooks& GetHooks() {
  static standin::Hooks hooks;
  return hooks;
}

IApiUtils& GetApiUtils() {
  static standin::ApiUtils utils;
  return utils;
}

std::vector<spdlog::sink_ptr>& GetLogSinks() {
  static std::vector<spdlog::sink_ptr> sinks = standin::MakeLogSinks();
  return sinks;
}

void* GetAddress(const std::string& name) {
  static const std::map<std::string, void*> functions = {
      {"FMemory.Malloc(unsigned__int64,unsignedint)", reinterpret_cast<void*>(&standin::Malloc)},
      {"FMemory.Realloc(void*,unsigned__int64,unsignedint)",
       reinterpret_cast<void*>(&standin::Realloc)},
      {"FMemory.Free(void*)", reinterpret_cast<void*>(&standin::Free)},
      {"AShooterPlayerController.GetPlayerCharacter()",
       reinterpret_cast<void*>(&standin::GetPlayerCharacter)},
      {"APrimalCharacter.IsDead()", reinterpret_cast<void*>(&standin::IsDead)},
  };
  const auto found = functions.find(name);
  return found == functions.end() ? nullptr : found->second;
}

void* GetAddress(const void*, const std::string&) { return nullptr; }

namespace Tools {

std::string GetCurrentDir() { return standin::Host().current_dir; }
bool IsPluginLoaded(const std::string&) { return false; }

}  // namespace Tools

}  // namespace AsaApi
