// The store's lookup and deletion of linked rows for the admin commands, against the sandbox
// server: which rows count as links, every column read as stored, hostile ids escaped, and a
// deletion without the right refused with nothing changed.

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "CapturingLogSink.h"
#include "Database/DefaultIdentity.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"
#include "RefusingPort.h"
#include "StoreOnSandbox.h"
#include "support/InjectionCorpus.h"
#include "support/SandboxDatabase.h"
#include "support/StoreAnswers.h"

namespace {

using veltrane::test::PlayerDiscordRow;
using veltrane::test::SandboxDatabase;

class LinkedRowsOnAStore : public ::testing::Test {
 protected:
  virtual bool NonBlockingStore() const { return false; }

  void SetUp() override {
    PluginLog::Init("Veltrane");
    store_ = OpenStoreOn(database_, NonBlockingStore());
    CapturingLogSink::Instance()->Clear();
  }

  // Inserts a row with every column given; answers it as the store reads a link.
  LinkedAccount Insert(const std::string& eos_id, const std::string& discord_id, int player_id,
                       const std::string& character, const std::string& tribe,
                       const std::string& code) {
    const int id =
        database_.InsertRow({0, eos_id, discord_id, player_id, character, -9, tribe, code});
    return {id, eos_id, discord_id, player_id, character, -9, tribe, code};
  }

  // Every row, by its id only: the deletion must pick the links among them itself.
  std::vector<LinkedAccount> AllRowIds() {
    std::vector<LinkedAccount> ids;
    for (const PlayerDiscordRow& row : database_.Rows()) ids.emplace_back().row_id = row.id;
    return ids;
  }

