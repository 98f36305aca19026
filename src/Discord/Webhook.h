#pragma once
// The Discord announcement of a link on its way out: its hand-over to the game server's HTTP POST.
// Its text is composed by ComposeAnnouncement (Discord/AnnouncementText.h).

#include <string_view>

#include "Configuration/Settings.h"

// Posts announcement to the webhook of the Discord settings as a Discord message body, when
// EnableDiscord is set, WebHookUrl is not empty, and the game has a world with a game state.
// Content beyond Discord's 2000 characters is cut, with a warning line; blank content is not
// posted.
void SendDiscordWebhook(const DiscordSettings& discord, std::u16string_view announcement);
