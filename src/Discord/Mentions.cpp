#include "Discord/Mentions.h"

namespace {

constexpr char16_t kZeroWidthSpace = u'\u200B';

// "<@", "<#", or a "<" at the end, which the text after the value might complete.
bool MayStartMention(std::u16string_view text, std::size_t less_than) {
  if (less_than + 1 >= text.size()) return true;
  const char16_t next = text[less_than + 1];
  return next == u'@' || next == u'#';
}

}  // namespace

std::u16string NeutraliseMentions(std::u16string_view player_text) {
  std::u16string neutral;
  neutral.reserve(player_text.size());
  for (std::size_t at = 0; at < player_text.size(); ++at) {
    const char16_t unit = player_text[at];
    neutral += unit;
    if (unit == u'@' || (unit == u'<' && MayStartMention(player_text, at)))
      neutral += kZeroWidthSpace;
  }
  return neutral;
}
