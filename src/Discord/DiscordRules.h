#pragma once
// What Discord takes in a webhook message. A message it refuses is answered 400 to the game
// server, which does not tell the plugin, so the announcement would be lost without a trace:
// the sender name is checked with the configuration, and the content is cut to fit before it
// is handed over. Characters are Unicode characters (code points), as Discord counts them.

#include <cstddef>
#include <string>
#include <string_view>

namespace veltrane {

inline constexpr std::size_t kDiscordContentCharacters = 2000;
inline constexpr std::size_t kDiscordNameCharacters = 80;

// The number of Unicode characters in text; a surrogate pair is one.
std::size_t CountCharacters(std::u16string_view text);

// Why Discord would refuse name as a webhook message's username: empty or only white space,
// more than kDiscordNameCharacters characters, or holding "clyde" or "discord" in any letter
// case. Empty when it takes it. The text never quotes the name.
std::string DiscordNameProblem(std::u16string_view name);

// content, cut to its first kDiscordContentCharacters characters when it is longer: never
// inside a surrogate pair, and never between a backslash and the character it escapes.
struct DiscordContent {
  std::u16string text;
  std::size_t characters_before = 0;  // of the whole content
  bool cut = false;
};
DiscordContent FitDiscordContent(std::u16string_view content);

// True when content holds nothing but white space, which Discord takes as no message at all.
bool IsBlankForDiscord(std::u16string_view content);

}  // namespace veltrane
