// The admin commands' lookup and deletion, which act on exactly the linked rows
// (Database/LinkedRowCondition.h), each within the deadline of its command.

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
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

// While the connection made at load is under way, or the servers cool down after an outage, the
// admin is answered at once: his command would wait out the one, and ask nobody in the other.
bool MySql::AdminMayWait() {
  if (connecting_at_load_) return false;
  return !availability_ || switched_off_ || availability_->MayTry(now_());
}

std::chrono::seconds MySql::AdminWait() const {
  const unsigned int timeout =
      settings_.read_timeout > 0 ? settings_.read_timeout : kUnlimitedTimeoutCapSeconds;
  return std::chrono::seconds(timeout + kReconnectSeconds);
}

// A blocking store's statements cannot be ended early: each keeps its own timeout, and none is
// started once the deadline has passed.
template <typename T>
std::optional<T> MySql::RunForAdmin(StoreTask<T> task, AdminDeadline deadline) {
  if (veltrane::StepDriver::Clock::now() >= deadline) return std::nullopt;
  if (!driver_) return ::RunToEnd(*this, std::move(task));
  if (!AdminMayWait()) return std::nullopt;
  std::optional<T> result;
  StoreTask<void> kept = detail::KeepResult(std::move(task), result);
  if (!driver_->TryRunToEnd(kept, deadline)) return std::nullopt;
  return result;
}

// A row's code comes back as the state word that the column takes it for, trailing spaces dropped,
// or empty (kStateWordOfCode).
std::optional<std::vector<LinkedAccount>> MySql::FindLinks(AccountIdKind kind, std::string id,
                                                           AdminDeadline deadline) {
  std::optional<std::optional<std::vector<LinkedAccount>>> found =
      RunForAdmin(FindLinksTask(kind, std::move(id)), deadline);
  if (!found) return std::nullopt;
  return std::move(*found);
}

DeletedLinks MySql::DeleteLinks(AccountIdKind kind, std::string id,
                                std::vector<LinkedAccount> links, AdminDeadline deadline,
                                WriteFollowUp if_in_doubt) {
  const std::optional<DeletedLinks> deleted = RunForAdmin(
      DeleteLinksTask(kind, std::move(id), std::move(links), std::move(if_in_doubt)), deadline);
  if (!deleted) return DeletedLinks{StoreAnswer::CouldNotAsk, 0, 0};
  return *deleted;
}

std::optional<std::vector<bool>> MySql::StillLinked(std::vector<std::string> eos_ids,
                                                    AdminDeadline deadline) {
  std::optional<std::optional<std::vector<bool>>> asked =
      RunForAdmin(StillLinkedTask(std::move(eos_ids)), deadline);
  if (!asked) return std::nullopt;
  return std::move(*asked);
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
    // A question changes nothing: one whose answer was lost was simply not asked.
    if (!result.succeeded()) co_return std::nullopt;
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
    co_return std::nullopt;
  }
}

// Only rows that were read before (links) and are linked rows of id still: a row that changed
// meanwhile stays, and the count tells. A deletion in doubt is settled for each player of links on
// his own: what follows it (his group) depends on whether any row links him afterwards.
StoreTask<DeletedLinks> MySql::DeleteLinksTask(AccountIdKind kind, std::string id,
                                               std::vector<LinkedAccount> links,
                                               WriteFollowUp if_in_doubt) {
  constexpr const char* kOperation = "MySql::DeleteLinks";
  DeletedLinks deleted;
  try {
    if (links.empty()) co_return deleted;
    deleted.answer = StoreAnswer::CouldNotAsk;
    if (!co_await Reachable()) co_return deleted;
    const std::optional<std::string> escaped_id = Escape(id, kOperation);
    if (!escaped_id) co_return deleted;
    std::vector<int> row_ids;
    std::vector<veltrane::WriteInDoubt> writes;
    for (const LinkedAccount& link : links) {
      row_ids.push_back(link.row_id);
      const bool counted = std::any_of(writes.begin(), writes.end(), [&](const auto& write) {
        return write.eos_id == link.eos_id;
      });
      if (counted) continue;
      const std::optional<std::string> escaped_eos_id = Escape(link.eos_id, kOperation);
      if (!escaped_eos_id) co_return deleted;
      writes.push_back(veltrane::WriteInDoubt::Of(
          veltrane::WriteKind::Deletion, link.eos_id,
          fmt::format(
              "SELECT NOT EXISTS (SELECT * FROM player_discord WHERE eos_id = '{}' AND {});",
              *escaped_eos_id, veltrane::detail::LinkedRow()),
          if_in_doubt));
    }
    BeginWrite(std::move(writes));
    const daotk::mysql::results result = co_await Run(
        fmt::format("DELETE FROM player_discord WHERE id IN ({}) AND {} = '{}' AND {};",
                    fmt::join(row_ids, ", "), IdColumn(kind), *escaped_id,
                    veltrane::detail::LinkedRow()),
        kOperation);
    deleted.answer = AnswerOf(result);
    EndWrite(deleted.answer);
    if (result.succeeded()) deleted.rows = result.affected_rows();
    if (result.refused_by_server()) deleted.refused_error = result.error_number();
    co_return deleted;
  } catch (const std::exception& error) {
    writes_in_flight_.clear();
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", kStoreFile, kOperation, error.what());
    co_return DeletedLinks{StoreAnswer::CouldNotAsk, 0, 0};
  }
}

// One column for each EOS id, compared as the column compares: the same player whatever letter
// case another row holds his EOS id in.
StoreTask<std::optional<std::vector<bool>>> MySql::StillLinkedTask(
    std::vector<std::string> eos_ids) {
  constexpr const char* kOperation = "MySql::StillLinked";
  try {
    if (eos_ids.empty()) co_return std::vector<bool>{};
    if (!co_await Reachable()) co_return std::nullopt;
    std::vector<std::string> columns;
    for (const std::string& eos_id : eos_ids) {
      const std::optional<std::string> escaped = Escape(eos_id, kOperation);
      if (!escaped) co_return std::nullopt;
      columns.push_back(
          fmt::format("EXISTS (SELECT * FROM player_discord WHERE eos_id = '{}' AND {})", *escaped,
                      veltrane::detail::LinkedRow()));
    }
    daotk::mysql::results result =
        co_await Run(fmt::format("SELECT {};", fmt::join(columns, ", ")), kOperation);
    if (!result.succeeded()) co_return std::nullopt;
    const std::vector<std::vector<std::string>> rows = result.text_rows();
    if (rows.size() != 1 || rows[0].size() != eos_ids.size()) co_return std::nullopt;
    std::vector<bool> linked;
    for (const std::string& column : rows[0]) linked.push_back(column == "1");
    co_return linked;
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", kStoreFile, kOperation, error.what());
    co_return std::nullopt;
  }
}
