#include "Output.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>

#include "PrintedLines.h"

namespace devhost {

namespace {

// The lines go out and into the record under one lock, so the record holds them in their order.
struct OutputState {
  std::mutex lock;
  std::optional<PrintedLines> printed;
};

OutputState& TheOutput() {
  static OutputState output;
  return output;
}

void Print(std::string_view line, bool keep) {
  std::string whole(line);
  whole.push_back('\n');
  OutputState& output = TheOutput();
  const std::lock_guard<std::mutex> guard(output.lock);
  std::fwrite(whole.data(), 1, whole.size(), stdout);
  std::fflush(stdout);
  if (keep && output.printed) output.printed->Add(line);
}

}  // namespace

void PrintLine(std::string_view line) { Print(line, true); }

void PrintLineUnkept(std::string_view line) { Print(line, false); }

void KeepLogLine(std::string_view line) {
  OutputState& output = TheOutput();
  const std::lock_guard<std::mutex> guard(output.lock);
  if (output.printed) output.printed->Add(line);
}

void KeepPrintedLines() {
  OutputState& output = TheOutput();
  const std::lock_guard<std::mutex> guard(output.lock);
  if (!output.printed) output.printed.emplace();
}

void MarkPrintedLines() {
  OutputState& output = TheOutput();
  const std::lock_guard<std::mutex> guard(output.lock);
  if (output.printed) output.printed->Mark();
}

bool PrintedSinceMark(std::string_view text, std::uint64_t& searched) {
  OutputState& output = TheOutput();
  const std::lock_guard<std::mutex> guard(output.lock);
  return output.printed && output.printed->Contains(text, searched);
}

std::string JsonText(std::string_view utf8) {
  // Printable ASCII without quote or backslash stands as it is: the common case, without building
  // a JSON value for it.
  if (std::all_of(utf8.begin(), utf8.end(),
                  [](char c) { return c >= ' ' && c <= '~' && c != '"' && c != '\\'; })) {
    std::string quoted;
    quoted.reserve(utf8.size() + 2);
    quoted.append(1, '"').append(utf8).append(1, '"');
    return quoted;
  }
  return nlohmann::json(std::string(utf8))
      .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::string NameText(std::string_view utf8) {
  const bool plain = !utf8.empty() && std::all_of(utf8.begin(), utf8.end(), [](char c) {
    return c > ' ' && c <= '~' && c != '"' && c != '\\' && c != '=';
  });
  return plain ? std::string(utf8) : JsonText(utf8);
}

std::string JsonText(const FString& text) {
  return JsonText(AsaApi::Tools::Utf8Encode(text.View()));
}

std::string FormatFloat(float value) {
  // The same text as printf's "%.8g", at a fraction of its cost: a notify line prints six floats.
  char buffer[32];
  const std::to_chars_result end =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 8);
  return std::string(buffer, end.ptr);
}

}  // namespace devhost
