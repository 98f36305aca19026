#pragma once
// The Discord announcement of a link: its text, and its hand-over to the game server's HTTP POST.

#include <string_view>

#include "Configuration/Settings.h"
#include "host/FString.h"

// The values the announcement's placeholders take, as the link command read them.
struct AnnouncementValues {
  FString character_name;
  FString map_name;
  int player_id = 0;
  FString eos_id;
  int tribe_id = 0;
  FString tribe_name;
};

// Replaces the placeholders of template_text, each pass ignoring case and working on the result
// of the one before: {CharacterName}, {PlayerId}, {EOS}, {MapName}, {TribeId}, {TribeName}. The
// character and tribe names, typed by players, are kept from mentioning anyone on Discord and
// their markdown is escaped, so that they show as typed. Nothing in the template can fail: an
// unknown placeholder stays as written, and braces are plain text.
FString ComposeAnnouncement(const FString& template_text, const AnnouncementValues& values);

// Posts announcement to the webhook of the Discord settings as a Discord message body, when
// EnableDiscord is set, WebHookUrl is not empty, and the game has a world with a game state.
// Content beyond Discord's 2000 characters is cut, with a warning line; blank content is not
// posted.
void SendDiscordWebhook(const DiscordSettings& discord, std::u16string_view announcement);
