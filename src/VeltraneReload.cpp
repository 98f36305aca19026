#include "VeltraneReload.h"

#include <optional>
#include <string>

#include "PluginLog.h"
#include "VeltraneConfig.h"
#include "VeltraneNotify.h"

namespace {

constexpr FLinearColor kReloadedColour{0.0f, 1.0f, 0.0f, 1.0f};
constexpr FLinearColor kReloadFailedColour{1.0f, 0.0f, 0.0f, 1.0f};

// The reason config.json could not be read, or nothing when it was.
std::optional<std::string> TryReadConfig() {
  try {
    ReadConfig();
    return std::nullopt;
  } catch (const std::exception& error) {
    return error.what();
  }
}

}  // namespace

void ReloadConfigCmd(APlayerController* player, FString* /*command_line*/,
                     bool /*from_cheat_input*/) {
  const std::optional<std::string> failure = TryReadConfig();
  try {
    const std::shared_ptr<AsaApi::IMessagingManager> messaging = GetPluginMessaging();
    if (player != nullptr) {
      messaging->SendServerMessage(static_cast<AShooterPlayerController*>(player),
                                   failure ? kReloadFailedColour : kReloadedColour,
                                   failure ? u"Failed to reload config" : u"Reloaded config");
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
