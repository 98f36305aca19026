#include "ApiUtils.h"

#include <initializer_list>
#include <string_view>

#include "DevHost.h"
#include "Output.h"

namespace devhost {

namespace {

std::string Rgba(const FLinearColor& color) {
  std::string rgba;
  rgba.reserve(48);
  for (const float part : {color.R, color.G, color.B, color.A}) {
    if (!rgba.empty()) rgba += ',';
    rgba += FormatFloat(part);
  }
  return rgba;
}

// One reply line, built in one buffer: the plugin's replies are timed with the host's work in.
std::string Line(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (const std::string_view part : parts) size += part.size();
  std::string line;
  line.reserve(size);
  for (const std::string_view part : parts) line += part;
  return line;
}

}  // namespace

bool PlayerMessaging::Recipient(const void* player, std::string& name) const {
  name = game_.NameOf(player);
  if (player == nullptr || game_.PlayerOf(player) != nullptr) return true;
  PrintLine("error " + JsonText("message for an unknown player controller"));
  return false;
}

void PlayerMessaging::ShowServerMessage(AShooterPlayerController* player, FLinearColor color,
                                        const FString& text) {
  std::string name;
  if (!Recipient(player, name)) return;
  PrintLine(Line({"server-message ", name, " rgba=", Rgba(color), " text=", JsonText(text)}));
}

void PlayerMessaging::ShowChatMessage(AShooterPlayerController* player, const FString& sender,
                                      const FString& text) {
  std::string name;
  if (!Recipient(player, name)) return;
  PrintLine(Line({"chat-message ", name, " sender=", JsonText(sender), " text=", JsonText(text)}));
}

void PlayerMessaging::ShowNotification(AShooterPlayerController* player, FLinearColor color,
                                       float scale, float seconds, UTexture2D* /*icon*/,
                                       const FString& text) {
  std::string name;
  if (!Recipient(player, name)) return;
  PrintLine(Line({"notify ", name, " rgba=", Rgba(color), " scale=", FormatFloat(scale),
                  " secs=", FormatFloat(seconds), " text=", JsonText(text)}));
}

FString ApiUtils::GetEOSIDFromController(AController* controller) const {
  const Player* player = game_.PlayerOf(controller);
  return player != nullptr ? FString(player->profile.eos_id) : FString();
}

AShooterPlayerController* ApiUtils::FindPlayerFromEOSID(const FString& eos_id) {
  Player* player = game_.FindPlayerByEosId(eos_id.View());
  return player != nullptr ? player->As<AShooterPlayerController>() : nullptr;
}

std::shared_ptr<AsaApi::IMessagingManager> ApiUtils::GetMessagingManager(
    const FString& plugin_path) {
  // A plugin names itself by its module file; any other path shows that it looked itself up wrong.
  const std::optional<PluginModule>& plugin = DevHost::Get().plugin;
  const std::string path = AsaApi::Tools::Utf8Encode(plugin_path.View());
  if (!plugin || path != plugin->Path())
    PrintLine("error " +
              JsonText("messaging service asked for by a module that is not the plugin: " + path));
  return std::make_shared<PlayerMessaging>(game_);
}

}  // namespace devhost
