#include "Linking/PlayerNotification.h"

#include <fmt/format.h>

#include <algorithm>
#include <string>

#include "Configuration/ConfigFile.h"
#include "host/AsaApi.h"

namespace {

constexpr float kNotificationScale = 1.3f;

// Any address inside this module names the module to the platform's loader.
const char kModuleAnchor = 0;

FString PluginModulePath() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      &kModuleAnchor, &module);
  WCHAR path[MAX_PATH] = {};
  const DWORD written = GetModuleFileNameW(module, path, MAX_PATH);
  // WCHAR is wchar_t on Windows, the host's UTF-16 unit elsewhere: copied unit by unit either way.
  return FString(std::u16string(path, path + std::min<DWORD>(written, MAX_PATH - 1)));
}

}  // namespace

std::shared_ptr<AsaApi::IMessagingManager> GetPluginMessaging() {
  return AsaApi::GetApiUtils().GetMessagingManager(PluginModulePath());
}

void NotifyPlayer(AShooterPlayerController* player, const Settings& settings,
                  const std::string& message_key, FLinearColor colour) {
  const bool notification_mode = settings.notification_mode;
  const FString text = GetText(settings, message_key);
  FString sender;
  if (!notification_mode) sender = GetText(settings, "Sender");
  const std::shared_ptr<AsaApi::IMessagingManager> messaging = GetPluginMessaging();
  if (notification_mode) {
    messaging->SendNotification(player, colour, kNotificationScale,
                                static_cast<float>(settings.messages_duration), nullptr, *text);
  } else {
    messaging->SendChatMessage(player, sender, *text);
  }
}

std::u16string ServerMessageText(const std::string& text) {
  std::string doubled;
  for (const char c : text) {
    doubled += c;
    if (c == '{' || c == '}') doubled += c;
  }
  return AsaApi::Tools::Utf8Decode(doubled);
}
