#pragma once
// A Discord message of announcements on its way out: its hand-over to the game server's HTTP POST.
// The texts are composed by ComposeAnnouncement (Discord/AnnouncementText.h) and wait their turn
// in the queue of Discord/AnnouncementPosts.h.

#include <string_view>

#include "Configuration/Settings.h"

// Posts announcement to the webhook of the Discord settings as a Discord message body, when
// EnableDiscord is set, WebHookUrl is not empty, and the game has a world with a game state;
// true when it was handed over. Content beyond Discord's 2000 characters is cut, with a warning
// line; blank content is not posted.
bool SendDiscordWebhook(const DiscordSettings& discord, std::u16string_view announcement);
