// The link command's questions and its update, and the logout refresh's update.
//
// A statement that picks rows by a typed code leaves out the rows whose code is a state word
// ("Linked", "Updated", the default "0", or empty), and one that picks rows by EOS id leaves out
// the default "0" and empty ids. The server compares under the column's own collation, so no
// typed text reaches those rows, whatever that collation ignores or folds. IsCodeExist and
// UpdateAccount also refuse the state words themselves before sending anything.
//
// IsCodeExist names the row that holds the code (the first, when several do), and UpdateAccount
// links that one row only, while it still holds the code: one code links one row. The same
// statement requires that no other row links the EOS id, so an update that reaches the server late
// (its answer lost, the plugin loaded anew meanwhile) cannot link a player twice. UpdateAccount
// answers true only when its statement ran and changed the row.
//
// Each update whose answer never comes back is a write in doubt (WritesInDoubt.h), with the
// question that tells afterwards whether it landed, asked on the server it went to once its session
// is gone.

#include <fmt/format.h>
#include <mysqld_error.h>

#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Database/LinkedRowCondition.h"
#include "Database/MysqlDB.h"
#include "Database/StateWords.h"
#include "Plugin/PluginLog.h"

namespace {

// Yes when the question's number is above 0.
Answered<bool> Positive(const Answered<std::optional<int>>& number) {
  return {number.value.value_or(0) > 0, number.answer};
}

}  // namespace

// The number that a one-value question answers, the value escaped between the template's quotes;
// none when the statement gave no value (no row, or NULL).
StoreTask<Answered<std::optional<int>>> MySql::AskNumber(std::string statement_template,
                                                         std::string value, const char* operation) {
  constexpr Answered<std::optional<int>> kNotAsked{std::nullopt, StoreAnswer::CouldNotAsk};
  if (!co_await Reachable()) co_return kNotAsked;
  const std::optional<std::string> escaped_value = Escape(value, operation);
  if (!escaped_value) co_return kNotAsked;
  int answer = 0;
  daotk::mysql::results result =
      co_await Run(fmt::format(fmt::runtime(statement_template), *escaped_value), operation);
  // A question changes nothing, so one whose answer was lost is simply not asked.
  if (!result.succeeded()) co_return kNotAsked;
  if (!result.first_value(answer)) co_return {std::nullopt, StoreAnswer::Known};
  co_return {answer, StoreAnswer::Known};
}

StoreTask<Answered<bool>> MySql::IsPlayerExist(std::string eos_id) {
  try {
    co_return Positive(co_await AskNumber(
        fmt::format("SELECT EXISTS (SELECT * FROM player_discord WHERE eos_id = '{{}}' AND {});",
                    veltrane::detail::kHoldsAnEOSId),
        eos_id, "MySql::IsPlayerExist"));
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", kStoreFile, "MySql::IsPlayerExist",
                            error.what());
    co_return {false, StoreAnswer::CouldNotAsk};
  }
}

StoreTask<Answered<bool>> MySql::IsPlayerIDExist(std::string eos_id) {
  try {
    co_return Positive(co_await AskNumber(
        fmt::format("SELECT COUNT(*) FROM player_discord WHERE eos_id = '{{}}' AND {};",
                    veltrane::detail::LinkedRow()),
        eos_id, "MySql::IsPlayerIDExist"));
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", kStoreFile, "MySql::IsPlayerIDExist",
                            error.what());
    co_return {false, StoreAnswer::CouldNotAsk};
  }
}

StoreTask<Answered<bool>> MySql::IsCodeExist(std::string code, int& row_id) {
  try {
    if (veltrane::IsStateWord(code)) co_return {false, StoreAnswer::Known};
    const Answered<std::optional<int>> found = co_await AskNumber(
        "SELECT id FROM player_discord WHERE code = '{}' AND code NOT IN ('Linked', 'Updated', "
        "'0', '') ORDER BY id LIMIT 1;",
        code, "MySql::IsCodeExist");
    if (!found.value) co_return {false, found.answer};
    row_id = *found.value;
    co_return {true, StoreAnswer::Known};
  } catch (const std::exception& error) {
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", kStoreFile, "MySql::IsCodeExist",
                            error.what());
    co_return {false, StoreAnswer::CouldNotAsk};
  }
}

