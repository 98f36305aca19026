#include "Configuration/ReloadCommands.h"

#include <optional>
#include <string>

#include "Configuration/ConfigFile.h"
#include "Discord/AnnouncementPosts.h"
#include "Linking/LoginCheck.h"
#include "Linking/PlayerNotification.h"
#include "Linking/RequireLink.h"
#include "Plugin/PluginLog.h"
#include "Plugin/PluginState.h"
#include "host/Tools.h"

namespace {

constexpr FLinearColor kReloadedColour{0.0f, 1.0f, 0.0f, 1.0f};
constexpr FLinearColor kReloadFailedColour{1.0f, 0.0f, 0.0f, 1.0f};

// The reason config.json could not be read, or nothing when it was and its settings replaced the
// state's; the state keeps the outcome for the status command.
std::optional<std::string> TryReadConfig(PluginState& state) {
  std::optional<std::string> failure;
  const DiscordSettings discord_before = state.settings.discord;
  try {
    state.settings = ReadConfig();
  } catch (const std::exception& error) {
    failure = error.what();
  }
  if (!failure) state.config_reads.last_read = std::chrono::system_clock::now();
  KeepAnnouncementsForWebhook(state.announcements, discord_before, state.settings.discord);
  DropRemindersTurnedOff(state);
  CancelGracesTurnedOff(state);
  state.config_reads.last_refusal = failure;
  return failure;
}

}  // namespace

void ReloadConfigCmd(PluginState& state, APlayerController* player, FString* /*command_line*/) {
  const std::optional<std::string> failure = TryReadConfig(state);
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

void ReloadConfigRcon(PluginState& state, RCONClientConnection* connection, RCONPacket* packet) {
  const std::optional<std::string> failure = TryReadConfig(state);
  if (failure) PluginLog::Get()->error(*failure);
  try {
    FString reply = failure ? FString(failure->c_str()) : FString(u"Reloaded config");
    connection->SendMessage(packet->Id, 0, reply);
  } catch (const std::exception& error) {
    PluginLog::Get()->error(error.what());
  }
}
