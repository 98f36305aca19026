#include "ScriptLine.h"

#include <charconv>
#include <nlohmann/json.hpp>

namespace devhost {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

void ScriptLine::SkipBlanks() {
  while (position_ < text_.size() && IsBlank(text_[position_])) ++position_;
}

bool ScriptLine::AtEnd() {
  SkipBlanks();
  return position_ == text_.size() || text_[position_] == '#';
}

std::string ScriptLine::BareWord(bool stop_at_equals) {
  const std::size_t start = position_;
  while (position_ < text_.size() && !IsBlank(text_[position_]) &&
         !(stop_at_equals && text_[position_] == '='))
    ++position_;
  return std::string(text_.substr(start, position_ - start));
}

std::string ScriptLine::JsonString() {
  const std::size_t start = position_;
  std::size_t at = start + 1;
  while (at < text_.size() && text_[at] != '"') at += text_[at] == '\\' ? 2 : 1;
  if (at >= text_.size()) throw ScriptError("unterminated string");
  position_ = at + 1;
  if (position_ < text_.size() && !IsBlank(text_[position_]))
    throw ScriptError("text right after a string");
  try {
    return nlohmann::json::parse(text_.substr(start, position_ - start)).get<std::string>();
  } catch (const nlohmann::json::exception& error) {
    throw ScriptError(std::string("bad string: ") + error.what());
  }
}

std::string ScriptLine::Word(std::string_view what) {
  if (AtEnd()) throw ScriptError("missing " + std::string(what));
  return BareWord(false);
}

std::string ScriptLine::Text(std::string_view what) {
  if (AtEnd()) throw ScriptError("missing " + std::string(what));
  return text_[position_] == '"' ? JsonString() : BareWord(false);
}

std::optional<ScriptLine::Option> ScriptLine::NextOption() {
  if (AtEnd()) return std::nullopt;
  Option option{BareWord(true), std::nullopt};
  if (option.key.empty()) throw ScriptError("option without a name");
  if (position_ < text_.size() && text_[position_] == '=') {
    ++position_;
    if (position_ == text_.size() || IsBlank(text_[position_])) {
      option.value = "";
    } else {
      option.value = text_[position_] == '"' ? JsonString() : BareWord(false);
    }
  }
  return option;
}

std::string ScriptLine::Rest() {
  if (position_ < text_.size() && IsBlank(text_[position_])) ++position_;
  std::string rest(text_.substr(position_));
  position_ = text_.size();
  return rest;
}

void ScriptLine::ExpectEnd() {
  if (!AtEnd()) throw ScriptError("unexpected " + BareWord(false));
}

int ParseInt(std::string_view text, std::string_view what) {
  int value = 0;
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc() || stop != end)
    throw ScriptError(std::string(what) + " is not a 32-bit integer: " + std::string(text));
  return value;
}

}  // namespace devhost
