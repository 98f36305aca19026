// The devhost's tick, wait-for and the player lookup by EOS id, through the real process and the
// probe plugin.

#include <gtest/gtest.h>

#include <algorithm>

#include "Probe.h"
#include "support/WebhookReceiver.h"

namespace veltrane::test {
namespace {

// What one "probe ticks ID" line says.
struct TickCount {
  int count = 0;
  double min_delta = 0;
  int nested = 0;
  int other_thread = 0;
};

std::vector<TickCount> TickCounts(const DevhostResult& result, const std::string& id) {
  std::vector<TickCount> counts;
  for (const std::string& line : result.WithPrefix("probe ticks id=" + id + " ")) {
    TickCount count;
    count.count = Field(line, "count")->get<int>();
    const nlohmann::json min_delta = *Field(line, "min_delta");
    count.min_delta = min_delta.is_number() ? min_delta.get<double>() : 0;
    count.nested = Field(line, "nested")->get<int>();
    count.other_thread = Field(line, "other_thread")->get<int>();
    counts.push_back(count);
  }
  return counts;
}

// The index of the first line that begins with prefix; lines.size() when none does.
std::size_t IndexOf(const DevhostResult& result, std::string_view prefix) {
  return std::size_t(
      std::find_if(result.lines.begin(), result.lines.end(),
                   [&](const std::string& line) { return line.starts_with(prefix); }) -
      result.lines.begin());
}

class DevhostTick : public ::testing::Test {
 protected:
  std::unique_ptr<DevhostRunner> devhost_ = ProbeRunner();
};

TEST_F(DevhostTick, RegistrationAndRemovalPrintTheirLinesAndAnswerLikeCommands) {
  struct Row {
    std::string action;      // after "chat bob /probe "
    std::string host_line;   // what the host prints
    std::string probe_line;  // what the host answered
  };
  const std::vector<Row> rows = {
      {"tick t1", "register tick id=\"t1\"", "probe tick-add id=t1 ok=true"},
      {"tick t1", "register tick id=\"t1\" ok=false", "probe tick-add id=t1 ok=false"},
      {"tick T1", "register tick id=\"T1\" ok=false", "probe tick-add id=T1 ok=false"},
      {"untick T1", "unregister tick id=\"T1\" found=false", "probe tick-remove id=T1 ok=false"},
      {"untick t1", "unregister tick id=\"t1\" found=true", "probe tick-remove id=t1 ok=true"},
      {"untick t1", "unregister tick id=\"t1\" found=false", "probe tick-remove id=t1 ok=false"},
      {"tick T1", "register tick id=\"T1\"", "probe tick-add id=T1 ok=true"},
  };
  std::string script = "join bob\n";
  for (const Row& row : rows) script += "chat bob /probe " + row.action + "\n";
  const DevhostResult result = devhost_->Run(script);
  std::vector<std::string> tick_lines;
  for (const std::string& line : result.lines) {
    if (line.find(" tick id=") != std::string::npos || line.starts_with("probe tick-"))
      tick_lines.push_back(line);
  }
  std::vector<std::string> expected;
  for (const Row& row : rows) {
    expected.push_back(row.host_line);
    expected.push_back(row.probe_line);
  }
  expected.push_back("unregister tick id=\"T1\" found=true");  // the probe's unload
  EXPECT_EQ(tick_lines, expected);
  EXPECT_TRUE(Errors(result).empty());
}

// Whichever way the game thread spends its time, the tick goes on, with the seconds since the
// previous tick, on the game thread and outside the plugin's other callbacks.
TEST_F(DevhostTick, TicksComeBetweenLinesAndDuringEveryWait) {
  const WebhookReceiver slow_receiver(204, std::chrono::milliseconds(100));
  const std::vector<std::pair<std::string, std::string>> rows = {
      {"a command that holds the game thread", "chat bob /probe busy 40"},
      {"sleep", "sleep 100"},
      {"a wait-for that times out", "wait-for 100 a text nobody prints"},
      {"http-wait for a post answered after 100 ms",
       "chat bob /probe post " + slow_receiver.Url() + " {}\nhttp-wait 5000"},
  };
  for (const auto& [what, lines] : rows) {
    SCOPED_TRACE(what);
    const DevhostResult result =
        devhost_->Run("join bob\nchat bob /probe tick t\nchat bob /probe ticks t\n" + lines +
                      "\nchat bob /probe ticks t\n");
    const std::vector<TickCount> counts = TickCounts(result, "t");
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_GT(counts[1].count, counts[0].count);
    EXPECT_GE(counts[1].min_delta, 0.0159);  // at least the interval since the previous tick
    EXPECT_EQ(counts[1].nested, 0);
    EXPECT_EQ(counts[1].other_thread, 0);
  }
}

TEST_F(DevhostTick, RemovedCallbackIsNoLongerCalled) {
  const DevhostResult result = devhost_->Run(
      "join bob\nchat bob /probe tick t\nchat bob /probe busy 40\nchat bob /probe untick t\n"
      "chat bob /probe ticks t\nsleep 100\nchat bob /probe ticks t\n");
  const std::vector<TickCount> counts = TickCounts(result, "t");
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_GT(counts[0].count, 0);
  EXPECT_EQ(counts[1].count, counts[0].count);
}

// The real host would go on calling into the freed module: the devhost says so and calls it no
// more; the id stays taken and the module open until the callback is removed.
TEST_F(DevhostTick, UnloadThatLeavesATickRegisteredIsReportedAndTheTickStops) {
  devhost_ = ProbeRunner({{"LeaveRegistered", true}});
  const DevhostResult result = devhost_->Run(
      "join bob\nchat bob /probe tick t\nchat bob /probe busy 40\nunload\nsleep 100\nload\n"
      "chat bob /probe ticks t\nsleep 100\nchat bob /probe ticks t\nchat bob /probe tick t\n"
      "chat bob /probe untick t\nchat bob /probe tick t\n");
  // At the script's unload, and again at the end of the input's.
  const std::string left =
      "the plugin left tick callback t registered at unload; it is no longer called";
  EXPECT_EQ(Errors(result), (std::vector<std::string>{left, left}));
  EXPECT_LT(IndexOf(result, "unload ok"), IndexOf(result, "error "));
  const std::vector<TickCount> counts = TickCounts(result, "t");
  ASSERT_EQ(counts.size(), 2u);
  EXPECT_GT(counts[0].count, 0);
  EXPECT_EQ(counts[1].count, counts[0].count);
  EXPECT_EQ(result.WithPrefix("probe tick-add id=t "),
            (std::vector<std::string>{"probe tick-add id=t ok=true", "probe tick-add id=t ok=false",
                                      "probe tick-add id=t ok=true"}));
  EXPECT_NE(result.stderr_text.find("its module stays open"), std::string::npos);
}

class DevhostWaitFor : public DevhostTick {};

TEST_F(DevhostWaitFor, FindsWhatTheCommandBeforeItCausedOrTimesOutWithItsLine) {
  struct Row {
    std::string what;
    std::string script;  // after "join bob"
    std::vector<std::string> errors;
  };
  const std::vector<Row> rows = {
      {"a line a tick prints after some ticks",
       "chat bob /probe reply-after 5\nwait-for 10000 text=\"reply after 5 ticks\"",
       {}},
      {"a line the command before printed itself",
       "chat bob /probe notify hi\nwait-for 0 notify bob",
       {}},
      {"a line of the HTTP worker's thread",
       "chat bob /probe post http://127.0.0.1:1/ {}\nwait-for 10000 http-status url=",
       {}},
      {"a run of waits, each for a line of the command before the run",
       "chat bob /probe reply-after 3\nwait-for 10000 reply after 3\nwait-for 0 register tick "
       "id=\nwait-for 0 unregister tick id=",
       {}},
      {"a log line of the plugin, which goes to stderr and the log file only",
       "unload\nload\nwait-for 0 [Probe][info] Probe loaded 1",
       {}},
      {"a line printed before the command before",
       "chat bob /probe notify hi\necho x\n"
       "wait-for 100 notify bob",
       {"wait-for timeout: no line containing \"notify bob\" within 100 ms"}},
      {"a text never printed, waited for twice",
       "wait-for 50 no such line\nwait-for 0 no such line",
       {"wait-for timeout: no line containing \"no such line\" within 50 ms",
        "wait-for timeout: no line containing \"no such line\" within 0 ms"}},
      {"lines it cannot run",
       "wait-for\nwait-for 100\nwait-for soon x\nwait-for -1 x\n"
       "wait-for 600001 x",
       {"missing milliseconds", "wait-for needs the text of the line to wait for",
        "MS is not a 32-bit integer: soon", "wait-for takes 0 to 600000 milliseconds",
        "wait-for takes 0 to 600000 milliseconds"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const DevhostResult result = devhost_->Run("join bob\n" + row.script + "\necho after\n");
    EXPECT_EQ(Errors(result), row.errors);
    EXPECT_TRUE(result.First("echo \"after\""));
  }
}

// Without the wait, the reply comes only after the script's next line has run.
TEST_F(DevhostWaitFor, TheReplyOfATickComesBeforeTheLinesAfterTheWait) {
  const DevhostResult result = devhost_->Run(
      "join bob\nchat bob /probe reply-after 4\nwait-for 10000 reply after 4\necho after\n");
  EXPECT_LT(IndexOf(result, "notify bob "), IndexOf(result, "echo \"after\""));
  EXPECT_LT(IndexOf(result, "unregister tick id=\"reply "), IndexOf(result, "notify bob "));
}

class DevhostFindPlayer : public DevhostTick {};

TEST_F(DevhostFindPlayer, FindsOnlyAPlayerInTheGameNowByHisExactEosId) {
  struct Row {
    std::string what;
    std::string setup;  // after "join bob eos=B0B"
    std::string eos;
    std::string found;  // the EOS id of the controller found, "null" for none
    bool self = false;
  };
  const std::vector<Row> rows = {
      {"another player", "join ann eos=A11", "A11", "\"A11\""},
      {"the asking player", "", "B0B", "\"B0B\"", true},
      {"a player who left", "join ann eos=A11\nleave ann", "A11", "null"},
      {"a player who logged out", "join ann eos=A11\nlogout ann", "A11", "null"},
      {"the same account back under another name", "join ann eos=A11\nleave ann\njoin cat eos=A11",
       "A11", "\"A11\""},
      {"an id nobody has", "join ann eos=A11", "A12", "null"},
      {"the id in another letter case", "join ann eos=a11", "A11", "null"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const DevhostResult result = devhost_->Run("join bob eos=B0B\n" + row.setup +
                                               "\nchat bob /probe find " + row.eos + "\n");
    const std::optional<std::string> line = result.First("probe find ");
    ASSERT_TRUE(line);
    EXPECT_EQ(Field(*line, "found")->dump(), row.found);
    EXPECT_EQ(Field(*line, "self"), row.self);
    EXPECT_TRUE(Errors(result).empty());
  }
}

// Inside the logout hook: found until the game's own logout has run.
TEST_F(DevhostFindPlayer, PlayerIsGoneOnceTheGamesLogoutRan) {
  const DevhostResult result = devhost_->Run("join bob eos=B0B\nlogout bob\n");
  EXPECT_EQ(result.First("probe find-at-logout "),
            "probe find-at-logout before=\"B0B\" after=null");
}

// The late reply of a player who left goes nowhere: the tick finds no one.
TEST_F(DevhostFindPlayer, PlayerWhoLeftBeforeHisLateReplyIsNotFound) {
  const DevhostResult result = devhost_->Run(
      "join bob eos=B0B\nchat bob /probe reply-after 3\nleave bob\n"
      "wait-for 10000 reply after 3 ticks\n");
  EXPECT_EQ(TextField(result.First("server-message - "), "text"),
            "reply after 3 ticks: no player B0B");
  EXPECT_EQ(result.Count("notify "), 0u);
  EXPECT_TRUE(Errors(result).empty());
}

}  // namespace
}  // namespace veltrane::test
