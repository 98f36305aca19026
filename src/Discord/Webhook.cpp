#include "Discord/Webhook.h"

#include <fmt/xchar.h>

#include "Discord/DiscordRules.h"
#include "Plugin/PluginLog.h"
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

bool SendDiscordWebhook(const DiscordSettings& discord, std::u16string_view announcement) {
  const FString url(discord.web_hook_url.c_str());
  if (!discord.enable_discord || url.IsEmpty()) return false;

  // Discord refuses a message without content, or with more than it takes.
  const veltrane::DiscordContent content = veltrane::FitDiscordContent(announcement);
  if (veltrane::IsBlankForDiscord(content.text)) return false;
  // The sender name was checked against Discord's rules with the configuration.
  const std::u16string body =
      fmt::format(u"{{\"content\":\"{}\",\"username\":\"{}\",\"avatar_url\":null}}",
                  EscapeJsonString(content.text),
                  EscapeJsonString(AsaApi::Tools::Utf8Decode(discord.sender_name)));

  UWorld* world = AsaApi::GetApiUtils().GetCurrentWorld();
  if (world == nullptr) return false;
  AShooterGameState* game_state = world->GameStateField();
  if (game_state == nullptr) return false;
  if (content.cut) {
    PluginLog::Get()->warn("The Discord announcement was cut to {} of its {} characters.",
                           veltrane::kDiscordContentCharacters, content.characters_before);
  }
  game_state->HTTPPostRequest(url, FString(body));
  return true;
}
