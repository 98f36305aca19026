// The link command and the logout refresh on a server in NO_BACKSLASH_ESCAPES mode, where a
// backslash is a plain character. These tests set the sandbox server's global sql_mode.

#include <fmt/format.h>
#include <gmock/gmock.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/PluginTest.h"
#include "support/GlobalSqlMode.h"
#include "support/InjectionCorpus.h"

namespace veltrane::test {
namespace {

using ::testing::IsEmpty;

class ServerModeInGame : public PluginTest {
 protected:
  ServerModeInGame() {
    Settings()["UpdatePlayerDataOnLogout"] = true;
    Settings()["debug"] = true;
  }
};

TEST_F(ServerModeInGame, InjectionCorpusAsCodesAndNamesStaysHarmlessUnderNoBackslashEscapes) {
  GlobalSqlMode mode(database_, "NO_BACKSLASH_ESCAPES");
  InsertLinkedRow("EOS-ALICE", 55, "Alice", 3, "Builders", "Linked");
  database_.Execute("INSERT INTO player_discord (discord_id) VALUES ('discord-waiting')");
  database_.InsertCode("discord-decoy", "DECOY-1");
  std::vector<PlayerDiscordRow> expected = database_.Rows();

  // A chat line ends at a NUL, so the texts with one stay out; names take the whole text.
  std::string script;
  int player = 0;
  for (const std::string& text : InjectionCorpus()) {
    if (text.find('\0') != std::string::npos) continue;
    // EOS ids and codes reach the store as ASCII (other characters become "?"); chat splits at
    // spaces; EOS ids fit in 50 characters.
    const bool ascii = std::all_of(text.begin(), text.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    const std::string name = fmt::format("p{}", ++player);
    std::string code = ascii ? "" : "CODE-" + name;
    for (const char c : ascii ? text : std::string()) {
      if (c != ' ') code += c;
    }
    const std::string eos_id = (ascii ? text.substr(0, 40) : std::string()) + "#" + name;
    const int row_id = database_.InsertCode("discord-" + name, code);
    expected.push_back({row_id, eos_id, "discord-" + name, player, text, -player, text, "Updated"});
    const std::string json_text = nlohmann::json(text).dump();
    script += fmt::format(
        "join {0} eos={1} id={2} name={3} tribe_id={4} tribe={3}\nchat {0} /link {5}\n"
        "logout {0}\n",
        name, nlohmann::json(eos_id).dump(), player, json_text, -player, code);
  }
  const DevhostResult result = Run(script);

  const std::vector<std::string> messages = PlayerMessages(result);
  EXPECT_EQ(messages.size(), static_cast<std::size_t>(player));
  for (const std::string& message : messages) EXPECT_EQ(TextOf(message), "Account linked");
  EXPECT_EQ(database_.Rows(), expected);
  std::vector<std::string> problems;
  for (const std::string& line : VeltraneLog(result)) {
    if (!line.starts_with("[info] ")) problems.push_back(line);
  }
  EXPECT_THAT(problems, IsEmpty());
}

}  // namespace
}  // namespace veltrane::test
