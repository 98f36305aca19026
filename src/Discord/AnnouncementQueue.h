#pragma once
// The announcements of links waiting for their post, in the order the links were made. Bounded:
// a flood of links must not grow the plugin's memory without end, so beyond kMostWaiting the
// oldest is dropped. Several waiting go out as one message, one announcement a line, as far as
// Discord's content limit allows: fewer posts for the same news. Pure: the posts and the log
// lines are the sender's (Discord/AnnouncementPosts.h).

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

#include "Plugin/FloodEpisode.h"

class AnnouncementQueue {
 public:
  static constexpr std::size_t kMostWaiting = 512;

  // One post's content and how many announcements it holds.
  struct Message {
    std::u16string content;
    std::size_t announcements = 0;
  };

  // Puts announcement behind the others; when kMostWaiting wait, the oldest is dropped first and
  // counted in the overflow. A blank one is not kept: Discord takes it as no message at all. True
  // when this begins a flood of drops.
  bool Add(std::u16string announcement);
  // Takes the oldest as one message: as many as fit within Discord's content limit together,
  // joined by line breaks, and never a part of one. One longer than the limit is taken alone, to
  // be cut by its post. No announcements when none waits.
  Message Take();
  // Drops every one waiting and answers how many.
  std::size_t DropAll();
  // The count of the flood of drops that has ended, once few enough wait (FloodEpisode.h); 0 while
  // none has.
  std::size_t TakeOverflow();

  std::size_t Waiting() const { return waiting_.size(); }
  // Since load: dropped for the bound and by DropAll.
  std::uint64_t Dropped() const { return dropped_; }

 private:
  std::deque<std::u16string> waiting_;
  FloodEpisode overflow_{kMostWaiting};
  std::uint64_t dropped_ = 0;
};
