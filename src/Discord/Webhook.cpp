#include "Discord/Webhook.h"

#include <fmt/xchar.h>

#include "Discord/DiscordRules.h"
#include "Discord/Markdown.h"
#include "Discord/Mentions.h"
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

// One pass for a value that a player typed. Neither the value itself nor the value together with
// the "@" or "<" right before its place may form a mention, and its markdown shows as typed.
// Markdown is escaped after the mentions are neutralised, so that it only adds backslashes and
// every zero-width space stays where the neutraliser put it.
FString ReplacePlayerValue(const FString& text, std::u16string_view placeholder,
                           const FString& value) {
  FString result = text;
  for (const char16_t opener : {u'@', u'<'}) {
    const std::u16string placed = opener + std::u16string(placeholder);
    const std::u16string kept_apart =
        std::u16string{opener, u'\u200B'} + std::u16string(placeholder);
    result = result.Replace(placed.c_str(), kept_apart.c_str());
  }
  return result.Replace(std::u16string(placeholder).c_str(),
                        EscapeMarkdown(NeutraliseMentions(value.View())).c_str());
}

}  // namespace

FString ComposeAnnouncement(const FString& template_text, const AnnouncementValues& values) {
  FString text = template_text;
  text = ReplacePlayerValue(text, u"{CharacterName}", values.character_name);
  text = text.Replace(u"{PlayerId}", *FString::FromInt(values.player_id));
  text = text.Replace(u"{EOS}", *values.eos_id);
  text = text.Replace(u"{MapName}", *values.map_name);
  text = text.Replace(u"{TribeId}", *FString::FromInt(values.tribe_id));
  text = ReplacePlayerValue(text, u"{TribeName}", values.tribe_name);
  return text;
}

void SendDiscordWebhook(const DiscordSettings& discord, std::u16string_view announcement) {
  const FString url(discord.web_hook_url.c_str());
  if (!discord.enable_discord || url.IsEmpty()) return;

  // Discord refuses a message without content, or with more than it takes.
  const veltrane::DiscordContent content = veltrane::FitDiscordContent(announcement);
  if (veltrane::IsBlankForDiscord(content.text)) return;
  // The sender name was checked against Discord's rules with the configuration.
  const std::u16string body =
      fmt::format(u"{{\"content\":\"{}\",\"username\":\"{}\",\"avatar_url\":null}}",
                  EscapeJsonString(content.text),
                  EscapeJsonString(AsaApi::Tools::Utf8Decode(discord.sender_name)));

  UWorld* world = AsaApi::GetApiUtils().GetCurrentWorld();
  if (world == nullptr) return;
  AShooterGameState* game_state = world->GameStateField();
  if (game_state == nullptr) return;
  if (content.cut) {
    PluginLog::Get()->warn("The Discord announcement was cut to {} of its {} characters.",
                           veltrane::kDiscordContentCharacters, content.characters_before);
  }
  game_state->HTTPPostRequest(url, FString(body));
}
