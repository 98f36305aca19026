// What wait-for looks at: the lines kept since the mark.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "PrintedLines.h"

namespace devhost {
namespace {

// Operations: "add TEXT", "mark", "find TEXT" (a new wait), "again TEXT" (the same wait asking
// again); each find and again gives "yes" or "no".
struct Row {
  std::string what;
  std::size_t max_bytes;
  std::vector<std::string> operations;
  std::vector<std::string> answers;
};

TEST(PrintedLines, KeepsTheLinesSinceTheMarkWithinItsBound) {
  const std::vector<Row> rows = {
      {"a line is found by any part of it",
       PrintedLines::kMaxBytes,
       {"add notify bob text=\"hi\"", "find text=\"hi\"", "find notify", "find ann"},
       {"yes", "yes", "no"}},
      {"the mark forgets what came before it",
       PrintedLines::kMaxBytes,
       {"add a1", "mark", "find a1", "add b1", "find b1", "mark", "mark", "find b1"},
       {"no", "yes", "no"}},
      {"a wait that asks again reads only the lines added since it last asked",
       PrintedLines::kMaxBytes,
       {"add x1", "again y", "again x1", "add x1", "again x1", "find x1"},
       {"no", "no", "yes", "yes"}},
      {"beyond the bound the oldest lines go first; the newest stays however long",
       10,
       {"add aaaa", "add bbbb", "add cccc", "find aaaa", "find bbbb", "add 0123456789xyz",
        "find cccc", "find xyz"},
       {"no", "yes", "no", "yes"}},
      {"lines dropped for the bound and the mark keep the numbering of a wait",
       10,
       {"add aaaaaaaa", "again zzz", "add bbbbbbbb", "mark", "add c", "again c", "again b"},
       {"no", "yes", "no"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    PrintedLines lines(row.max_bytes);
    std::uint64_t wait = 0;
    std::vector<std::string> answers;
    for (const std::string& operation : row.operations) {
      const std::size_t blank = operation.find(' ');
      const std::string verb = operation.substr(0, blank);
      const std::string text = blank == std::string::npos ? "" : operation.substr(blank + 1);
      if (verb == "add") {
        lines.Add(text);
      } else if (verb == "mark") {
        lines.Mark();
      } else {
        std::uint64_t fresh = 0;
        answers.push_back(lines.Contains(text, verb == "find" ? fresh : wait) ? "yes" : "no");
      }
    }
    EXPECT_EQ(answers, row.answers);
  }
}

}  // namespace
}  // namespace devhost
