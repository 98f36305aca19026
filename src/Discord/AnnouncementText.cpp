#include "Discord/AnnouncementText.h"

#include <string>

#include "Discord/Markdown.h"
#include "Discord/Mentions.h"

namespace {

constexpr char16_t kZeroWidthSpace = u'\u200B';

struct Placeholder {
  std::u16string_view name;
  std::u16string value;
  bool typed_by_player = false;
};

std::u16string DecimalText(int number) {
  const std::string digits = std::to_string(number);
  return std::u16string(digits.begin(), digits.end());
}

char16_t UpperAscii(char16_t unit) { return unit >= u'a' && unit <= u'z' ? unit - 32 : unit; }

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t at = 0; at < prefix.size(); ++at) {
    if (UpperAscii(text[at]) != UpperAscii(prefix[at])) return false;
  }
  return true;
}

// A name's markdown is escaped after its mentions are neutralised, so that escaping only adds
// backslashes and every zero-width space stays where the neutraliser put it.
std::u16string PlayerText(std::u16string_view typed) {
  return EscapeMarkdown(NeutraliseMentions(typed));
}

}  // namespace

std::u16string ComposeAnnouncement(std::u16string_view template_text,
                                   const AnnouncementValues& values) {
  const Placeholder placeholders[] = {
      {u"{CharacterName}", PlayerText(values.character_name), true},
      {u"{PlayerId}", DecimalText(values.player_id)},
      {u"{EOS}", values.eos_id},
      {u"{MapName}", values.map_name},
      {u"{TribeId}", DecimalText(values.tribe_id)},
      {u"{TribeName}", PlayerText(values.tribe_name), true},
  };
  std::u16string text;
  text.reserve(template_text.size());
  for (std::size_t at = 0; at < template_text.size();) {
    const Placeholder* found = nullptr;
    if (template_text[at] == u'{') {
      for (const Placeholder& placeholder : placeholders) {
        if (StartsWithIgnoringCase(template_text.substr(at), placeholder.name))
          found = &placeholder;
      }
    }
    if (found == nullptr) {
      text += template_text[at++];
      continue;
    }
    // A player's name right after "@" or "<" would complete a mention ("@everyone", "<#1>").
    if (found->typed_by_player && !text.empty() && (text.back() == u'@' || text.back() == u'<'))
      text += kZeroWidthSpace;
    text += found->value;
    at += found->name.size();
  }
  return text;
}
