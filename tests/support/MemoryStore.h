#pragma once
// An account store in memory for the link flow's tests: player_discord's rows as a vector, the
// store's rules on them (a state word is no code, a row links the EOS id it holds while it holds a
// player id, a link update changes nothing once another row links the player), and switches that
// make the next operations fail as a database would. With answers_over_ticks each operation waits
// for the next Advance (a tick) before it answers, as a non-blocking store's statement does.

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Database/IDatabase.h"
#include "Database/StateWords.h"
#include "Database/StepDriver.h"

struct MemoryRow {
  int id = 0;
  std::string eos_id = "0";
  std::string discord_id = "0";
  int player_id = 0;
  std::string character_name = "None";
  int tribe_id = 0;
  std::string tribe_name = "None";
  std::string code = "0";

  bool operator==(const MemoryRow&) const = default;
};

class MemoryStore : public IDatabase {
 public:
  std::vector<MemoryRow> rows;
  int statements = 0;  // every operation that would have gone to the server
  // While set, every operation answers "could not ask" and changes nothing.
  bool away = false;
  // From this statement on (counted from 1), the store is away; 0: never.
  int away_from_statement = 0;
  // The next link update is written (or not) but its answer is lost.
  std::optional<bool> lose_next_update;  // the value: whether the update landed
  // Each operation answers at the next Advance instead of at once.
  bool answers_over_ticks = false;
  // Abandon() was called: the task that waited was let go.
  bool abandoned = false;
  // Runs as a link update reaches the store, before it is judged: another server's doing.
  std::function<void()> before_update;

  int AddWaitingRow(std::string code, std::string discord_id = "428633244720741283") {
    MemoryRow row;
    row.id = static_cast<int>(rows.size()) + 1;
    row.code = std::move(code);
    row.discord_id = std::move(discord_id);
    rows.push_back(row);
    return row.id;
  }

  StoreTask<Answered<bool>> IsPlayerExist(std::string eos_id) override {
    co_await Statement();
    co_return Ask([&] { return Any([&](const MemoryRow& r) { return r.eos_id == eos_id; }); });
  }
  StoreTask<Answered<bool>> IsPlayerIDExist(std::string eos_id) override {
    co_await Statement();
    co_return Ask([&] { return Any([&](const MemoryRow& r) { return Links(r, eos_id); }); });
  }
  StoreTask<Answered<bool>> IsCodeExist(std::string code, int& row_id) override {
    co_await Statement();
    co_return Ask([&] {
      if (veltrane::IsStateWord(code)) return false;
      for (const MemoryRow& row : rows) {
        if (row.code == code) {
          row_id = row.id;
          return true;
        }
      }
      return false;
    });
  }
  StoreTask<Answered<bool>> UpdateAccount(int row_id, std::string eos_id, std::string code,
                                          int player_id, std::string character_name, int tribe_id,
                                          std::string tribe_name,
                                          WriteFollowUp if_in_doubt = {}) override {
    co_await Statement();
    if (!Begin()) co_return kNotAsked;
    if (before_update) std::exchange(before_update, nullptr)();
    MemoryRow* row = Row(row_id);
    const bool updates = row != nullptr && row->code == code && !Any([&](const MemoryRow& r) {
                           return r.id != row_id && Links(r, eos_id);
                         });
    if (updates) {
      const std::optional<bool> lost = std::exchange(lose_next_update, std::nullopt);
      if (!lost || *lost) {
        *row = {row->id,        eos_id,   row->discord_id, player_id,
                character_name, tribe_id, tribe_name,      "Linked"};
      }
      if (lost) {
        in_doubt_.push_back({row_id, eos_id, std::move(if_in_doubt)});
        co_return {false, StoreAnswer::InDoubt};
      }
    }
    co_return {updates, StoreAnswer::Known};
  }
  StoreTask<Answered<bool>> UpdateAccountLogout(std::string character_name, int tribe_id,
                                                std::string tribe_name, std::string code,
                                                std::string eos_id, WriteFollowUp = {}) override {
    co_await Statement();
    if (!Begin()) co_return kNotAsked;
    for (MemoryRow& row : rows) {
      if (row.eos_id != eos_id) continue;
      row.character_name = character_name;
      row.tribe_id = tribe_id;
      row.tribe_name = tribe_name;
      row.code = code;
    }
    co_return {true, StoreAnswer::Known};
  }
  std::size_t WritesInDoubt() const override { return in_doubt_.size(); }
  // The row tells, as the database's would once the update's session is gone.
  StoreTask<LinkInDoubt> DecideLinkInDoubt(std::string eos_id) override {
    const auto found = std::find_if(in_doubt_.begin(), in_doubt_.end(),
                                    [&](const LostUpdate& lost) { return lost.eos_id == eos_id; });
    if (found == in_doubt_.end()) co_return LinkInDoubt::None;
    co_await Statement();
    if (!Begin()) co_return LinkInDoubt::Undecided;
    const LostUpdate lost = *found;
    in_doubt_.erase(found);
    const MemoryRow* row = Row(lost.row_id);
    const bool landed = row != nullptr && Links(*row, eos_id);
    if (lost.follow_up) lost.follow_up(eos_id, landed);
    co_return landed ? LinkInDoubt::Landed : LinkInDoubt::DidNotLand;
  }
  bool NonBlocking() const override { return answers_over_ticks; }
  bool Advance() override { return driver_.Advance(veltrane::StepDriver::Clock::now()); }
  void RunInPlace(StoreTask<void>& task) override { driver_.TryRunToEnd(task); }
  bool FinishInPlace(veltrane::StepDriver::Clock::time_point deadline) override {
    return driver_.FinishInPlace(deadline);
  }
  void Abandon() override {
    driver_.Forget();
    abandoned = true;
  }

 private:
  // Waits for the next Advance when answers_over_ticks: due from now on, so the Advance that runs
  // this resumption, which took its time before, does not resume it again.
  StoreTask<void> Statement() {
    if (answers_over_ticks) co_await driver_.PauseUntil(veltrane::StepDriver::Clock::now());
  }

  static constexpr Answered<bool> kNotAsked{false, StoreAnswer::CouldNotAsk};

  bool Begin() {
    ++statements;
    if (away_from_statement != 0 && statements >= away_from_statement) away = true;
    return !away;
  }
  // The store's one definition of a link: the row holds the EOS id and a player id, whatever its
  // code.
  static bool Links(const MemoryRow& row, const std::string& eos_id) {
    return row.eos_id == eos_id && row.eos_id != "0" && !row.eos_id.empty() && row.player_id != 0;
  }
  template <typename Question>
  Answered<bool> Ask(Question question) {
    if (!Begin()) return kNotAsked;
    return {question(), StoreAnswer::Known};
  }
  template <typename Test>
  bool Any(Test test) const {
    return std::any_of(rows.begin(), rows.end(), test);
  }
  MemoryRow* Row(int row_id) {
    const auto found =
        std::find_if(rows.begin(), rows.end(), [&](const MemoryRow& r) { return r.id == row_id; });
    return found == rows.end() ? nullptr : &*found;
  }

  struct LostUpdate {
    int row_id = 0;
    std::string eos_id;
    WriteFollowUp follow_up;
  };
  std::vector<LostUpdate> in_doubt_;
  veltrane::StepDriver driver_;
};
