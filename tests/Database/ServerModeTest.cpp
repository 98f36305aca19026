// The account store on servers whose global sql_mode is not the sandbox's default. These tests set
// the sandbox server's global mode, which every session opened meanwhile takes.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "CapturingLogSink.h"
#include "CorpusCheck.h"
#include "Database/MysqlDB.h"
#include "Plugin/PluginLog.h"
#include "StoreOnSandbox.h"
#include "support/GlobalSqlMode.h"
#include "support/SandboxDatabase.h"

namespace {

using veltrane::test::GlobalSqlMode;
using veltrane::test::PlayerDiscordRow;
using veltrane::test::SandboxDatabase;

const std::string kStoreHeader = VELTRANE_SOURCE_DIR "/src/Database/MysqlDB.h";

class ServerMode : public ::testing::Test {
 protected:
  void SetUp() override {
    PluginLog::Init("Veltrane");
    CapturingLogSink::Instance()->Clear();
  }

  std::unique_ptr<MySql> OpenStore() { return OpenStoreOn(database_); }

  static std::vector<CapturedLine> LogLines() { return CapturingLogSink::Instance()->Lines(); }

  SandboxDatabase database_;
};

// There a backslash is a plain character: escaping it with another backslash would end the
// literal at the next quote.
TEST_F(ServerMode, InjectionCorpusStaysHarmlessUnderNoBackslashEscapes) {
  GlobalSqlMode mode(database_, "NO_BACKSLASH_ESCAPES");
  auto store = OpenStore();
  ASSERT_TRUE(LogLines().empty());
  veltrane::test::ExpectCorpusStoredAndMatchedExactly(*store, database_);
  EXPECT_TRUE(LogLines().empty());
}

// Fixed fault: without a strict mode a value too long for its column was cut silently.
TEST_F(ServerMode, ValueThatDoesNotFitFailsOnANonStrictServerAlsoAfterReconnection) {
  GlobalSqlMode mode(database_, "");
  database_.CreateForeignTable("", {{"character_name", "varchar(32) NOT NULL DEFAULT 'None'"}});
  const int first_row = database_.InsertCode("discord-1", "CODE-1");
  const int second_row = database_.InsertCode("discord-2", "CODE-2");
  const std::vector<PlayerDiscordRow> before = database_.Rows();
  auto store = OpenStore();
  ASSERT_TRUE(LogLines().empty());

  EXPECT_FALSE(RunToEnd(
      *store, store->UpdateAccount(first_row, "EOS-1", "CODE-1", 1, std::string(33, 'n'), 0, "")));
  EXPECT_EQ(database_.Rows(), before);

  ASSERT_EQ(database_.KillOtherSessions(), 1);
  // The first statement after the kill may only find the connection gone; the library reconnects
  // for the next one.
  int row_id = 0;
  ASSERT_TRUE(RunToEnd(*store, store->IsCodeExist("CODE-2", row_id)) ||
              RunToEnd(*store, store->IsCodeExist("CODE-2", row_id)));
  EXPECT_FALSE(RunToEnd(
      *store, store->UpdateAccount(second_row, "EOS-2", "CODE-2", 2, std::string(40, 'n'), 0, "")));
  EXPECT_EQ(database_.Rows(), before);
  EXPECT_TRUE(
      RunToEnd(*store, store->UpdateAccount(second_row, "EOS-2", "CODE-2", 2, "Bob", 0, "")));

  const std::string refused = "(" + kStoreHeader +
                              " MySql::UpdateAccount) The server refused the statement: error "
                              "1406: Data too long for column 'character_name' at row 1";
  EXPECT_EQ(CapturingLogSink::Instance()->Texts(spdlog::level::err),
            (std::vector<std::string>{refused, refused}));
}

}  // namespace
