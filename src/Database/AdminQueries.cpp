// The admin commands' lookup and deletion, which act on exactly the linked rows
// (Database/LinkedRowCondition.h).

#include <fmt/format.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/LinkedRowCondition.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"

namespace {

// The code column when the column itself takes it for a state word, compared in its own character
// set and collation (a utf16 column, a CHAR column read back padded); empty otherwise, so that a
// code waiting on a linked row never leaves the server.
constexpr std::string_view kStateWordOfCode =
    "CASE WHEN code IN ('Linked', 'Updated') THEN code ELSE '' END";

std::string_view IdColumn(AccountIdKind kind) {
  return kind == AccountIdKind::EOSId ? "eos_id" : "discord_id";
}

}  // namespace

// A row's code comes back as the state word that the column takes it for, trailing spaces dropped,
// or empty (kStateWordOfCode).
std::optional<std::vector<LinkedAccount>> MySql::FindLinks(AccountIdKind kind, std::string id) {
  return ::RunToEnd(*this, FindLinksTask(kind, std::move(id)));
}

DeletedLinks MySql::DeleteLinks(AccountIdKind kind, std::string id, std::vector<int> row_ids) {
  return ::RunToEnd(*this, DeleteLinksTask(kind, std::move(id), std::move(row_ids)));
}

StoreTask<std::optional<std::vector<LinkedAccount>>> MySql::FindLinksTask(AccountIdKind kind,
                                                                          std::string id) {
  constexpr const char* kOperation = "MySql::FindLinks";
  try {
    if (!co_await Reachable()) co_return std::nullopt;
    const std::optional<std::string> escaped_id = Escape(id, kOperation);
    daotk::mysql::results result;
    if (escaped_id) {
      result = co_await Run(
          fmt::format("SELECT id, eos_id, discord_id, player_id, character_name, "
                      "tribe_id, tribe_name, {} FROM player_discord WHERE {} = '{}' "
                      "AND {} ORDER BY id;",
                      kStateWordOfCode, IdColumn(kind), *escaped_id, veltrane::detail::LinkedRow()),
          kOperation);
    }
    if (!result.succeeded()) {
      // A question changes nothing: one whose answer was lost was simply not asked.
      answer_ = StoreAnswer::CouldNotAsk;
      co_return std::nullopt;
    }
    std::vector<LinkedAccount> links;
    for (std::vector<std::string>& row : result.text_rows()) {
      if (row.size() != 8) continue;
      // The spaces that the comparison ignored, or that pad a CHAR column read back in full.
      row[7].erase(row[7].find_last_not_of(' ') + 1);
      links.push_back({daotk::mysql::detail::ParseLeadingInt(row[0]), std::move(row[1]),
                       std::move(row[2]), daotk::mysql::detail::ParseLeadingInt(row[3]),
                       std::move(row[4]), daotk::mysql::detail::ParseLeadingInt(row[5]),
                       std::move(row[6]), std::move(row[7])});
    }
    co_return links;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", kStoreFile, kOperation, error.what());
    answer_ = StoreAnswer::CouldNotAsk;
    co_return std::nullopt;
  }
}

// Only rows that were read before (row_ids) and are linked rows of id still: a row that changed
// meanwhile stays, and the count tells.
StoreTask<DeletedLinks> MySql::DeleteLinksTask(AccountIdKind kind, std::string id,
                                               std::vector<int> row_ids) {
  constexpr const char* kOperation = "MySql::DeleteLinks";
  DeletedLinks deleted;
  try {
    answer_ = StoreAnswer::Known;
    if (row_ids.empty()) co_return deleted;
    if (!co_await Reachable()) {
      deleted.answer = answer_;
      co_return deleted;
    }
    const std::optional<std::string> escaped_id = Escape(id, kOperation);
    if (!escaped_id) {
      answer_ = deleted.answer = StoreAnswer::CouldNotAsk;
      co_return deleted;
    }
    const daotk::mysql::results result = co_await Run(
        fmt::format("DELETE FROM player_discord WHERE id IN ({}) AND {} = '{}' AND {};",
                    fmt::join(row_ids, ", "), IdColumn(kind), *escaped_id,
                    veltrane::detail::LinkedRow()),
        kOperation);
    if (result.succeeded()) {
      deleted.rows = result.affected_rows();
    } else {
      if (result.refused_by_server()) deleted.refused_error = result.error_number();
      if (answer_ == StoreAnswer::Known) answer_ = StoreAnswer::CouldNotAsk;
    }
    deleted.answer = answer_;
    co_return deleted;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", kStoreFile, kOperation, error.what());
    answer_ = StoreAnswer::CouldNotAsk;
    co_return DeletedLinks{StoreAnswer::CouldNotAsk, 0, 0};
  }
}
