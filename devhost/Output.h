#pragma once
// The devhost's stdout protocol: one line per thing the host does for the plugin. Lines come from
// the game thread and the HTTP worker, so each is written whole, under one lock, and flushed at
// once (tests read them through a pipe).

#include <cstdint>
#include <string>
#include <string_view>

#include "host/FString.h"

namespace devhost {

void PrintLine(std::string_view line);
// A line that wait-for never finds: its own timeout line, which names the text it waited for.
void PrintLineUnkept(std::string_view line);

// What wait-for looks at (PrintedLines.h). Lines are kept from KeepPrintedLines() on, which the
// devhost calls at its start; a process that only links the host keeps none.
void KeepPrintedLines();
// A log line (the plugin's or the devhost's, written to stderr and the log file) kept for wait-for
// as well, without being printed on stdout.
void KeepLogLine(std::string_view line);
// Game thread: forgets the lines printed so far; done at the start of each command but wait-for.
void MarkPrintedLines();
// Whether a line printed since the mark contains text; see PrintedLines::Contains for searched.
bool PrintedSinceMark(std::string_view text, std::uint64_t& searched);

// A JSON string literal; invalid UTF-8 becomes U+FFFD instead of failing.
std::string JsonText(std::string_view utf8);
std::string JsonText(const FString& text);
inline std::string JsonText(const char* utf8) { return JsonText(std::string_view(utf8)); }
// A name as output lines give it: as it stands when it is a plain word (printable ASCII without
// blank, quote, backslash or '='), otherwise as a JSON string like a text, so that no control
// character reaches a line and a reader can tell where the name ends.
std::string NameText(std::string_view utf8);
// Floats print with "%.8g".
std::string FormatFloat(float value);

}  // namespace devhost
