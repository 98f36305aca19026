#include "Discord/Markdown.h"

namespace {

constexpr std::u16string_view kMarkdownCharacters = u"\\*_~`|>#-[]()";

}  // namespace

std::u16string EscapeMarkdown(std::u16string_view player_text) {
  std::u16string plain;
  plain.reserve(player_text.size());
  for (const char16_t unit : player_text) {
    if (kMarkdownCharacters.find(unit) != std::u16string_view::npos) plain += u'\\';
    plain += unit;
  }
  return plain;
}
