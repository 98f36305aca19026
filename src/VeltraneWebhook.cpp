#include "VeltraneWebhook.h"

#include <fmt/xchar.h>

#include "VeltraneConfig.h"
#include "host/AsaApi.h"

namespace {

// The inside of a JSON string literal: names are typed by players and must not end the string.
std::u16string EscapeJsonString(std::u16string_view text) {
  static constexpr char16_t kHexDigits[] = u"0123456789abcdef";
  std::u16string escaped;
  escaped.reserve(text.size());
  for (const char16_t unit : text) {
    switch (unit) {
      case u'"':
        escaped += u"\\\"";
        break;
      case u'\\':
        escaped += u"\\\\";
        break;
      case u'\b':
        escaped += u"\\b";
        break;
      case u'\f':
        escaped += u"\\f";
        break;
      case u'\n':
        escaped += u"\\n";
        break;
      case u'\r':
        escaped += u"\\r";
        break;
      case u'\t':
        escaped += u"\\t";
        break;
      default:
        if (unit < 0x20) {
          escaped += u"\\u00";
          escaped += kHexDigits[unit >> 4];
          escaped += kHexDigits[unit & 0xF];
        } else {
          escaped += unit;
        }
    }
  }
  return escaped;
}

}  // namespace

FString ComposeAnnouncement(const FString& template_text, const AnnouncementValues& values) {
  FString text = template_text;
  text = text.Replace(u"{CharacterName}", *values.character_name);
  text = text.Replace(u"{PlayerId}", *FString::FromInt(values.player_id));
  text = text.Replace(u"{EOS}", *values.eos_id);
  text = text.Replace(u"{MapName}", *values.map_name);
  text = text.Replace(u"{TribeId}", *FString::FromInt(values.tribe_id));
  text = text.Replace(u"{TribeName}", *values.tribe_name);
  return text;
}

void SendDiscordWebhook(std::u16string_view announcement) {
  nlohmann::json& discord = config["Settings"]["Discord"];
  const bool enable_discord = discord.value("EnableDiscord", false);
  const std::string sender_name = discord.value("SenderName", "MyARK");
  const std::string webhook_url = discord.value("WebHookUrl", "");
  const FString url(webhook_url.c_str());
  if (!enable_discord || url.IsEmpty()) return;

  const std::u16string body = fmt::format(
      u"{{\"content\":\"{}\",\"username\":\"{}\",\"avatar_url\":null}}",
      EscapeJsonString(announcement), EscapeJsonString(AsaApi::Tools::Utf8Decode(sender_name)));

  UWorld* world = AsaApi::GetApiUtils().GetCurrentWorld();
  if (world == nullptr) return;
  AShooterGameState* game_state = world->GameStateField();
  if (game_state == nullptr) return;
  game_state->HTTPPostRequest(url, FString(body));
}
