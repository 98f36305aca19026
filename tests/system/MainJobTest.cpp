// The README's main job, scripts/run, as a new user calls it: from a directory outside the clone,
// with the demo or with a script path relative to that directory. It builds nothing new here (the
// targets it runs are built before this test) and uses the sandbox database of scripts/sandbox-db.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltrane::test {
namespace {

struct RunResult {
  int exit_code = -1;
  std::vector<std::string> lines;  // stdout and stderr together, as a user sees them

  // The index of the first line at or after `from` that contains text; lines.size() when none.
  std::size_t Find(const std::string& text, std::size_t from = 0) const {
    for (std::size_t i = from; i < lines.size(); ++i) {
      if (lines[i].find(text) != std::string::npos) return i;
    }
    return lines.size();
  }
  std::string Text() const {
    std::string text;
    for (const auto& line : lines) text += line + "\n";
    return text;
  }
};

// A fresh directory outside the clone, removed again at the end.
class CallerDirectory {
 public:
  CallerDirectory() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "veltrane-caller-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~CallerDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  CallerDirectory(const CallerDirectory&) = delete;
  CallerDirectory& operator=(const CallerDirectory&) = delete;
  const std::filesystem::path& Path() const { return path_; }

 private:
  std::filesystem::path path_;
};

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs scripts/run with its input from /dev/null; killed after 10 minutes against a hang.
RunResult RunMainJob(const std::filesystem::path& directory, const std::string& arguments) {
  const std::string command = "cd " + Quoted(directory.string()) + " && timeout -k 10 600 " +
                              Quoted(VELTRANE_SOURCE_DIR "/scripts/run") + arguments +
                              " </dev/null 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  RunResult result;
  std::string line;
  for (int c; (c = std::fgetc(pipe)) != EOF;) {
    if (c != '\n') {
      line += static_cast<char>(c);
      continue;
    }
    result.lines.push_back(line);
    line.clear();
  }
  if (!line.empty()) result.lines.push_back(line);
  const int status = ::pclose(pipe);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

TEST(MainJob, TheDemoShowsEachStepsLinesUnderItAndTheRowBeforeAndAfterTheLogout) {
  CallerDirectory caller;
  const RunResult run = RunMainJob(caller.Path(), "");
  ASSERT_EQ(run.exit_code, 0) << run.Text();
  EXPECT_EQ(run.Find("error "), run.lines.size()) << run.Text();

  // Each mark must come after the one before it.
  const std::vector<std::string> marks = {
      "echo \"admin, a player too, has not linked an account",
      "notify admin rgba=0.16202937,0.70837575,0.29177064,1 scale=1.3 secs=10 text=\"Your "
      "account is not linked to Discord yet",
      "echo \"alice types the code from the bot\"",
      "group-add eos=",
      "http-post url=",
      "http-status url=",
      "== player_discord now",
      "| Linked ",
      "echo \"alice tries the same code again\"",
      "echo \"an admin asks who the Discord account ",
      "server-message admin rgba=0,1,0,1 text=\"1 link for Discord id ",
      "server-message admin rgba=0,1,0,1 text=\"EOS id ",
      "echo \"an admin reloads the configuration from the console\"",
      "echo \"alice logs out\"",
      "game-logout alice",
      "== player_discord now",
      "| Updated ",
      "echo \"an admin takes alice out of the group Verified by hand\"",
      "echo \"alice joins again: she is linked, so the group is given back\"",
      "group-add eos=\"508b2abb65a039077cb2c06daf41182c\" group=\"Verified\"",
      "echo \"over RCON, the same question: the link now reads Updated\"",
      "rcon-reply id=1 text=\"1 link for Discord id ",
      "echo \"over RCON, an admin asks how the plugin is doing\"",
      "rcon-reply id=2 text=\"Database: connected to 127.0.0.1:",
      "unload ok",
      "== the webhook receiver got",
      "webhook-receiver POST /api/webhooks/demo",
  };
  std::size_t at = 0;
  for (const auto& mark : marks) {
    const std::size_t found = run.Find(mark, at);
    ASSERT_LT(found, run.lines.size()) << "no \"" << mark << "\" after line " << at << ":\n"
                                       << run.Text();
    at = found + 1;
  }
  // Both tables show the player's row: the data the link wrote, kept by the refresh.
  for (const char* code : {"| Linked ", "| Updated "}) {
    const std::string& row = run.lines[run.Find(code)];
    EXPECT_NE(row.find("| Alice the Brave |"), std::string::npos) << row;
    EXPECT_NE(row.find("| The Explorers |"), std::string::npos) << row;
  }
  // The admin sees the player's character, and the state each time.
  const std::string console_link =
      run.lines[run.Find("server-message admin rgba=0,1,0,1 text=\"EOS id ")];
  EXPECT_NE(console_link.find("character \\\"Alice the Brave\\\""), std::string::npos)
      << console_link;
  EXPECT_NE(console_link.find(", Linked\""), std::string::npos) << console_link;
  const std::string rcon_link = run.lines[run.Find("rcon-reply id=1 ")];
  EXPECT_NE(rcon_link.find(", Updated\""), std::string::npos) << rcon_link;
  // The status counts the demo's link, its refused code and its logout refresh.
  const std::string status = run.lines[run.Find("rcon-reply id=2 ")];
  EXPECT_NE(status.find("\\nSince load: 1 link made, 1 code refused, 1 logout refresh\\n"),
            std::string::npos)
      << status;
  // The reminders to admin and bob, and the group given back to alice.
  EXPECT_NE(status.find("\\nAt login since load: 1 group given back, 0 groups removed, 2 reminders "
                        "given\\n"),
            std::string::npos)
      << status;
  // bob, who never linked, is sent away at the end of his grace; admin, exempt, is not.
  EXPECT_LT(run.Find("kick bob text="), run.lines.size()) << run.Text();
  EXPECT_EQ(run.Find("kick admin "), run.lines.size()) << run.Text();
  // Nobody else is reminded: alice has linked by her reminder's time.
  EXPECT_EQ(run.Find("notify alice rgba=0.16202937,0.70837575,0.29177064,1 scale=1.3 secs=10 "
                     "text=\"Your account is not linked"),
            run.lines.size())
      << run.Text();
  // The webhook's answer stands under the link, before the next step starts.
  EXPECT_EQ(run.Find("http-status url=", run.Find("echo \"alice tries the same code again\"")),
            run.lines.size())
      << run.Text();
  EXPECT_NE(run.Find("status=204"), run.lines.size()) << run.Text();
}

TEST(MainJob, TakesTheScriptPathFromTheCallersDirectory) {
  CallerDirectory caller;
  std::filesystem::create_directory(caller.Path() / "mine");
  std::ofstream(caller.Path() / "mine" / "my.devhost") << "join bob\n"
                                                          "echo \"bob's own script\"\n"
                                                          "chat bob /link @CODE@\n"
                                                          "wait-for 10000 notify bob\n";

  const RunResult missing = RunMainJob(caller.Path(), " mine/nothing.devhost");
  EXPECT_EQ(missing.exit_code, 1) << missing.Text();
  // Nothing was built or started before the error, which names the path it looked at.
  const std::string looked_at = (caller.Path() / "mine" / "nothing.devhost").string();
  EXPECT_EQ(missing.lines, std::vector<std::string>{"run: no such script: mine/nothing.devhost "
                                                    "(looked for " +
                                                    looked_at + ")"});

  const RunResult run = RunMainJob(caller.Path(), " mine/my.devhost");
  ASSERT_EQ(run.exit_code, 0) << run.Text();
  const std::size_t echoed = run.Find("echo \"bob's own script\"");
  ASSERT_LT(echoed, run.lines.size()) << run.Text();
  const std::size_t linked = run.Find("notify bob ", echoed);
  ASSERT_LT(linked, run.lines.size()) << run.Text();
  EXPECT_NE(run.lines[linked].find("Your account is now linked to Discord."), std::string::npos);
  // Without a "# @table" line the rows come once, at the end.
  const std::size_t table = run.Find("== player_discord afterwards", linked);
  ASSERT_LT(table, run.lines.size()) << run.Text();
  EXPECT_LT(run.Find("| Linked ", table), run.lines.size()) << run.Text();
  EXPECT_EQ(run.Find("== player_discord now"), run.lines.size()) << run.Text();
}

}  // namespace
}  // namespace veltrane::test
