#include "Configuration/ReloadCommands.h"

#include <optional>
#include <string>

#include "Configuration/ConfigFile.h"
#include "Linking/PlayerNotification.h"
#include "Plugin/PluginLog.h"
#include "Plugin/PluginState.h"
#include "host/Tools.h"

namespace {

constexpr FLinearColor kReloadedColour{0.0f, 1.0f, 0.0f, 1.0f};
constexpr FLinearColor kReloadFailedColour{1.0f, 0.0f, 0.0f, 1.0f};

// The reason config.json could not be read, or nothing when it was; the plugin's state keeps
// both for the status command.
std::optional<std::string> TryReadConfig() {
  std::optional<std::string> failure;
  try {
    ReadConfig();
  } catch (const std::exception& error) {
    failure = error.what();
  }
  if (plugin_state) {
    if (!failure) plugin_state->config_reads.last_read = std::chrono::system_clock::now();
    plugin_state->config_reads.last_refusal = failure;
  }
  return failure;
}

}  // namespace

void ReloadConfigCmd(APlayerController* player, FString* /*command_line*/,
                     bool /*from_cheat_input*/) {
  const std::optional<std::string> failure = TryReadConfig();
  try {
    const std::shared_ptr<AsaApi::IMessagingManager> messaging = GetPluginMessaging();
    if (player != nullptr) {
      const std::u16string text =
          failure ? ServerMessageText("Failed to reload config: " + *failure) : u"Reloaded config";
      messaging->SendServerMessage(static_cast<AShooterPlayerController*>(player),
                                   failure ? kReloadFailedColour : kReloadedColour, text.c_str());
    }
  } catch (const std::exception& error) {
    // The host could not show the reply; the administrator still finds the outcome in the log.
    PluginLog::Get()->error(error.what());
  }
  if (failure) PluginLog::Get()->error(*failure);
}

void ReloadConfigRcon(RCONClientConnection* connection, RCONPacket* packet, UWorld* /*world*/) {
  const std::optional<std::string> failure = TryReadConfig();
  if (failure) PluginLog::Get()->error(*failure);
  try {
    FString reply = failure ? FString(failure->c_str()) : FString(u"Reloaded config");
    connection->SendMessage(packet->Id, 0, reply);
  } catch (const std::exception& error) {
    PluginLog::Get()->error(error.what());
  }
}
