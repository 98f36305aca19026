// The tick callbacks of the command registry: who is called at a tick, and what the host prints.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CommandRegistry.h"

namespace devhost {
namespace {

// Operations: "add ID [BEHAVIOUR]", "add-empty ID", "remove ID", "tick", "abandon". A callback's
// BEHAVIOUR happens at its first call: "remove=OTHER", "add=OTHER" or "throw". add and remove
// answer "true" or "false", a tick the ids it called ("tick: a b").
struct Row {
  std::string what;
  std::vector<std::string> operations;
  std::vector<std::string> answers;
  std::vector<std::string> printed;
};

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find(' ', start), text.size());
    words.push_back(text.substr(start, end - start));
  }
  return words;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
    end = std::min(text.find('\n', start), text.size());
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

class Runner {
 public:
  std::vector<std::string> Run(const std::vector<std::string>& operations) {
    std::vector<std::string> answers;
    for (const std::string& operation : operations) {
      const std::vector<std::string> words = Words(operation);
      if (words[0] == "add") {
        answers.push_back(Add(words[1], words.size() > 2 ? words[2] : "") ? "true" : "false");
      } else if (words[0] == "add-empty") {
        answers.push_back(registry_.AddOnTickCallback(FString(words[1]), {}) ? "true" : "false");
      } else if (words[0] == "remove") {
        answers.push_back(registry_.RemoveOnTickCallback(FString(words[1])) ? "true" : "false");
      } else if (words[0] == "tick") {
        called_ = "tick:";
        registry_.Tick(0.016f);
        answers.push_back(called_);
      } else if (words[0] == "abandon") {
        registry_.AbandonTicks();
      }
    }
    return answers;
  }

 private:
  bool Add(const std::string& id, const std::string& behaviour) {
    auto first = std::make_shared<bool>(true);
    return registry_.AddOnTickCallback(FString(id), [this, id, behaviour, first](float) {
      called_ += " " + id;
      if (!*first) return;
      *first = false;
      const std::size_t equals = behaviour.find('=');
      const std::string other = equals == std::string::npos ? "" : behaviour.substr(equals + 1);
      if (behaviour == "throw") throw std::runtime_error("x");
      if (behaviour.starts_with("remove=")) registry_.RemoveOnTickCallback(FString(other));
      if (behaviour.starts_with("add=")) Add(other, "");
    });
  }

  CommandRegistry registry_;
  std::string called_;
};

TEST(TickRegistry, CallsWhatIsRegisteredWhenItsTurnComes) {
  const std::vector<Row> rows = {
      {"each callback once a tick, in the order of registration",
       {"add b", "add a", "tick", "tick"},
       {"true", "true", "tick: b a", "tick: b a"},
       {"register tick id=\"b\"", "register tick id=\"a\""}},
      {"an id taken in any letter case is refused; removal names it exactly",
       {"add a", "add A", "add-empty c", "remove A", "remove a", "remove a", "tick"},
       {"true", "false", "false", "false", "true", "false", "tick:"},
       {"register tick id=\"a\"", "register tick id=\"A\" ok=false",
        "register tick id=\"c\" ok=false", "unregister tick id=\"A\" found=false",
        "unregister tick id=\"a\" found=true", "unregister tick id=\"a\" found=false"}},
      {"a callback that removes itself",
       {"add a remove=a", "tick", "tick"},
       {"true", "tick: a", "tick:"},
       {"register tick id=\"a\"", "unregister tick id=\"a\" found=true"}},
      {"one removed before its turn is not called in that tick",
       {"add a remove=b", "add b", "tick", "tick"},
       {"true", "true", "tick: a", "tick: a"},
       {"register tick id=\"a\"", "register tick id=\"b\"", "unregister tick id=\"b\" found=true"}},
      {"one removed after its turn",
       {"add b", "add a remove=b", "tick", "tick"},
       {"true", "true", "tick: b a", "tick: a"},
       {"register tick id=\"b\"", "register tick id=\"a\"", "unregister tick id=\"b\" found=true"}},
      {"one added during a tick is first called at the next",
       {"add a add=c", "tick", "tick"},
       {"true", "tick: a", "tick: a c"},
       {"register tick id=\"a\"", "register tick id=\"c\""}},
      {"one that throws is reported; the others run, and it stays",
       {"add a throw", "add b", "tick", "tick"},
       {"true", "true", "tick: a b", "tick: a b"},
       {"register tick id=\"a\"", "register tick id=\"b\"", "error \"tick callback a threw: x\""}},
      {"after the plugin's detach: reported, never called, the id taken until removed",
       {"add a", "abandon", "tick", "add a", "abandon", "remove a", "add a", "tick"},
       {"true", "tick:", "false", "true", "true", "tick: a"},
       {"register tick id=\"a\"",
        "error \"the plugin left tick callback a registered at unload; it is no longer called\"",
        "register tick id=\"a\" ok=false", "unregister tick id=\"a\" found=true",
        "register tick id=\"a\""}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Runner runner;
    testing::internal::CaptureStdout();
    const std::vector<std::string> answers = runner.Run(row.operations);
    const std::vector<std::string> printed = Lines(testing::internal::GetCapturedStdout());
    EXPECT_EQ(answers, row.answers);
    EXPECT_EQ(printed, row.printed);
  }
}

}  // namespace
}  // namespace devhost
