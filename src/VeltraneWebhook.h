#pragma once
// The Discord announcement of a link on its way out: its hand-over to the game server's HTTP POST.
// Its text is composed by ComposeAnnouncement (AnnouncementText.h).

#include <string_view>

// Posts announcement to the configured webhook as a Discord message body, when EnableDiscord is
// set, WebHookUrl is not empty, and the game has a world with a game state. Content beyond
// Discord's 2000 characters is cut, with a warning line; blank content is not posted. Setting
// errors throw.
void SendDiscordWebhook(std::u16string_view announcement);
