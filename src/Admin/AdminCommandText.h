#pragma once
// What the admin commands Veltrane.Linked and Veltrane.Unlink read and say: the one id a command
// line names, the lines that describe a link, and a reply cut to fit one RCON packet. Pure: no
// host, no database.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Database/LinkedAccount.h"

namespace veltrane {

// The largest reply, in bytes of UTF-8: the body of a Source RCON packet whose size field (id,
// type, body and its two closing NULs) is at most 4096.
inline constexpr std::size_t kMaxReplyBytes = 4086;

struct AccountId {
  AccountIdKind kind = AccountIdKind::EOSId;
  std::string value;

  bool operator==(const AccountId&) const = default;
};

// The one argument after the command word: an EOS id is 32 hexadecimal characters, a Discord id
// 17 to 20 decimal digits. None for anything else: no argument, several, or another form. Words
// are separated by ASCII white space.
std::optional<AccountId> ParseAccountIdArgument(std::string_view command_line);

// Text in JSON quotes, as the replies and the log show names: no quote, line break or other
// control character in it can pass for the end of the value.
std::string Quoted(const std::string& text);

// "EOS id X" or "Discord id X".
std::string DescribeAccountId(const AccountId& id);

// What a linked row's code column is shown as when it holds no state word: the code itself never
// leaves the store.
inline constexpr std::string_view kWaitingCode = "a code waiting on a linked row";

// One line of a reply: both ids, the player id, character and tribe name, and the state (or
// kWaitingCode). Names are in JSON quotes, so that no quote or line break in them can pass for
// another line.
std::string DescribeLink(const LinkedAccount& link);

// The whole row for the log, every text in JSON quotes: id=5 eos_id="..." ... code="Linked"
// (code=(a code waiting on a linked row) for a row without a state word).
std::string DescribeRow(const LinkedAccount& link);

// The lines of a reply that fit in max_bytes once joined with line breaks: the first line always
// (cut at a character boundary if it alone is too long), then as many of the others, in order, as
// fit together with a last line "... and N more" for those left out.
std::vector<std::string> FitReply(const std::vector<std::string>& lines,
                                  std::size_t max_bytes = kMaxReplyBytes);

// The lines joined with line breaks, as one RCON reply.
std::string JoinReply(const std::vector<std::string>& lines);

}  // namespace veltrane
