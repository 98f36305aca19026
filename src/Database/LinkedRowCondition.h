#pragma once
// The one definition of a link, in every question that asks whether or where a player is linked
// (the link command's, the logout refresh's, the lost update's, the admin commands') and in the
// guard of the link update: the row holds an EOS id other than the default identity and a player
// id other than 0 (game servers report negative ids too). The code column plays no part: a bot
// that retyped the state word or re-issued a code onto a linked row leaves the player linked, and
// the admin commands must show and free exactly the rows that keep him from linking.

#include <fmt/format.h>

#include <string>
#include <string_view>

namespace veltrane::detail {

inline constexpr std::string_view kHoldsAnEOSId = "eos_id NOT IN ('0', '')";
inline std::string LinkedRow() { return fmt::format("{} AND player_id <> 0", kHoldsAnEOSId); }

}  // namespace veltrane::detail
