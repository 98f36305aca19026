#pragma once
// Rows that wait for their code hold the eos_id column's default "0". An EOS id that the column
// could take for that default (or an empty one) would own every waiting row, so it is no identity.

#include <string_view>

namespace veltrane {

// True when eos_id is empty or reads as "0" once the characters are gone that some collation
// ignores or pads away: ASCII control characters (the Unicode collations skip them) and spaces
// (trailing ones never count). EOS ids reach the store as ASCII, every other character made "?".
constexpr bool IsDefaultIdentity(std::string_view eos_id) {
  std::size_t kept = 0;
  bool only_zero = true;
  for (const char c : eos_id) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == ' ') continue;
    ++kept;
    only_zero = only_zero && c == '0';
  }
  return kept == 0 || (kept == 1 && only_zero);
}

}  // namespace veltrane
