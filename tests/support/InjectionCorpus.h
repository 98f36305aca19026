#pragma once
// Texts that break a statement, or change what it touches, when they reach SQL unescaped or escaped
// for the wrong server mode: quotes, backslashes (plain characters under NO_BACKSLASH_ESCAPES),
// wildcards, NUL bytes, comments, stacked statements and multi-byte text.

#include <string>
#include <vector>

namespace veltrane::test {

inline std::vector<std::string> InjectionCorpus() {
  using namespace std::string_literals;
  return {"'",
          "\\",
          "\"",
          "%",
          "_",
          "\0"s,
          "a\0b"s,
          "--",
          ";",
          "\\'",
          "\\0",
          "''",
          "\\\\'",
          "%_%",
          "' OR '1'='1",
          "\\' OR 1=1 -- ",
          "x' OR code <> 'x",
          "x\\' OR code <> 'x",
          "'; UPDATE player_discord SET code = 'pwned'; -- ",
          "Robert'); DROP TABLE player_discord;--",
          "名前 Ærø ÿ",
          "🐉 dragon",
          "\xc3\xa9\\\\'"};
}

}  // namespace veltrane::test
