#pragma once
// The announcements of links on their way to Discord: they wait in their queue and go out at the
// tick as the webhook's pace allows (Discord/WebhookPace.h), so that a crowd linking at once is
// announced in full instead of being answered 429 and lost. A lone link after a quiet time goes
// out at the tick after it. All on the game thread.

#include <cstdint>

#include "Configuration/Settings.h"
#include "Discord/AnnouncementQueue.h"
#include "Discord/WebhookPace.h"

struct DiscordAnnouncements {
  AnnouncementQueue queue;
  WebhookPace pace;
  std::uint64_t posted = 0;    // announcements handed to the game's POST since load
  std::uint64_t unposted = 0;  // taken for a post the game could not make (no world)

  std::uint64_t Dropped() const { return queue.Dropped() + unposted; }
};

// A link's announcement, behind the others; a flood of drops at the bound begins with one warning.
void QueueAnnouncement(AnnouncementQueue& queue, std::u16string announcement);

// The tick's part: the oldest waiting as one message, when the pace of the webhook allows; one
// post a tick. With Discord off or no address (a link typed before the reload that turned it off)
// what waits is dropped, with one info line.
void PostWaitingAnnouncements(DiscordAnnouncements& announcements, const DiscordSettings& discord,
                              WebhookPace::Clock::time_point now);

// The reload's part: when the new settings turn Discord off or change the address, what waits for
// the old one is dropped, with one info line.
void KeepAnnouncementsForWebhook(DiscordAnnouncements& announcements, const DiscordSettings& before,
                                 const DiscordSettings& after);

// The unload's part: what waits is posted at once as far as the pace allows, and the rest dropped
// with one warning. Nothing waits for the posts' answers.
void PostAnnouncementsAtUnload(DiscordAnnouncements& announcements, const DiscordSettings& discord,
                               WebhookPace::Clock::time_point now);
