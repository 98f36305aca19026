#include "Admin/AdminCommandText.h"

#include <fmt/format.h>

#include <algorithm>
#include <nlohmann/json.hpp>

namespace veltrane {

namespace {

constexpr std::size_t kEOSIdLength = 32;
constexpr std::size_t kShortestDiscordId = 17;
constexpr std::size_t kLongestDiscordId = 20;  // the digits of the largest 64-bit number

bool IsAsciiSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

std::vector<std::string_view> Words(std::string_view text) {
  std::vector<std::string_view> words;
  std::size_t pos = 0;
  while (pos < text.size()) {
    while (pos < text.size() && IsAsciiSpace(text[pos])) ++pos;
    const std::size_t start = pos;
    while (pos < text.size() && !IsAsciiSpace(text[pos])) ++pos;
    if (pos > start) words.push_back(text.substr(start, pos - start));
  }
  return words;
}

// An id as it stands when it is one plain word, quoted otherwise.
std::string PlainOrQuoted(const std::string& text) {
  const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return c > ' ' && c < 0x7F && c != '"' && c != '\\' && c != ',';
  });
  return plain ? text : Quoted(text);
}

std::string MoreLine(std::size_t left_out) { return fmt::format("... and {} more", left_out); }

// At most max_bytes of text, ending at a character boundary.
std::string CutAtCharacter(const std::string& text, std::size_t max_bytes) {
  if (text.size() <= max_bytes) return text;
  std::size_t end = max_bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

}  // namespace

std::string Quoted(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<AccountId> ParseAccountIdArgument(std::string_view command_line) {
  const std::vector<std::string_view> words = Words(command_line);
  if (words.size() != 2) return std::nullopt;
  const std::string_view argument = words[1];
  if (argument.size() == kEOSIdLength &&
      std::all_of(argument.begin(), argument.end(), IsHexDigit)) {
    return AccountId{AccountIdKind::EOSId, std::string(argument)};
  }
  if (argument.size() >= kShortestDiscordId && argument.size() <= kLongestDiscordId &&
      std::all_of(argument.begin(), argument.end(), IsDigit)) {
    return AccountId{AccountIdKind::DiscordId, std::string(argument)};
  }
  return std::nullopt;
}

std::string DescribeAccountId(const AccountId& id) {
  return (id.kind == AccountIdKind::EOSId ? "EOS id " : "Discord id ") + id.value;
}

std::string DescribeLink(const LinkedAccount& link) {
  return fmt::format("EOS id {}, Discord id {}, player id {}, character {}, tribe {}, {}",
                     PlainOrQuoted(link.eos_id), PlainOrQuoted(link.discord_id), link.player_id,
                     Quoted(link.character_name), Quoted(link.tribe_name),
                     link.state.empty() ? std::string(kWaitingCode) : PlainOrQuoted(link.state));
}

std::string DescribeRow(const LinkedAccount& link) {
  return fmt::format(
      "id={} eos_id={} discord_id={} player_id={} character_name={} tribe_id={} tribe_name={} "
      "code={}",
      link.row_id, Quoted(link.eos_id), Quoted(link.discord_id), link.player_id,
      Quoted(link.character_name), link.tribe_id, Quoted(link.tribe_name),
      link.state.empty() ? fmt::format("({})", kWaitingCode) : Quoted(link.state));
}

std::vector<std::string> FitReply(const std::vector<std::string>& lines, std::size_t max_bytes) {
  if (lines.empty() || JoinReply(lines).size() <= max_bytes) return lines;
  // Something has to go. Room stays for the line that counts what was left out, so that neither
  // an overlong first line nor the lines before the cut push it out.
  const std::size_t others = lines.size() - 1;
  const std::size_t more_room = others > 0 ? 1 + MoreLine(others).size() : 0;
  std::vector<std::string> kept{
      CutAtCharacter(lines[0], max_bytes > more_room ? max_bytes - more_room : 0)};
  std::size_t size = kept[0].size();
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t left_after = lines.size() - 1 - i;
    const std::size_t needed =
        size + 1 + lines[i].size() + (left_after > 0 ? 1 + MoreLine(left_after).size() : 0);
    if (needed > max_bytes) {
      kept.push_back(MoreLine(lines.size() - i));
      return kept;
    }
    kept.push_back(lines[i]);
    size += 1 + lines[i].size();
  }
  return kept;
}

std::string JoinReply(const std::vector<std::string>& lines) {
  return fmt::format("{}", fmt::join(lines, "\n"));
}

}  // namespace veltrane
