// The host module of the Windows load test (see HostStandIn.h). Built as the host module's name
// (VELTRANE_HOST_MODULE) with the same .def as the plugin's import library of it, so it exports
// exactly the host functions the plugin calls.

#include "HostStandIn.h"

#include <fmt/format.h>
#include <spdlog/sinks/sink.h>

#include <cstdlib>
#include <memory>
#include <mutex>

namespace standin {
namespace {

std::string Utf8(const FString& text) { return AsaApi::Tools::Utf8Encode(text.View()); }

// Formats each line itself: a plugin's logger hands its sinks a formatter whose code lives in the
// plugin's DLL, which must not outlive FreeLibrary here.
class RecordingSink : public spdlog::sinks::sink {
 public:
  // spdlog::sinks::sink
  void log(const spdlog::details::log_msg& message) override {
    const std::lock_guard<std::mutex> guard(lock_);
    Host().log_lines.push_back(fmt::format("[{}][{}] {}", message.logger_name,
                                           spdlog::level::to_string_view(message.level),
                                           message.payload));
  }
  void flush() override {}
  void set_pattern(const std::string&) override {}
  void set_formatter(std::unique_ptr<spdlog::formatter>) override {}

 private:
  std::mutex lock_;
};

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

class Hooks : public AsaApi::IHooks {
 public:
  // AsaApi::IHooks
  bool RemoveHook(const std::string& function_name, LPVOID) override {
    return Host().hooks.erase(function_name) != 0;
  }
  bool InstallHook(const std::string& function_name, LPVOID, LPVOID* original) override {
    *original = reinterpret_cast<LPVOID>(&GameLogout);
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
  static std::vector<spdlog::sink_ptr> sinks{std::make_shared<standin::RecordingSink>()};
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
