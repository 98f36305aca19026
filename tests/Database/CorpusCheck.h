#pragma once
// The injection corpus through the store's five operations, beside a waiting row, a linked row
// and a row without code: each text must be stored and matched exactly, and no other row change.
// The link update is sent for the waiting row with the text as its code, too: it must match
// nothing there.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Database/MysqlDB.h"
#include "support/InjectionCorpus.h"
#include "support/SandboxDatabase.h"

namespace veltrane::test {

inline void ExpectCorpusStoredAndMatchedExactly(MySql& store, SandboxDatabase& database) {
  for (const std::string& text : InjectionCorpus()) {
    SCOPED_TRACE(::testing::PrintToString(text));
    database.Execute("DELETE FROM player_discord");
    const int decoy = database.InsertCode("discord-decoy", "DECOY-1");
    database.InsertRow({0, "EOS-OTHER", "discord-other", 8, "Rex", 5, "Tribe", "Linked"});
    database.Execute("INSERT INTO player_discord (discord_id) VALUES ('discord-without-code')");
    const std::vector<PlayerDiscordRow> others = database.Rows();
    int row_id = 0;
    EXPECT_FALSE(RunToEnd(store, store.IsCodeExist(text, row_id)));
    EXPECT_FALSE(RunToEnd(store, store.IsPlayerExist(text)));
    EXPECT_FALSE(RunToEnd(store, store.UpdateAccount(decoy, text, text, 1, text, 1, text)));
    EXPECT_TRUE(RunToEnd(store, store.UpdateAccountLogout(text, 1, text, "Updated", text)));
    ASSERT_EQ(database.Rows(), others);

    const int target = database.InsertCode("discord-target", text);
    std::vector<PlayerDiscordRow> expected = database.Rows();
    EXPECT_TRUE(RunToEnd(store, store.IsCodeExist(text, row_id)));
    EXPECT_EQ(row_id, target);
    EXPECT_TRUE(RunToEnd(store, store.UpdateAccount(row_id, text, text, 7, text, 3, text)));
    PlayerDiscordRow& row = expected.back();
    row.eos_id = text;
    row.player_id = 7;
    row.character_name = text;
    row.tribe_id = 3;
    row.tribe_name = text;
    row.code = "Linked";
    ASSERT_EQ(database.Rows(), expected);
    EXPECT_TRUE(RunToEnd(store, store.IsPlayerExist(text)));
    EXPECT_TRUE(RunToEnd(store, store.IsPlayerIDExist(text)));

    EXPECT_TRUE(
        RunToEnd(store, store.UpdateAccountLogout(text + "!", -3, "!" + text, "Updated", text)));
    row.character_name = text + "!";
    row.tribe_id = -3;
    row.tribe_name = "!" + text;
    row.code = "Updated";
    ASSERT_EQ(database.Rows(), expected);
    EXPECT_EQ(row.id, target);
  }
}

}  // namespace veltrane::test
