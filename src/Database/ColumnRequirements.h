#pragma once
// What the store needs of player_discord's columns when someone else created the table. Texts must
// land in character columns (in an integer column "abc" becomes 0 and "Linked" reads as 0) long
// enough for what the plugin writes (the strict session refuses a longer value, so a code column
// of 6 would fail every logout refresh on "Updated"), and the ids in integer columns that hold
// every signed 32-bit value (a tinyint stores two players as 127).

#include <algorithm>
#include <array>
#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane {

// One column as information_schema.COLUMNS describes it.
struct ColumnDescription {
  std::string name;         // COLUMN_NAME
  std::string data_type;    // DATA_TYPE, e.g. "varchar"
  std::string column_type;  // COLUMN_TYPE, e.g. "int(10) unsigned"
};

namespace detail {

inline std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return lower;
}

inline bool IsCharacterType(std::string_view data_type) {
  constexpr std::array<std::string_view, 6> kCharacterTypes = {"char", "varchar",    "tinytext",
                                                               "text", "mediumtext", "longtext"};
  return std::find(kCharacterTypes.begin(), kCharacterTypes.end(), data_type) !=
         kCharacterTypes.end();
}

// The characters a char(N) or varchar(N) column holds; the text types hold at least 255 bytes,
// more than any value the plugin needs to fit (a 32-character name is at most 128 bytes).
inline std::size_t CharactersHeld(std::string_view data_type, std::string_view column_type) {
  if (data_type != "char" && data_type != "varchar") return 255;
  const std::size_t open = column_type.find('(');
  if (open == std::string_view::npos) return data_type == "char" ? 1 : 0;
  std::size_t characters = 0;
  std::from_chars(column_type.data() + open + 1, column_type.data() + column_type.size(),
                  characters);
  return characters;
}

// The shortest text each character column must hold, and what that length stands for.
struct TextColumnNeed {
  std::string_view column;
  std::size_t characters;
  std::string_view what;
};

inline constexpr std::array<TextColumnNeed, 5> kTextColumnNeeds = {{
    {"eos_id", 32, "an EOS id"},
    {"discord_id", 0, ""},  // never written by the plugin
    {"character_name", 32, "a name"},
    {"tribe_name", 32, "a name"},
    {"code", 7, "the state word \"Updated\""},
}};

inline bool HoldsEverySigned32(std::string_view data_type, std::string_view column_type) {
  return (data_type == "int" || data_type == "bigint") &&
         column_type.find("unsigned") == std::string_view::npos;
}

}  // namespace detail

// Why the table cannot hold the store's values faithfully, one reason per column in the store's
// column order; empty when it can. Column names and types are compared without regard to case, as
// the server does.
inline std::vector<std::string> ColumnProblems(const std::vector<ColumnDescription>& columns) {
  if (columns.empty()) return {"the table is missing"};
  constexpr std::array<std::string_view, 7> kOrder = {
      "eos_id", "discord_id", "player_id", "character_name", "tribe_id", "tribe_name", "code"};

  std::vector<std::string> problems;
  for (const std::string_view wanted : kOrder) {
    const auto found = std::find_if(columns.begin(), columns.end(), [&](const auto& column) {
      return detail::Lower(column.name) == wanted;
    });
    if (found == columns.end()) {
      problems.push_back(std::string(wanted) + " is missing");
      continue;
    }
    const std::string data_type = detail::Lower(found->data_type);
    const auto need =
        std::find_if(detail::kTextColumnNeeds.begin(), detail::kTextColumnNeeds.end(),
                     [&](const detail::TextColumnNeed& text) { return text.column == wanted; });
    const bool is_text = need != detail::kTextColumnNeeds.end();
    if (is_text && !detail::IsCharacterType(data_type)) {
      problems.push_back(std::string(wanted) + " is " + found->column_type +
                         ", not a character column");
    } else if (is_text && detail::CharactersHeld(data_type, detail::Lower(found->column_type)) <
                              need->characters) {
      problems.push_back(std::string(wanted) + " is " + found->column_type + ", shorter than the " +
                         std::to_string(need->characters) + " characters of " +
                         std::string(need->what));
    } else if (!is_text &&
               !detail::HoldsEverySigned32(data_type, detail::Lower(found->column_type))) {
      problems.push_back(std::string(wanted) + " is " + found->column_type +
                         ", not an integer column that holds every signed 32-bit value");
    }
  }
  return problems;
}

}  // namespace veltrane
