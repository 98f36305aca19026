#include "Discord/AnnouncementQueue.h"

#include <utility>

#include "Discord/DiscordRules.h"

bool AnnouncementQueue::Add(std::u16string announcement) {
  if (veltrane::IsBlankForDiscord(announcement)) return false;
  bool flood_begins = false;
  if (waiting_.size() == kMostWaiting) {
    waiting_.pop_front();
    flood_begins = overflow_.Refused();
    ++dropped_;
  }
  waiting_.push_back(std::move(announcement));
  return flood_begins;
}

AnnouncementQueue::Message AnnouncementQueue::Take() {
  Message message;
  std::size_t characters = 0;
  while (!waiting_.empty()) {
    const std::size_t next = veltrane::CountCharacters(waiting_.front());
    if (message.announcements > 0) {
      if (characters + 1 + next > veltrane::kDiscordContentCharacters) break;
      message.content += u'\n';
      ++characters;
    }
    message.content += waiting_.front();
    characters += next;
    ++message.announcements;
    waiting_.pop_front();
  }
  return message;
}

std::size_t AnnouncementQueue::DropAll() {
  const std::size_t dropped = waiting_.size();
  waiting_.clear();
  dropped_ += dropped;
  return dropped;
}

std::size_t AnnouncementQueue::TakeOverflow() {
  return static_cast<std::size_t>(overflow_.EndedAt(waiting_.size()).value_or(0));
}
