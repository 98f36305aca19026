#include "Discord/AnnouncementPosts.h"

#include <utility>

#include "Discord/Webhook.h"
#include "Plugin/PluginLog.h"

namespace {

bool Announces(const DiscordSettings& discord) {
  return discord.enable_discord && !discord.web_hook_url.empty();
}

// A flood is two lines in the log: when it begins (QueueAnnouncement), and with its count once the
// queue is well below its bound again.
void ReportOverflow(AnnouncementQueue& queue) {
  if (const std::size_t overflow = queue.TakeOverflow()) {
    PluginLog::Get()->warn(
        "Discord announcements dropped because more than {} waited for their post: {}",
        AnnouncementQueue::kMostWaiting, overflow);
  }
}

void DropForWebhook(AnnouncementQueue& queue) {
  const std::size_t dropped = queue.DropAll();
  ReportOverflow(queue);
  if (dropped > 0) {
    PluginLog::Get()->info(
        "Discord announcements dropped because the webhook was turned off or its address "
        "changed: {}",
        dropped);
  }
}

// Posts the oldest waiting as one message when the pace allows; false when it did not.
bool PostOne(DiscordAnnouncements& announcements, const DiscordSettings& discord,
             WebhookPace::Clock::time_point now) {
  if (announcements.queue.Waiting() == 0) return false;
  if (!announcements.pace.MayPost(discord.web_hook_url, now)) return false;
  const AnnouncementQueue::Message message = announcements.queue.Take();
  if (SendDiscordWebhook(discord, message.content)) {
    announcements.pace.Posted(discord.web_hook_url, now);
    announcements.posted += message.announcements;
  } else {
    announcements.unposted += message.announcements;
  }
  ReportOverflow(announcements.queue);
  return true;
}

}  // namespace

void QueueAnnouncement(AnnouncementQueue& queue, std::u16string announcement) {
  if (queue.Add(std::move(announcement))) {
    PluginLog::Get()->warn(
        "{} Discord announcements wait for their post; the oldest are dropped until fewer wait.",
        AnnouncementQueue::kMostWaiting);
  }
}

void PostWaitingAnnouncements(DiscordAnnouncements& announcements, const DiscordSettings& discord,
                              WebhookPace::Clock::time_point now) {
  if (!Announces(discord)) {
    DropForWebhook(announcements.queue);
    return;
  }
  PostOne(announcements, discord, now);
}

void KeepAnnouncementsForWebhook(DiscordAnnouncements& announcements, const DiscordSettings& before,
                                 const DiscordSettings& after) {
  if (!Announces(after) || after.web_hook_url != before.web_hook_url)
    DropForWebhook(announcements.queue);
}

void PostAnnouncementsAtUnload(DiscordAnnouncements& announcements, const DiscordSettings& discord,
                               WebhookPace::Clock::time_point now) {
  if (!Announces(discord)) {
    DropForWebhook(announcements.queue);
    return;
  }
  while (PostOne(announcements, discord, now)) {
  }
  const std::size_t dropped = announcements.queue.DropAll();
  ReportOverflow(announcements.queue);
  if (dropped > 0) {
    PluginLog::Get()->warn(
        "Discord announcements dropped at unload because the webhook's pace allowed no more "
        "posts: {}",
        dropped);
  }
}
