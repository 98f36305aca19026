#pragma once
// Text typed by players (character and tribe names) on its way into a Discord announcement must
// show as typed: Discord renders markdown in a webhook's content, so a name could bold, strike,
// hide or quote what follows it, turn into a heading, or mask a link ("[free nitro](https://...)")
// under the server's name. A backslash before each markdown character keeps it plain, as
// Discord's own clients escape it. The administrator's template keeps its markdown.

#include <string>
#include <string_view>

// player_text with a backslash before each \ * _ ~ ` | > # - [ ] ( ).
std::u16string EscapeMarkdown(std::u16string_view player_text);
