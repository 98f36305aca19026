#pragma once
// Text typed by players (character and tribe names) on its way into a Discord announcement: it
// must not ping anyone. Discord resolves "@everyone", "@here", "<@id>", "<@!id>", "<@&role>" and
// "<#channel>" in a webhook's content; a zero-width space after the "@" or the "<" keeps each one
// plain text and looks the same. The administrator's own template is not touched, so a role
// mention written there still pings.

#include <string>
#include <string_view>

// player_text with a zero-width space after each "@", after each "<" that starts a mention, and
// after a "<" at its end (what follows it in the announcement might complete one).
std::u16string NeutraliseMentions(std::u16string_view player_text);