StoreTask<Answered<bool>> MySql::UpdateAccount(int row_id, std::string eos_id, std::string code,
                                               int player_id, std::string character_name,
                                               int tribe_id, std::string tribe_name,
                                               WriteFollowUp if_in_doubt) {
  constexpr const char* kOperation = "MySql::UpdateAccount";
  constexpr Answered<bool> kNotAsked{false, StoreAnswer::CouldNotAsk};
  try {
    if (veltrane::IsStateWord(code)) co_return {false, StoreAnswer::Known};
    if (!co_await Reachable()) co_return kNotAsked;
    const std::optional<std::string> escaped_eos_id = Escape(eos_id, kOperation);
    const std::optional<std::string> escaped_code = Escape(code, kOperation);
    const std::optional<std::string> escaped_character = Escape(character_name, kOperation);
    const std::optional<std::string> escaped_tribe = Escape(tribe_name, kOperation);
    if (!escaped_eos_id || !escaped_code || !escaped_character || !escaped_tribe) {
      co_return kNotAsked;
    }
    // A lost race for the code (another server linked it first) runs fine but changes nothing,
    // and so does the update of a player whom another row links already: one that reaches the
    // server late (its answer lost, the plugin loaded anew, the player linked another code
    // meanwhile) can never give him a second link. The other link is looked for in a derived
    // table, which the server materialises (LIMIT keeps it from being merged) before it changes a
    // row: MySQL refuses a plain subquery on the updated table (error 1093).
    const std::string statement = fmt::format(
        "UPDATE player_discord SET eos_id = '{0}', player_id = {1}, character_name = '{2}', "
        "tribe_id = {3}, tribe_name = '{4}', code = 'Linked' WHERE id = {5} AND code = '{6}' AND "
        "code NOT IN ('Linked', 'Updated', '0', '') AND NOT EXISTS (SELECT 1 FROM (SELECT id FROM "
        "player_discord WHERE eos_id = '{0}' AND {7} AND id <> {5} LIMIT 1) AS other_link);",
        *escaped_eos_id, player_id, *escaped_character, tribe_id, *escaped_tribe, row_id,
        *escaped_code, veltrane::detail::LinkedRow());
    // Landed: that very row links him.
    BeginWrite({veltrane::WriteInDoubt::Of(
        veltrane::WriteKind::LinkUpdate, eos_id,
        fmt::format("SELECT COUNT(*) FROM player_discord WHERE id = {} AND eos_id = '{}' AND {};",
                    row_id, *escaped_eos_id, veltrane::detail::LinkedRow()),
        std::move(if_in_doubt))});
    // The server reads the other rows with shared locks, so two players linking at the same moment
    // can deadlock; it then undoes one of the statements whole, and that one is sent again.
    daotk::mysql::results result;
    for (int attempt = 1; attempt <= kDeadlockAttempts; ++attempt) {
      const bool last = attempt == kDeadlockAttempts;
      std::vector<unsigned int> quiet_errors;
      if (!last) quiet_errors.push_back(ER_LOCK_DEADLOCK);
      result = co_await Run(statement, kOperation, std::move(quiet_errors));
      if (last || result.error_number() != ER_LOCK_DEADLOCK) break;
    }
    const StoreAnswer answer = AnswerOf(result);
    EndWrite(answer);
    co_return {result.succeeded() && result.affected_rows() > 0, answer};
  } catch (const std::exception& error) {
    writes_in_flight_.clear();
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", kStoreFile, kOperation, error.what());
    co_return kNotAsked;
  }
}

StoreTask<Answered<bool>> MySql::UpdateAccountLogout(std::string character_name, int tribe_id,
                                                     std::string tribe_name, std::string code,
                                                     std::string eos_id,
                                                     WriteFollowUp if_in_doubt) {
  constexpr const char* kOperation = "MySql::UpdateAccountLogout";
  constexpr Answered<bool> kNotAsked{false, StoreAnswer::CouldNotAsk};
  try {
    if (!co_await Reachable()) co_return kNotAsked;
    const std::optional<std::string> escaped_character = Escape(character_name, kOperation);
    const std::optional<std::string> escaped_tribe = Escape(tribe_name, kOperation);
    const std::optional<std::string> escaped_code = Escape(code, kOperation);
    const std::optional<std::string> escaped_eos_id = Escape(eos_id, kOperation);
    if (!escaped_character || !escaped_tribe || !escaped_code || !escaped_eos_id) {
      co_return kNotAsked;
    }
    // Landed: a row of his holds the new values (compared as the columns compare them).
    BeginWrite({veltrane::WriteInDoubt::Of(
        veltrane::WriteKind::LogoutRefresh, eos_id,
        fmt::format("SELECT COUNT(*) FROM player_discord WHERE eos_id = '{}' AND eos_id NOT IN "
                    "('0', '') AND character_name = '{}' AND tribe_id = {} AND tribe_name = '{}' "
                    "AND code = '{}';",
                    *escaped_eos_id, *escaped_character, tribe_id, *escaped_tribe, *escaped_code),
        std::move(if_in_doubt))});
    const daotk::mysql::results result = co_await Run(
        fmt::format("UPDATE player_discord SET character_name = '{}', tribe_id = {}, "
                    "tribe_name = '{}', code = '{}' WHERE eos_id = '{}' AND eos_id NOT IN "
                    "('0', '');",
                    *escaped_character, tribe_id, *escaped_tribe, *escaped_code, *escaped_eos_id),
        kOperation);
    const StoreAnswer answer = AnswerOf(result);
    EndWrite(answer);
    co_return {result.succeeded(), answer};
  } catch (const std::exception& error) {
    writes_in_flight_.clear();
    PluginLog::Get()->error("({} {}) Unexpected DB error {}", kStoreFile, kOperation, error.what());
    co_return kNotAsked;
  }
}
