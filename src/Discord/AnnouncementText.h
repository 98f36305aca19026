#pragma once
// The text of the Discord announcement of a link, from the administrator's template. Pure: the
// values are read by the link command and the text is posted by the webhook sender.

#include <string>
#include <string_view>

// The values the announcement's placeholders take, as the link command read them.
struct AnnouncementValues {
  std::u16string character_name;
  std::u16string map_name;
  int player_id = 0;
  std::u16string eos_id;
  int tribe_id = 0;
  std::u16string tribe_name;
};

// template_text with each placeholder replaced by its value, ignoring letter case:
// {CharacterName}, {PlayerId}, {EOS}, {MapName}, {TribeId}, {TribeName}. One pass over the
// template, so that a value holding a placeholder shows as it is. The character and tribe names,
// typed by players, are kept from mentioning anyone on Discord and their markdown is escaped, so
// that they show as typed. Nothing in the template can fail: an unknown placeholder stays as
// written, and braces are plain text.
std::u16string ComposeAnnouncement(std::u16string_view template_text,
                                   const AnnouncementValues& values);
