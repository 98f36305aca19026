#pragma once
// What the store needs of player_discord's columns when someone else created the table. Texts must
// land in character columns (in an integer column "abc" becomes 0 and "Linked" reads as 0), and the
// ids in integer columns that hold every signed 32-bit value (a tinyint stores two players as 127).

#include <algorithm>
#include <array>
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
  constexpr std::array<std::string_view, 5> kTextColumns = {"eos_id", "discord_id",
                                                            "character_name", "tribe_name", "code"};
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
    const bool is_text =
        std::find(kTextColumns.begin(), kTextColumns.end(), wanted) != kTextColumns.end();
    if (is_text && !detail::IsCharacterType(data_type)) {
      problems.push_back(std::string(wanted) + " is " + found->column_type +
                         ", not a character column");
    } else if (!is_text &&
               !detail::HoldsEverySigned32(data_type, detail::Lower(found->column_type))) {
      problems.push_back(std::string(wanted) + " is " + found->column_type +
                         ", not an integer column that holds every signed 32-bit value");
    }
  }
  return problems;
}

}  // namespace veltrane
