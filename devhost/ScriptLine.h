#pragma once
// One line of the devhost's script language, read word by word. A TEXT is a bare word or a JSON
// string literal; a word that begins with '#' starts a comment.

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace devhost {

// A line the host cannot run; printed as "error JSON".
class ScriptError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ScriptLine {
 public:
  struct Option {
    std::string key;
    std::optional<std::string> value;  // for key=TEXT
  };

  explicit ScriptLine(std::string_view text) : text_(text) {}

  // True when nothing but blanks and a comment is left.
  bool AtEnd();
  // Each throws ScriptError naming `what` when the line has no such thing left.
  std::string Word(std::string_view what);
  std::string Text(std::string_view what);
  // `key` or `key=TEXT`; none at the end of the line.
  std::optional<Option> NextOption();
  // Everything after the one blank that follows the words read so far, exactly as typed.
  std::string Rest();
  // Throws ScriptError when anything but a comment is left.
  void ExpectEnd();

 private:
  void SkipBlanks();
  std::string BareWord(bool stop_at_equals);
  std::string JsonString();

  std::string_view text_;
  std::size_t position_ = 0;
};

// A signed 32-bit decimal; throws ScriptError naming `what` otherwise.
int ParseInt(std::string_view text, std::string_view what);

}  // namespace devhost