  SandboxDatabase database_;
  std::unique_ptr<MySql> store_;
};

// Every case with a blocking and with a non-blocking store (the parameter).
class LinkedRows : public LinkedRowsOnAStore, public ::testing::WithParamInterface<bool> {
 protected:
  bool NonBlockingStore() const override { return GetParam(); }
};

TEST_P(LinkedRows, OnlyRowsWithAPlayerAndHisEOSIdAreLinksWhateverTheirCode) {
  const LinkedAccount linked =
      Insert("EOS-A", "4001", 41, "Zo\xc3\xab \"\\' \xf0\x9f\x90\x89", "Tr'ibe", "Linked");
  Insert("0", "4001", 0, "None", "None", "WAITING-CODE");
  Insert("EOS-A", "4001", 0, "Ada", "T", "Linked");
  Insert("0", "4001", 5, "Ada", "T", "Linked");
  Insert("", "4001", 5, "Ada", "T", "Updated");
  // Codes that the column's collation takes for a state word are read as they are, trailing
  // spaces dropped; a code re-issued onto a linked row is not read at all.
  LinkedAccount folded = Insert("EOS-A", "4001", 5, "Ada", "T", "linked");
  LinkedAccount padded = Insert("EOS-A", "4001", 5, "Ada", "T", "Linked ");
  padded.state = "Linked";
  const LinkedAccount accented = Insert("EOS-A", "4001", 5, "Ada", "T", "L\xc3\xafnked");
  LinkedAccount reissued = Insert("EOS-A", "4001", 5, "Ada", "T", "SECRET-CODE");
  reissued.state = "";
  const LinkedAccount updated = Insert("eos-a", "4002", -6, "Ada", "", "Updated");
  Insert("EOS-B", "4001", 7, "Bob", "T", "Linked");
  const std::vector<PlayerDiscordRow> rows_before = database_.Rows();

  const std::vector<LinkedAccount> links_of_a = {linked,   folded,   padded,
                                                 accented, reissued, updated};
  EXPECT_EQ(store_->FindLinks(AccountIdKind::EOSId, "EOS-A"), links_of_a);
  EXPECT_EQ(store_->FindLinks(AccountIdKind::DiscordId, "4002"),
            std::vector<LinkedAccount>{updated});
  EXPECT_EQ(store_->FindLinks(AccountIdKind::DiscordId, "4003"), std::vector<LinkedAccount>{});
  for (const char* default_id : {"0", ""})
    EXPECT_EQ(store_->FindLinks(AccountIdKind::EOSId, default_id), std::vector<LinkedAccount>{});
  EXPECT_EQ(database_.Rows(), rows_before);

  // Every row offered, those of the EOS id that are links deleted.
  const DeletedLinks deleted = store_->DeleteLinks(AccountIdKind::EOSId, "EOS-A", AllRowIds());
  EXPECT_EQ(deleted.answer, StoreAnswer::Known);
  EXPECT_EQ(deleted.rows, links_of_a.size());
  EXPECT_EQ(deleted.refused_error, 0u);
  std::vector<PlayerDiscordRow> expected;
  for (const PlayerDiscordRow& row : rows_before) {
    if (std::none_of(links_of_a.begin(), links_of_a.end(),
                     [&](const LinkedAccount& link) { return link.row_id == row.id; }))
      expected.push_back(row);
  }
  EXPECT_EQ(database_.Rows(), expected);
  EXPECT_TRUE(CapturingLogSink::Instance()->Lines().empty());
}

// One row of the player's and what every question of links must say of it.
struct RowCase {
  const char* eos_id;
  int player_id;
  const char* code;
  bool linked;
  const char* shown;  // the state the lookup reads when linked
};

void PrintTo(const RowCase& row, std::ostream* out) {
  *out << ::testing::PrintToString(row.eos_id) << " " << row.player_id << " "
       << ::testing::PrintToString(row.code);
}

class OneDefinitionOfALink : public LinkedRowsOnAStore,
                             public ::testing::WithParamInterface<RowCase> {};

// Fixed fault: the link command took a row with the player's EOS id and player id for a link,
// whatever its code, while the admin commands wanted the exact word "Linked" or "Updated": a player
// whose bot had retyped the word was refused as linked, and no admin could see or free him.
TEST_P(OneDefinitionOfALink, EveryQuestionAndTheLinkUpdateAgree) {
  const RowCase& row = GetParam();
  const LinkedAccount his = Insert(row.eos_id, "4001", row.player_id, "Ada", "T", row.code);
  const int waiting = database_.InsertCode("4002", "SECOND-CODE");
  const std::vector<PlayerDiscordRow> rows_before = database_.Rows();

  EXPECT_EQ(RunToEnd(*store_, store_->IsPlayerExist(row.eos_id)) &&
                RunToEnd(*store_, store_->IsPlayerIDExist(row.eos_id)),
            row.linked);
  LinkedAccount shown = his;
  shown.state = row.shown;
  const std::vector<LinkedAccount> links =
      row.linked ? std::vector<LinkedAccount>{shown} : std::vector<LinkedAccount>{};
  EXPECT_EQ(store_->FindLinks(AccountIdKind::EOSId, row.eos_id), links);
  EXPECT_EQ(store_->FindLinks(AccountIdKind::DiscordId, "4001"), links);
  // A second code links only a player whom no row links yet (the default identity is no player).
  if (!veltrane::IsDefaultIdentity(row.eos_id)) {
    EXPECT_EQ(RunToEnd(*store_, store_->UpdateAccount(waiting, row.eos_id, "SECOND-CODE", 41, "Ada",
                                                      3, "T")),
              row.linked ? kNo : kYes);
  }
  if (!row.linked) return;
  EXPECT_EQ(database_.Rows(), rows_before);

  // Freed by the admin, he links the second code.
  EXPECT_EQ(store_->DeleteLinks(AccountIdKind::EOSId, row.eos_id, AllRowIds()).rows, 1u);
  EXPECT_EQ(database_.Rows(), std::vector<PlayerDiscordRow>{rows_before[1]});
  EXPECT_TRUE(RunToEnd(
      *store_, store_->UpdateAccount(waiting, row.eos_id, "SECOND-CODE", 41, "Ada", 3, "T")));
  EXPECT_TRUE(RunToEnd(*store_, store_->IsPlayerIDExist(row.eos_id)));
  EXPECT_TRUE(CapturingLogSink::Instance()->Lines().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OneDefinitionOfALink,
    ::testing::Values(RowCase{"EOS-A", 41, "Linked", true, "Linked"},
                      RowCase{"EOS-A", -6, "Updated", true, "Updated"},
                      RowCase{"EOS-A", 41, "LINKED", true, "LINKED"},
                      RowCase{"EOS-A", 41, "Linked   ", true, "Linked"},
                      RowCase{"EOS-A", 41, "Updat\xc3\xa9\x64", true, "Updat\xc3\xa9\x64"},
                      RowCase{"EOS-A", 41, "Linked\t", true, ""},
                      RowCase{"EOS-A", 41, "NEWCODE", true, ""},
                      RowCase{"EOS-A", 41, "0", true, ""}, RowCase{"EOS-A", 0, "Linked", false, ""},
                      RowCase{"0", 41, "Linked", false, ""}, RowCase{"", 41, "Linked", false, ""}));

TEST_P(LinkedRows, DeletionTakesOnlyTheRowsItIsGivenAndNoneForNoRows) {
  const LinkedAccount first = Insert("EOS-A", "4001", 41, "Ada", "T", "Linked");
  const LinkedAccount second = Insert("EOS-A", "4001", 41, "Ada", "T", "Updated");
  const LinkedAccount other = Insert("EOS-B", "4002", 42, "Bob", "T", "Linked");
  const std::vector<PlayerDiscordRow> rows_before = database_.Rows();

  const DeletedLinks none = store_->DeleteLinks(AccountIdKind::EOSId, "EOS-A", {});
  EXPECT_EQ(none.answer, StoreAnswer::Known);
  EXPECT_EQ(none.rows, 0u);
  // A row of another player among the ids is still not one of this id's.
  const DeletedLinks deleted =
      store_->DeleteLinks(AccountIdKind::DiscordId, "4001", {first, other});
  EXPECT_EQ(deleted.answer, StoreAnswer::Known);
  EXPECT_EQ(deleted.rows, 1u);
  EXPECT_EQ(database_.Rows(), (std::vector<PlayerDiscordRow>{rows_before[1], rows_before[2]}));
  EXPECT_EQ(store_->FindLinks(AccountIdKind::DiscordId, "4001"),
            std::vector<LinkedAccount>{second});
}

TEST_P(LinkedRows, HostileIdsAreLookedUpAndDeletedExactly) {
  int turn = 0;
  for (const std::string& text : veltrane::test::InjectionCorpus()) {
    SCOPED_TRACE(::testing::PrintToString(text));
    database_.Execute("DELETE FROM player_discord");
    // An EOS id that the column takes for its default owns no row: such a text names the row by
    // its Discord id only.
    const bool default_identity = veltrane::IsDefaultIdentity(text);
    const LinkedAccount target =
        Insert(default_identity ? "EOS-T" : text, text, 7, text, text, "Linked");
    Insert("EOS-OTHER", "discord-other", 8, "Rex", "Tribe", "Updated");
    Insert("0", text, 0, "None", "None", "CODE-T");
    const std::vector<PlayerDiscordRow> rows_before = database_.Rows();

    EXPECT_EQ(store_->FindLinks(AccountIdKind::DiscordId, text),
              std::vector<LinkedAccount>{target});
    EXPECT_EQ(store_->FindLinks(AccountIdKind::EOSId, text),
              default_identity ? std::vector<LinkedAccount>{} : std::vector<LinkedAccount>{target});
    ASSERT_EQ(database_.Rows(), rows_before);

    // Deleted by one id or the other, in turn.
    const AccountIdKind kind =
        default_identity || ++turn % 2 == 0 ? AccountIdKind::DiscordId : AccountIdKind::EOSId;
    const DeletedLinks deleted = store_->DeleteLinks(kind, text, AllRowIds());
    EXPECT_EQ(deleted.answer, StoreAnswer::Known);
    EXPECT_EQ(deleted.rows, 1u);
    EXPECT_EQ(database_.Rows(), (std::vector<PlayerDiscordRow>{rows_before[1], rows_before[2]}));
  }
  EXPECT_TRUE(CapturingLogSink::Instance()->Lines().empty());
}

TEST_P(LinkedRows, WithoutTheDeleteRightTheServerRefusesAndNothingChanges) {
  Insert("EOS-A", "4001", 41, "Ada", "T", "Linked");
  const std::vector<PlayerDiscordRow> rows_before = database_.Rows();
  const std::string user = database_.Name() + "_nodel";
  database_.Execute(fmt::format("CREATE USER '{}'@'127.0.0.1' IDENTIFIED BY 'nodel-Pw1'", user));
  database_.Execute(fmt::format("GRANT SELECT, UPDATE, CREATE, INDEX ON {}.* TO '{}'@'127.0.0.1'",
                                database_.Name(), user));
  {
    const std::unique_ptr<MySql> opened = OpenStoreOn(database_, GetParam(), user, "nodel-Pw1");
    MySql& store = *opened;
    const std::optional<std::vector<LinkedAccount>> links =
        store.FindLinks(AccountIdKind::EOSId, "EOS-A");
    ASSERT_TRUE(links);
    ASSERT_EQ(links->size(), 1u);
    CapturingLogSink::Instance()->Clear();
    const DeletedLinks deleted = store.DeleteLinks(AccountIdKind::EOSId, "EOS-A", {links->at(0)});
    EXPECT_EQ(deleted.answer, StoreAnswer::CouldNotAsk);
    EXPECT_EQ(deleted.refused_error, 1142u);
    EXPECT_EQ(deleted.rows, 0u);
  }
  database_.Execute(fmt::format("DROP USER '{}'@'127.0.0.1'", user));
  EXPECT_EQ(database_.Rows(), rows_before);
  const std::vector<CapturedLine> lines = CapturingLogSink::Instance()->Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].level, spdlog::level::err);
  // The file's path as the compiler named it, which a compile cache may have made relative.
  EXPECT_EQ(lines[0].text.front(), '(');
  EXPECT_NE(lines[0].text.find(fmt::format("src/Database/MysqlDB.h MySql::DeleteLinks) The server "
                                           "refused the statement: error 1142: DELETE command "
                                           "denied to user '{}'@'127.0.0.1' for table "
                                           "`{}`.`player_discord`",
                                           user, database_.Name())),
            std::string::npos)
      << lines[0].text;
}

TEST_P(LinkedRows, AStoreThatCannotReachItsServerSaysItCouldNotAsk) {
  const RefusingPort nobody;
  MySql store("127.0.0.1", "nobody", "", "nothing", nobody.port(), 10, veltrane::CoolDownPolicy{},
              &MySql::Clock::now, GetParam());
  RunToEnd(store, store.Connect());
  EXPECT_EQ(store.FindLinks(AccountIdKind::EOSId, "EOS-A"), std::nullopt);
  const DeletedLinks deleted = store.DeleteLinks(AccountIdKind::EOSId, "EOS-A",
                                                 {{1, "EOS-A", "4001", 41, "Ada", 3, "T", ""}});
  EXPECT_EQ(deleted.answer, StoreAnswer::CouldNotAsk);
  EXPECT_EQ(deleted.refused_error, 0u);
}

INSTANTIATE_TEST_SUITE_P(StoreModes, LinkedRows, ::testing::Bool(), veltrane::test::StoreModeName);

}  // namespace
