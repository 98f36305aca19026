#pragma once
// The words the code column holds once a row has left the waiting state. A player who types one
// of them as a code would match every row in that state, so the store never treats them as codes.

#include <array>
#include <string_view>

namespace veltrane {

namespace detail {

// Whether the column's collation could take typed as word: ASCII letters without regard to case,
// and any non-ASCII character in the place of a letter, since an accent-insensitive collation
// (utf8mb4_general_ci among them) takes an accented letter as its plain one.
constexpr bool MayCollateAs(std::string_view typed, std::string_view word) {
  const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
  const auto is_letter = [&](char c) { return lower(c) >= 'a' && lower(c) <= 'z'; };
  std::size_t pos = 0;
  for (const char expected : word) {
    if (pos == typed.size()) return false;
    const auto byte = static_cast<unsigned char>(typed[pos]);
    if (byte < 0x80) {
      if (lower(typed[pos]) != lower(expected)) return false;
      ++pos;
    } else {
      if (!is_letter(expected)) return false;
      // Skip the whole UTF-8 sequence: one character.
      ++pos;
      while (pos < typed.size() && (static_cast<unsigned char>(typed[pos]) & 0xC0) == 0x80) ++pos;
    }
  }
  return pos == typed.size();
}

}  // namespace detail

// "Linked" and "Updated" mark linked rows; "0" is the column's default, held by rows without a
// code.
inline constexpr std::array<std::string_view, 3> kCodeStateWords = {"Linked", "Updated", "0"};

// True when code would match a state word under the code column's collation, which ignores
// letter case and trailing spaces.
constexpr bool IsStateWord(std::string_view code) {
  while (!code.empty() && code.back() == ' ') code.remove_suffix(1);
  for (const std::string_view word : kCodeStateWords) {
    if (detail::MayCollateAs(code, word)) return true;
  }
  return false;
}

}  // namespace veltrane
