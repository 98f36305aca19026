#include "Discord/DiscordRules.h"

#include <fmt/format.h>

#include <algorithm>

namespace veltrane {

namespace {

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// Units of the character that starts at at: 2 for a surrogate pair, else 1.
std::size_t CharacterUnits(std::u16string_view text, std::size_t at) {
  return IsHighSurrogate(text[at]) && at + 1 < text.size() && IsLowSurrogate(text[at + 1]) ? 2 : 1;
}

// Unicode's White_Space characters; none of them lies outside the basic plane.
bool IsWhiteSpace(char16_t unit) {
  return (unit >= 0x09 && unit <= 0x0D) || unit == 0x20 || unit == 0x85 || unit == 0xA0 ||
         unit == 0x1680 || (unit >= 0x2000 && unit <= 0x200A) || unit == 0x2028 || unit == 0x2029 ||
         unit == 0x202F || unit == 0x205F || unit == 0x3000;
}

char16_t LowerAscii(char16_t unit) { return unit >= u'A' && unit <= u'Z' ? unit + 32 : unit; }

bool ContainsIgnoringCase(std::u16string_view text, std::u16string_view word) {
  const auto found = std::search(text.begin(), text.end(), word.begin(), word.end(),
                                 [](char16_t a, char16_t b) { return LowerAscii(a) == b; });
  return found != text.end();
}

}  // namespace

std::size_t CountCharacters(std::u16string_view text) {
  std::size_t characters = 0;
  for (std::size_t at = 0; at < text.size(); at += CharacterUnits(text, at)) ++characters;
  return characters;
}

std::string DiscordNameProblem(std::u16string_view name) {
  if (IsBlankForDiscord(name)) return "Discord refuses a name that is empty or only white space";
  const std::size_t characters = CountCharacters(name);
  if (characters > kDiscordNameCharacters) {
    return fmt::format("Discord refuses a name of more than {} characters, found {}",
                       kDiscordNameCharacters, characters);
  }
  for (const std::u16string_view word : {u"clyde", u"discord"}) {
    if (ContainsIgnoringCase(name, word))
      return R"(Discord refuses a name that contains "clyde" or "discord", in any letter case)";
  }
  return "";
}

DiscordContent FitDiscordContent(std::u16string_view content) {
  DiscordContent fitted;
  std::size_t end = content.size();
  for (std::size_t at = 0; at < content.size(); at += CharacterUnits(content, at)) {
    if (fitted.characters_before == kDiscordContentCharacters) end = at;
    ++fitted.characters_before;
  }
  fitted.cut = end < content.size();
  if (fitted.cut) {
    // A lone backslash at the end would be shown, and the character it escaped is gone.
    const std::size_t last_other = content.substr(0, end).find_last_not_of(u'\\');
    const std::size_t backslashes =
        end - (last_other == std::u16string_view::npos ? 0 : last_other + 1);
    if (backslashes % 2 == 1) --end;
  }
  fitted.text = std::u16string(content.substr(0, end));
  return fitted;
}

bool IsBlankForDiscord(std::u16string_view content) {
  return std::all_of(content.begin(), content.end(), IsWhiteSpace);
}

}  // namespace veltrane
